#include "lib/process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "utils/ports.h"

namespace cloudsim {
namespace {

// Everything the child needs is prepared before fork: after it only async-signal-safe calls run.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& logFile, bool dieWithParent) {
  if (argv.empty()) return -1;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const char* out = logFile.empty() ? "/dev/null" : logFile.c_str();
  int flags = logFile.empty() ? O_WRONLY : O_WRONLY | O_CREAT | O_APPEND;
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid != 0) return pid;
  if (dieWithParent) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
  }
  int fd = open(out, flags | O_CLOEXEC, 0644);
  int null = open("/dev/null", O_RDONLY);
  if (null >= 0) dup2(null, STDIN_FILENO);
  if (fd >= 0) {
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
  }
  execvp(args[0], args.data());
  _exit(127);
}

int WaitStatus(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int RunProgram(const std::vector<std::string>& argv, const std::string& logFile) {
  pid_t pid = Spawn(argv, logFile, true);
  if (pid < 0) return -1;
  return WaitStatus(pid);
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& logFile) {
  Stop();
  pid_ = Spawn(argv, logFile, true);
  return pid_ > 0;
}

bool ChildProcess::Running() {
  if (pid_ <= 0) return false;
  int status = 0;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

void ChildProcess::Stop(std::chrono::milliseconds grace) {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + grace;
  int status = 0;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pid_ = -1;
}

bool WaitTcpPort(int port, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (;;) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    int r = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    close(fd);
    if (r == 0) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int FreeLoopbackPort() {
  return zc::FreeLoopbackPort();
}

bool MakeTestPki(const std::string& dir, std::string* error) {
  mkdir(dir.c_str(), 0755);
  const std::string log = dir + "/openssl.log";
  const std::string san = dir + "/san.cnf";
  if (FILE* f = fopen(san.c_str(), "we")) {
    fputs("subjectAltName=DNS:localhost,IP:127.0.0.1\nextendedKeyUsage=serverAuth\n", f);
    fclose(f);
  }
  const std::vector<std::vector<std::string>> steps = {
      {"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
       "/CN=zuncore test CA", "-keyout", dir + "/ca.key", "-out", dir + "/ca.pem"},
      {"openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost", "-keyout",
       dir + "/server.key", "-out", dir + "/server.csr"},
      {"openssl", "x509", "-req", "-in", dir + "/server.csr", "-CA", dir + "/ca.pem", "-CAkey",
       dir + "/ca.key", "-CAcreateserial", "-days", "2", "-extfile", san, "-out",
       dir + "/server.pem"},
  };
  for (const auto& step : steps) {
    if (RunProgram(step, log) != 0) {
      if (error) *error = "openssl " + step[1] + " failed (see " + log + ")";
      return false;
    }
  }
  return true;
}

}  // namespace cloudsim
