// zunsim netns-exec: runs a command in a private user+mount+network namespace holding the
// router's interfaces, for tests that need the agent's start-up (MAC of eth0, addresses) but not
// the whole lab. The host's network is never touched.
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/cli.h"
#include "core/model.h"
#include "core/simroot.h"
#include "core/state.h"

namespace zsim {
namespace {

[[noreturn]] void ExecOrDie(const Args& argv) {
  std::vector<char*> cargv;
  for (const auto& s : argv) cargv.push_back(const_cast<char*>(s.c_str()));
  cargv.push_back(nullptr);
  execvp(cargv[0], cargv.data());
  std::fprintf(stderr, "zunsim: cannot run %s: %s\n", argv[0].c_str(), std::strerror(errno));
  _exit(127);
}

// Runs "ip -batch -" with the given commands on its standard input.
bool RunIpBatch(const std::string& commands) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[0], STDIN_FILENO);
    close(fds[0]);
    close(fds[1]);
    ExecOrDie({"ip", "-batch", "-"});
  }
  close(fds[0]);
  if (pid < 0) {
    close(fds[1]);
    return false;
  }
  (void)!write(fds[1], commands.data(), commands.size());
  close(fds[1]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string RouterInterfaces(bool haveRoot) {
  KvMap flash = haveRoot ? ReadFlash() : FlashSeed();
  std::string base = PlainMac(flash["ELAN_MAC_ADDR"]);
  if (base.empty()) base = kBaseMac;
  std::string lanIp = flash["LAN_IP_ADDR"].empty() ? "192.168.1.1" : flash["LAN_IP_ADDR"];
  std::string mac = ColonMac(base);
  std::string cmds = "link set lo up\n";
  auto veth = [&](const std::string& name, int offset) {
    cmds += "link add " + name + " type veth peer name p-" + name + "\n";
    cmds += "link set " + name + " address " + ColonMac(MacPlus(base, offset)) + "\n";
    cmds += "link set p-" + name + " up\n";
  };
  veth("eth0", 0);
  cmds += "link set eth0 up\n";
  cmds += "link add br0 type bridge\nlink set br0 address " + mac + "\n";
  cmds += "addr add " + lanIp + "/24 dev br0\nlink set br0 up\n";
  veth("nas0_0", 1);
  cmds += "addr add 100.64.0.2/24 dev nas0_0\nlink set nas0_0 up\n";
  struct Port {
    const char* name;
    int offset;
  } ports[] = {{"eth0.2", 6},     {"eth0.3", 7},     {"wlan0", 2},
               {"wlan0-vap0", 3}, {"wlan0-vap1", 4}, {"wlan0-vap2", 5}};
  for (const auto& p : ports) {
    veth(p.name, p.offset);
    cmds += std::string("link set ") + p.name + " master br0\n";
    bool enabled = !haveRoot || !IsWlanIf(p.name) ||
                   ReadText(WifiDir(p.name) + "/enabled").value_or("1").rfind("0", 0) != 0;
    if (enabled) cmds += std::string("link set ") + p.name + " up\n";
  }
  return cmds;
}

}  // namespace

int CmdNetnsExec(const Args& a) {
  Args cmd = a;
  bool pidns = !cmd.empty() && cmd[0] == "--pidns";
  if (pidns) cmd.erase(cmd.begin());
  if (!cmd.empty() && cmd[0] == "--") cmd.erase(cmd.begin());
  if (cmd.empty()) {
    Err("usage: zunsim netns-exec [--pidns] [--] CMD [ARGS...]\n");
    return 2;
  }
  Args argv =
      pidns ? Args{"unshare", "-rmnpf", "--mount-proc", "--", SelfExe(), "__netns-inner", "--pidns"}
            : Args{"unshare", "-rmn", "--", SelfExe(), "__netns-inner"};
  argv.insert(argv.end(), cmd.begin(), cmd.end());
  ExecOrDie(argv);
}

namespace {

volatile sig_atomic_t gForward = 0;
void Remember(int sig) {
  gForward = sig;
}

// As pid 1 of the namespace: runs the command as a child, passes signals on, reaps orphans and
// ends with the command's status; every process left in the namespace ends with it.
[[noreturn]] void RunAsInit(const Args& cmd) {
  pid_t child = fork();
  if (child == 0) ExecOrDie(cmd);
  struct sigaction sa {};
  sa.sa_handler = Remember;
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2}) sigaction(sig, &sa, nullptr);
  for (;;) {
    int status = 0;
    pid_t done = waitpid(-1, &status, 0);
    if (done < 0 && errno == EINTR) {
      if (gForward && child > 0) kill(child, gForward);
      gForward = 0;
      continue;
    }
    if (done == child || done < 0) {
      _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
  }
}

}  // namespace

int CmdNetnsInner(const Args& args) {
  Args cmd = args;
  bool pidns = !cmd.empty() && cmd[0] == "--pidns";
  if (pidns) cmd.erase(cmd.begin());
  // Without a root the interfaces get the fresh router's seeds (test binaries that make their
  // own roots run this way); a root given must be a simulated router.
  bool haveRoot = !Root().empty();
  if (haveRoot) EnforceGuard("zunsim netns-exec");
  if (cmd.empty()) return 2;
  if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("sysfs", "/sys", "sysfs", 0, nullptr) != 0) {
    std::fprintf(stderr, "zunsim netns-exec: cannot mount /sys: %s\n", std::strerror(errno));
    return 1;
  }
  if (!RunIpBatch(RouterInterfaces(haveRoot))) {
    std::fprintf(stderr, "zunsim netns-exec: interface set-up failed\n");
    return 1;
  }
  if (FILE* f = std::fopen("/proc/sys/net/ipv4/ping_group_range", "w")) {
    std::fputs("0 0\n", f);
    std::fclose(f);
  }
  char link[64];
  ssize_t n = readlink("/proc/self/ns/net", link, sizeof link - 1);
  if (!haveRoot) {
    if (pidns) RunAsInit(cmd);
    ExecOrDie(cmd);
  }
  if (n > 0) WriteText(P("/sim/run/router.netns"), std::string(link, static_cast<size_t>(n)));
  std::string bin = Root() + "/bin";
  const char* path = std::getenv("PATH");
  std::string current = path ? path : "/usr/sbin:/usr/bin:/sbin:/bin";
  if (current.rfind(bin + ":", 0) != 0 && current != bin) {
    setenv("PATH", (bin + ":" + current).c_str(), 1);
  }
  if (pidns) RunAsInit(cmd);
  ExecOrDie(cmd);
}

}  // namespace zsim
