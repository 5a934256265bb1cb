#include "utils/exec.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "utils/event_handles.h"
#include "utils/exitlog.h"
#include "utils/log.h"
#include "utils/paths.h"
#include "utils/timescale.h"

namespace {

event_base* gExecLoop = nullptr;
// One captured shell command at a time, as the router's small process table expects.
std::mutex util_mutex;

constexpr const char* kShell = "/bin/sh";

struct SpawnSpec {
  std::string path;               // resolved program path
  std::vector<std::string> argv;  // argv[0] included
  int stdinFd = -1;               // -1: /dev/null
  int stdoutFd = -1;              // -1: inherited
  bool newProcessGroup = false;
  bool ignoreSigint = false;
};

std::string ResolveProgram(const std::string& program) {
  if (program.find('/') != std::string::npos) return program;
  const char* pathEnv = getenv("PATH");
  std::string path = pathEnv ? pathEnv : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string dir = path.substr(start, end - start);
    if (dir.empty()) dir = ".";
    std::string candidate = dir + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return program;
}

// Forks and execs. Everything the child needs is prepared before the fork: only
// async-signal-safe calls run between fork and exec.
pid_t Spawn(const SpawnSpec& spec) {
  std::vector<char*> argv;
  argv.reserve(spec.argv.size() + 1);
  for (const auto& a : spec.argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const char* path = spec.path.c_str();
  int devnull = open("/dev/null", O_RDWR | O_CLOEXEC);

  sigset_t all, saved;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &saved);
  pid_t pid = fork();
  if (pid == 0) {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
      if (sig == SIGKILL || sig == SIGSTOP) continue;
      sigaction(sig, &dfl, nullptr);
    }
    if (spec.ignoreSigint) {
      struct sigaction ign {};
      ign.sa_handler = SIG_IGN;
      sigaction(SIGINT, &ign, nullptr);
    }
    if (spec.newProcessGroup) setpgid(0, 0);
    int in = spec.stdinFd >= 0 ? spec.stdinFd : devnull;
    if (in >= 0) dup2(in, STDIN_FILENO);
    if (spec.stdoutFd >= 0) dup2(spec.stdoutFd, STDOUT_FILENO);
    syscall(SYS_close_range, 3U, ~0U, 0U);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(path, argv.data());
    const char msg1[] = "exec ";
    const char msg2[] = " failed\n";
    (void)!write(STDERR_FILENO, msg1, sizeof msg1 - 1);
    (void)!write(STDERR_FILENO, path, strlen(path));
    (void)!write(STDERR_FILENO, msg2, sizeof msg2 - 1);
    _exit(1);
  }
  int err = errno;
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  if (devnull >= 0) close(devnull);
  errno = err;
  return pid;
}

SpawnSpec ShellSpec(const std::string& command) {
  SpawnSpec spec;
  spec.path = kShell;
  spec.argv = {"sh", "-c", command};
  return spec;
}

int WaitChild(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

// Reaps a child that may still be running without blocking the caller.
void ReapLater(pid_t pid) {
  int status;
  if (waitpid(pid, &status, WNOHANG) != 0) return;
  std::thread([pid] { WaitChild(pid); }).detach();
}

int ExitCodeOf(int status) {
  if (status < 0 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// Reads a child's output until EOF or the deadline; keeps at most maxOutput bytes and drains the
// rest so the child never blocks on a full pipe.
bool ReadUntilEof(int fd, std::string& out, size_t maxOutput, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  char buf[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd pfd{fd, POLLIN, 0};
    int r = poll(&pfd, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) return false;
    if (r < 0) return true;
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return true;
    size_t room = out.size() < maxOutput ? maxOutput - out.size() : 0;
    out.append(buf, std::min(room, static_cast<size_t>(n)));
  }
}

ExecResult RunSpecCaptured(SpawnSpec spec, std::chrono::milliseconds timeout, size_t maxOutput) {
  ExecResult result;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return result;
  spec.stdoutFd = fds[1];
  spec.newProcessGroup = true;
  pid_t pid = Spawn(spec);
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return result;
  }
  bool finished = ReadUntilEof(fds[0], result.output, maxOutput, zc::Scaled(timeout));
  close(fds[0]);
  if (!finished) {
    result.timedOut = true;
    kill(-pid, SIGKILL);
  }
  int status = WaitChild(pid);
  result.status = finished ? ExitCodeOf(status) : -1;
  return result;
}

// Owned by its read event's callback argument from the moment the event is added until the end
// of the output.
struct RunCommandContext {
  zc::ev::EventPtr readEvent;
  RunCommandHandler handler;
  std::string token;
  int fd = -1;
  pid_t pid = -1;
};

void RunCommandRead(evutil_socket_t fd, short what, void* arg) {
  auto* ctx = static_cast<RunCommandContext*>(arg);
  fprintf(stderr, "ReadFifo called with fd: %d, event: %d, arg: %p\n", static_cast<int>(fd),
          static_cast<int>(what), arg);
  char chunk[kRunCommandChunk + 1];
  ssize_t n = read(ctx->fd, chunk, kRunCommandChunk);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n > 0) {
    chunk[n] = '\0';
    fprintf(stdout, "Read: %s\n", chunk);
    ctx->handler(chunk, ctx->token);
    return;
  }
  if (n == 0) {
    fprintf(stderr, "Connection closed\n");
  } else {
    perror("read");
  }
  std::unique_ptr<RunCommandContext> owned(ctx);
  ctx->readEvent.reset();
  ctx->handler(nullptr, ctx->token);
  close(ctx->fd);
  ReapLater(ctx->pid);
}

}  // namespace

