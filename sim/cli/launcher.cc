// The router's launcher: starts the boot daemons and the agent, restarts the agent after every
// exit with the scaled delay, and logs starts and exits in sim/log/launcher.log.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "cli/cli.h"
#include "core/calls.h"
#include "core/model.h"
#include "core/simroot.h"
#include "core/state.h"

namespace zsim {
namespace {

volatile sig_atomic_t gTerm = 0;
void OnTerm(int) {
  gTerm = 1;
}

void LauncherLog(const std::string& line) {
  char stamp[32];
  time_t now = time(nullptr);
  struct tm tmv {};
  gmtime_r(&now, &tmv);
  strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tmv);
  AppendText(P("/sim/log/launcher.log"), std::string(stamp) + " " + line + "\n");
}

std::string RouterPathEnv() {
  return Root() + "/bin:/usr/sbin:/usr/bin:/sbin:/bin";
}

// Starts a router program with the router's environment; output appended to logFile.
pid_t Start(const std::vector<std::string>& argv, const std::string& logFile) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  setenv("PATH", RouterPathEnv().c_str(), 1);
  setenv("TZ", "UTC", 1);
  std::string extraLib = Knob("launcher.ld_library_path");
  if (!extraLib.empty()) setenv("LD_LIBRARY_PATH", extraLib.c_str(), 1);
  int fd = open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null >= 0) dup2(null, STDIN_FILENO);
  if (fd >= 0) {
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
  }
  signal(SIGTERM, SIG_DFL);
  signal(SIGINT, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  std::vector<char*> cargv;
  for (const auto& s : argv) cargv.push_back(const_cast<char*>(s.c_str()));
  cargv.push_back(nullptr);
  execv(cargv[0], cargv.data());
  std::fprintf(stderr, "zunlauncher: cannot run %s: %s\n", argv[0].c_str(), std::strerror(errno));
  _exit(127);
}

std::string Describe(int status) {
  if (WIFEXITED(status)) return "status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "status ?";
}

// Ends the recorded processes: SIGTERM, then SIGKILL after the grace period.
void Stop(std::vector<pid_t>& pids) {
  for (pid_t p : pids) {
    if (p > 0) kill(p, SIGTERM);
  }
  for (int waited = 0; waited < 200; ++waited) {
    bool any = false;
    for (pid_t& p : pids) {
      if (p <= 0) continue;
      if (waitpid(p, nullptr, WNOHANG) == p) {
        p = -1;
      } else {
        any = true;
      }
    }
    if (!any) return;
    usleep(10000);
  }
  for (pid_t p : pids) {
    if (p > 0) {
      kill(p, SIGKILL);
      waitpid(p, nullptr, 0);
    }
  }
}

long LastGuardRebootSeq(long since) {
  long seq = 0;
  for (const auto& c : ReadCalls(since)) {
    if (c.kind == "guard" && c.name == "reboot") seq = c.seq;
  }
  return seq;
}

long LastSeq() {
  auto calls = ReadCalls(0);
  return calls.empty() ? 0 : calls.back().seq;
}

// Boot loader and platform part of a power cycle without the lab: the tried bank becomes active
// when bootable, the volatile folders are laid down again.
void SoftBoot(int boot) {
  StateLock lock;
  KvMap nv = ReadKv(StatePath("nv.env"));
  std::string active = nv["sw_active"].empty() ? "0" : nv["sw_active"];
  std::string how = "active";
  if (nv.count("sw_tryactive")) {
    std::string tried = nv["sw_tryactive"];
    bool bootable =
        ReadText(StatePath("banks/" + tried + "/bootable")).value_or("0").rfind("1", 0) == 0;
    if (bootable) {
      active = tried;
      how = "tryactive";
    } else {
      how = "fallback";
    }
    nv.erase("sw_tryactive");
  }
  nv["sw_active"] = active;
  WriteKv(StatePath("nv.env"), nv);
  std::string version = ReadText(StatePath("banks/" + active + "/version")).value_or("\n");
  while (!version.empty() && version.back() == '\n') version.pop_back();
  LauncherLog("boot " + std::to_string(boot) + ": bank " + active + " version " + version + " (" +
              how + ")");
  LayDownBootFiles();
}

}  // namespace

