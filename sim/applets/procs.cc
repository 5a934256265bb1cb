// Process tools and daemons: pidof, killall (scoped to this router), dnsmasq, vsntp, cwmpClient.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "applets/applets.h"
#include "core/calls.h"
#include "core/model.h"
#include "core/simroot.h"
#include "core/state.h"

namespace zsim {
namespace {

constexpr size_t kCommLength = 15;  // the kernel keeps 15 characters of a process name

bool EnvironHasRoot(int pid, const std::string& want) {
  auto env = ReadText("/proc/" + std::to_string(pid) + "/environ");
  if (!env) return false;
  size_t start = 0;
  while (start < env->size()) {
    size_t end = env->find('\0', start);
    if (end == std::string::npos) end = env->size();
    if (env->compare(start, end - start, want) == 0 && end - start == want.size()) return true;
    start = end + 1;
  }
  return false;
}

int SignalNumber(const std::string& text) {
  if (text.empty()) return -1;
  if (std::isdigit(static_cast<unsigned char>(text[0]))) {
    int n = std::atoi(text.c_str());
    return n > 0 && n < NSIG ? n : -1;
  }
  std::string name = text.rfind("SIG", 0) == 0 ? text.substr(3) : text;
  static const std::pair<const char*, int> kNames[] = {
      {"HUP", SIGHUP},   {"INT", SIGINT},   {"QUIT", SIGQUIT}, {"KILL", SIGKILL},
      {"USR1", SIGUSR1}, {"USR2", SIGUSR2}, {"TERM", SIGTERM}, {"CONT", SIGCONT},
      {"STOP", SIGSTOP}, {"ALRM", SIGALRM}};
  for (const auto& [n, sig] : kNames) {
    if (name == n) return sig;
  }
  return -1;
}

volatile sig_atomic_t gStop = 0;
volatile sig_atomic_t gUsr1 = 0;
void OnStop(int) {
  gStop = 1;
}
void OnUsr1(int) {
  gUsr1 = 1;
}

void InstallDaemonSignals(bool usr1) {
  struct sigaction sa {};
  sa.sa_handler = OnStop;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  if (usr1) {
    sa.sa_handler = OnUsr1;
    sigaction(SIGUSR1, &sa, nullptr);
  }
  signal(SIGHUP, SIG_IGN);
}

// Daemons end by themselves once their router is gone (a test removed its temporary root), so
// no stand-in outlives the root it serves.
bool RootGone() {
  return !Exists(P("/sim/ROOT"));
}

// Waits for a signal or one second; false once the daemon should stop.
bool DaemonWait() {
  if (gStop || RootGone()) return false;
  sleep(1);
  return !gStop && !RootGone();
}

bool WritePidFile(const std::string& routerPath) {
  return WriteText(P(routerPath), std::to_string(getpid()) + "\n");
}

// Binds UDP and TCP on the configured address; the sockets stay open for the process lifetime.
bool BindDnsPort(std::string* error) {
  std::string addr = Knob("dnsmasq.addr", "0.0.0.0");
  int port = static_cast<int>(KnobInt("dnsmasq.port", 53));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, addr.c_str(), &sa.sin_addr) != 1) {
    *error = "bad address " + addr;
    return false;
  }
  for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
    int fd = socket(AF_INET, type, 0);
    int one = 1;
    if (type == SOCK_STREAM) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        (type == SOCK_STREAM && listen(fd, 8) != 0)) {
      *error = "failed to create listening socket for port " + std::to_string(port) + ": " +
               std::strerror(errno);
      return false;
    }
  }
  return true;
}

}  // namespace

std::vector<int> FindRouterProcesses(const std::string& name) {
  std::vector<int> pids;
  std::string want = "ZUNCORE_ROOT=" + Root();
  std::string comm = name.substr(0, kCommLength);
  uid_t uid = getuid();
  int self = getpid();
  for (const auto& entry : ListDir("/proc")) {
    if (entry.empty() || !std::isdigit(static_cast<unsigned char>(entry[0]))) continue;
    int pid = std::atoi(entry.c_str());
    if (pid == self) continue;
    struct stat st {};
    if (stat(("/proc/" + entry).c_str(), &st) != 0 || st.st_uid != uid) continue;
    auto c = ReadText("/proc/" + entry + "/comm");
    if (!c) continue;
    while (!c->empty() && c->back() == '\n') c->pop_back();
    if (*c != comm) continue;
    if (!EnvironHasRoot(pid, want)) continue;
    pids.push_back(pid);
  }
  std::sort(pids.begin(), pids.end());
  return pids;
}