int ExecInit(event_base* loop) {
  if (!loop) {
    LogOut(LL_ERR, "ExecInit: event loop handle is NULL");
    return -1;
  }
  gExecLoop = loop;
  // Children are collected by whoever started them, so every exit status is seen.
  signal(SIGCHLD, SIG_DFL);
  return 0;
}

int get_shell_output(const char* command, char* out, size_t size) {
  std::unique_lock lock(util_mutex);
  if (out && size) memset(out, 0, size);
  LogOut(LL_DEBUG, "%s: cmd :%s", "get_shell_output", command);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    LogOut(LL_ERR, "%s: popen failed", "get_shell_output");
    lock.unlock();
    LogOut(LL_ERR, "%s popen failed, exiting zuncore", "get_shell_output");
    ExitLog("popen failed, exiting zuncore");
  }
  SpawnSpec spec = ShellSpec(command);
  spec.stdoutFd = fds[1];
  spec.newProcessGroup = true;
  pid_t pid = Spawn(spec);
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    LogOut(LL_ERR, "%s: popen failed", "get_shell_output");
    lock.unlock();
    LogOut(LL_ERR, "%s popen failed, exiting zuncore", "get_shell_output");
    ExitLog("popen failed, exiting zuncore");
  }
  std::string data;
  bool finished = ReadUntilEof(fds[0], data, kShellOutputMax, zc::Scaled(kShellOutputTimeout));
  close(fds[0]);
  if (!finished) {
    LogOut(LL_ERR, "%s: command timed out, killed: %s", "get_shell_output", command);
    kill(-pid, SIGKILL);
  }
  WaitChild(pid);
  if (!finished || data.empty()) return -1;
  size_t n = data.size();
  if (data[n - 1] == '\n') --n;
  if (out && size) {
    size_t copy = std::min(n, size - 1);
    memcpy(out, data.data(), copy);
    out[copy] = '\0';
    LogOut(LL_DEBUG, "%s: received data :%s", "get_shell_output", out);
  }
  return 0;
}

int RunCommand(const std::string& command, RunCommandHandler handler, const std::string& token) {
  if (!gExecLoop) {
    LogOut(LL_ERR, "RunCommand: popen system call failed");
    return -1;
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    LogOut(LL_ERR, "RunCommand: popen system call failed");
    return -1;
  }
  SpawnSpec spec = ShellSpec(command);
  spec.stdoutFd = fds[1];
  pid_t pid = Spawn(spec);
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    LogOut(LL_ERR, "RunCommand: popen system call failed");
    return -1;
  }
  auto ctx = std::make_unique<RunCommandContext>();
  ctx->handler = std::move(handler);
  ctx->token = token;
  ctx->fd = fds[0];
  ctx->pid = pid;
  // Event creation and registration are thread-safe (libevent pthread locking is on), and the
  // reader always runs on the main loop thread.
  ctx->readEvent.reset(
      event_new(gExecLoop, ctx->fd, EV_READ | EV_PERSIST, RunCommandRead, ctx.get()));
  if (!ctx->readEvent || event_add(ctx->readEvent.get(), nullptr) != 0) {
    LogOut(LL_ERR, "RunCommand: Memory allocation failed");
    ctx->readEvent.reset();
    close(ctx->fd);
    kill(-pid, SIGKILL);
    ReapLater(pid);
    return -1;
  }
  ctx.release();
  return 0;
}