int CmdLauncher(const Args& a) {
  if (!a.empty()) {
    Err("usage: zunsim launcher\n");
    return 2;
  }
  if (!Exists(P("/bin/zuncore"))) {
    Err("zunsim launcher: no agent at " + P("/bin/zuncore") + " (zunsim init --agent PATH)\n");
    return 1;
  }
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  struct sigaction sa {};
  sa.sa_handler = OnTerm;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  WriteText(P("/sim/run/launcher.pid"), std::to_string(getpid()) + "\n");
  std::string daemonLog = P("/sim/log/daemons.log");
  std::string agentLog = P("/sim/log/zuncore.log");
  const char* bootEnv = std::getenv("ZUNSIM_BOOT");
  int boot = bootEnv ? std::atoi(bootEnv) : 1;
  LauncherLog("launcher " + std::to_string(getpid()) + " boot " + std::to_string(boot));
  std::vector<pid_t> daemons = {
      Start({P("/bin/zunsimd")}, daemonLog), Start({P("/bin/vsntp")}, daemonLog),
      Start({P("/bin/dnsmasq"), "-C", P("/var/dnsmasq.conf"), "-r", P("/var/resolv.conf")},
            daemonLog)};
  if (Knob("cwmp.run") == "1") daemons.push_back(Start({P("/bin/cwmpClient")}, daemonLog));
  long maxStarts = KnobInt("launcher.max_starts", 50);
  long delayMs = KnobInt("launcher.restart_delay_ms", 1000);
  pid_t agent = -1;
  int starts = 0;
  long startSeq = 0;
  bool gaveUp = false;
  while (!gTerm) {
    if (agent < 0 && !gaveUp) {
      if (starts >= maxStarts) {
        LauncherLog("gave up after " + std::to_string(starts) + " starts");
        gaveUp = true;
        continue;
      }
      ++starts;
      AppendText(agentLog, "=== start " + std::to_string(starts) + " boot " + std::to_string(boot) +
                               " ===\n");
      startSeq = LastSeq();
      agent = Start({P("/bin/zuncore")}, agentLog);
      LauncherLog("start " + std::to_string(starts) + " pid " + std::to_string(agent));
    }
    int status = 0;
    pid_t done = waitpid(-1, &status, 0);
    if (done < 0) {
      if (errno == EINTR) continue;
      if (errno == ECHILD) pause();
      continue;
    }
    if (done != agent) continue;  // a reaped orphan or daemon
    agent = -1;
    LauncherLog("exit " + std::to_string(starts) + " " + Describe(status));
    if (LastGuardRebootSeq(startSeq) > 0) {
      LauncherLog("reboot refused");
      if (Knob("launcher.soft_boot") == "1") {
        ++boot;
        Stop(daemons);
        SoftBoot(boot);
        daemons = {
            Start({P("/bin/zunsimd")}, daemonLog), Start({P("/bin/vsntp")}, daemonLog),
            Start({P("/bin/dnsmasq"), "-C", P("/var/dnsmasq.conf"), "-r", P("/var/resolv.conf")},
                  daemonLog)};
      }
    }
    if (!gTerm) SleepRouterMs(delayMs);
  }
  std::vector<pid_t> all = daemons;
  if (agent > 0) all.insert(all.begin(), agent);
  // Daemons the agent started itself (its exit path starts dnsmasq) left their pid files.
  for (const char* name : {"dnsmasq", "cwmpClient"}) {
    auto text =
        ReadText(P(std::string("/var/run/") + (name[0] == 'd' ? "dnsmasq" : "cwmp") + ".pid"));
    pid_t pid = text ? static_cast<pid_t>(std::atol(text->c_str())) : 0;
    for (int p : FindRouterProcesses(name)) {
      if (p == pid && std::find(all.begin(), all.end(), pid) == all.end()) all.push_back(pid);
    }
  }
  Stop(all);
  LauncherLog("launcher stopped");
  unlink(P("/sim/run/launcher.pid").c_str());
  return 0;
}

int AppletLauncher(const Args& a) {
  return CmdLauncher(a);
}

}  // namespace zsim