int AppletPidof(const Args& a) {
  if (a.empty()) return Unsupported("pidof", a);
  std::string line;
  for (const auto& name : a) {
    if (name.empty() || name[0] == '-') return Unsupported("pidof", a);
    for (int pid : FindRouterProcesses(name)) {
      if (!line.empty()) line += ' ';
      line += std::to_string(pid);
    }
  }
  if (line.empty()) return 1;
  Out(line + "\n");
  return 0;
}

int AppletKillall(const Args& a) {
  int sig = SIGTERM;
  size_t i = 0;
  if (i < a.size() && a[i] == "-s" && i + 1 < a.size()) {
    sig = SignalNumber(a[i + 1]);
    i += 2;
  } else if (i < a.size() && a[i].size() > 1 && a[i][0] == '-') {
    sig = SignalNumber(a[i].substr(1));
    ++i;
  }
  if (sig < 0 || i >= a.size()) return Unsupported("killall", a);
  bool any = false;
  std::string missing;
  for (; i < a.size(); ++i) {
    auto pids = FindRouterProcesses(a[i]);
    if (pids.empty()) missing += a[i] + ": no process found\n";
    for (int pid : pids) {
      if (kill(pid, sig) == 0) any = true;
    }
  }
  if (!missing.empty()) Err(missing);
  return any ? 0 : 1;
}

int AppletDnsmasq(const Args& a) {
  std::string conf, resolv;
  for (size_t i = 0; i + 1 < a.size(); i += 2) {
    if (a[i] == "-C") {
      conf = a[i + 1];
    } else if (a[i] == "-r") {
      resolv = a[i + 1];
    } else {
      LogExec("dnsmasq", a, 2);
      return Unsupported("dnsmasq", a);
    }
  }
  if (a.size() % 2 != 0 || conf.empty() || resolv.empty()) {
    LogExec("dnsmasq", a, 2);
    return Unsupported("dnsmasq", a);
  }
  for (const auto& file : {conf, resolv}) {
    if (!Exists(file)) {
      Err("dnsmasq: cannot read " + file + ": No such file or directory\n");
      LogExec("dnsmasq", a, 1);
      return 1;
    }
  }
  if (Knob("dnsmasq.bind53") == "1") {
    std::string error;
    if (!BindDnsPort(&error)) {
      Err("dnsmasq: " + error + "\n");
      LogExec("dnsmasq", a, 2);
      return 2;
    }
  }
  InstallDaemonSignals(false);
  WritePidFile("/var/run/dnsmasq.pid");
  LogExec("dnsmasq", a, 0);
  while (DaemonWait()) {
  }
  unlink(P("/var/run/dnsmasq.pid").c_str());
  return 0;
}

int AppletVsntp(const Args& a) {
  InstallDaemonSignals(true);
  auto writeStatus = [] {
    std::string status = ReadKv(StatePath("sys"))["ntp_status"];
    WriteText(P("/tmp/timeStatus"), (status.empty() ? "2" : status.substr(0, 1)) + "\n");
  };
  writeStatus();
  WritePidFile("/var/run/vsntp.pid");
  LogExec("vsntp", a, 0);
  while (DaemonWait() || gUsr1) {
    if (gUsr1) {
      gUsr1 = 0;
      writeStatus();
      LogCall("sim", "vsntp", JsonArray({"SIGUSR1"}), 0);
    }
  }
  return 0;
}

int AppletCwmpClient(const Args& a) {
  if (!a.empty()) {
    LogExec("cwmpClient", a, 2);
    return Unsupported("cwmpClient", a);
  }
  InstallDaemonSignals(false);
  WritePidFile("/var/run/cwmp.pid");
  LogExec("cwmpClient", a, 0);
  while (DaemonWait()) {
  }
  unlink(P("/var/run/cwmp.pid").c_str());
  return 0;
}

}  // namespace zsim