FILE* popen2(const char* command, const char* mode, pid_t* pid) {
  bool reading = mode && mode[0] == 'r';
  int fds[2];
  pid_t child = -1;
  if (pipe2(fds, O_CLOEXEC) == 0) {
    SpawnSpec spec = ShellSpec(command);
    spec.newProcessGroup = true;
    if (reading) {
      spec.stdoutFd = fds[1];
    } else {
      spec.stdinFd = fds[0];
    }
    child = Spawn(spec);
    close(reading ? fds[1] : fds[0]);
    if (child < 0) close(reading ? fds[0] : fds[1]);
  }
  if (child < 0) {
    LogOut(LL_ERR, "%s: fork failed", "popen2");
    LogOut(LL_ERR, "%s:popen failed, exiting zuncore", "popen2");
    ExitLog("popen failed, exiting zuncore");
  }
  if (pid) *pid = child;
  FILE* stream = fdopen(reading ? fds[0] : fds[1], reading ? "r" : "w");
  if (!stream) {
    close(reading ? fds[0] : fds[1]);
    kill(-child, SIGKILL);
    WaitChild(child);
  }
  return stream;
}

int pclose2(pid_t pid, FILE* stream) {
  if (stream) fclose(stream);
  if (pid <= 0) return -1;
  return WaitChild(pid);
}

int do_cmd(const char* program, const std::vector<std::string>& args, bool wait) {
  if (!wait) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    return SpawnDetached(argv) == 0 ? 0 : -1;
  }
  SpawnSpec spec;
  spec.path = ResolveProgram(program);
  spec.argv.push_back(program);
  spec.argv.insert(spec.argv.end(), args.begin(), args.end());
  spec.ignoreSigint = true;
  pid_t pid = Spawn(spec);
  if (pid < 0) {
    fprintf(stderr, "fork of %s failed\n", program);
    return -1;
  }
  return ExitCodeOf(WaitChild(pid));
}

int va_cmd(const char* program, int count, int wait, ...) {
  std::vector<std::string> args;
  va_list ap;
  va_start(ap, wait);
  for (int i = 0; i < count; ++i) {
    const char* a = va_arg(ap, const char*);
    args.emplace_back(a ? a : "");
  }
  va_end(ap);
  return do_cmd(program, args, wait != 0);
}

ExecResult RunArgv(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                   size_t maxOutput) {
  if (argv.empty()) return {};
  SpawnSpec spec;
  spec.path = ResolveProgram(argv[0]);
  spec.argv = argv;
  return RunSpecCaptured(std::move(spec), timeout, maxOutput);
}

ExecResult RunShell(const std::string& command, std::chrono::milliseconds timeout,
                    size_t maxOutput) {
  return RunSpecCaptured(ShellSpec(command), timeout, maxOutput);
}

int SpawnDetached(const std::vector<std::string>& argv) {
  if (argv.empty()) return -1;
  std::vector<char*> cargv;
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  std::string path = ResolveProgram(argv[0]);
  sigset_t all, saved;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &saved);
  pid_t pid = fork();
  if (pid == 0) {
    setsid();
    pid_t grandchild = fork();
    if (grandchild != 0) _exit(grandchild < 0 ? 1 : 0);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
      if (sig == SIGKILL || sig == SIGSTOP) continue;
      sigaction(sig, &dfl, nullptr);
    }
    int devnull = open("/dev/null", O_RDWR);
    if (devnull >= 0) dup2(devnull, STDIN_FILENO);
    syscall(SYS_close_range, 3U, ~0U, 0U);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(path.c_str(), cargv.data());
    _exit(127);
  }
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  if (pid < 0) {
    fprintf(stderr, "fork of %s failed\n", argv[0].c_str());
    return -1;
  }
  return ExitCodeOf(WaitChild(pid)) == 0 ? 0 : -1;
}

int ReadPID(const char* file) {
  FILE* f = fopen(file, "re");
  if (!f) return -1;
  int pid = 0;
  if (fscanf(f, "%d", &pid) != 1 || pid <= 0) pid = 0;
  fclose(f);
  if (pid > 0 && kill(pid, 0) != 0) pid = 0;
  return pid;
}

void StartCwmp() {
  do_cmd(zc::RootPath("/bin/cwmpClient").c_str(), {}, false);
}

void StopCwmp() {
  int pid = ReadPID(zc::RootPath("/var/run/cwmp.pid").c_str());
  if (pid > 0) kill(pid, SIGTERM);
  printf("\ncwmppid=%d\n", pid);
}
