#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

namespace zctest {

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& log_file) {
  Stop();
  if (argv.empty()) return false;
  // Everything the child needs is made before the fork: only async-signal-safe calls after it.
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  sigset_t none;
  sigemptyset(&none);
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);          // no orphans when a test dies
    sigprocmask(SIG_SETMASK, &none, nullptr);  // test threads may block signals the peer needs
    int fd = open(log_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, 0);
    execvp(args[0], args.data());
    _exit(127);
  }
  pid_ = pid;
  return true;
}

bool ChildProcess::Running() {
  if (pid_ <= 0) return false;
  int status;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

void ChildProcess::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + kChildStopGrace;
  int status;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pid_ = -1;
}

}  // namespace zctest
