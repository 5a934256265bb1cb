// The network lab: unprivileged user+mount+pid+net namespaces ("the world") holding the router's
// network namespace with veth interfaces named as on the router, bridges standing for the LAN
// ports, LAN clients in child namespaces, and a boot loop that runs the launcher as pid 1 of a
// fresh pid and time namespace per boot. Nothing touches the host's network.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "cli/cli.h"
#include "core/calls.h"
#include "core/model.h"
#include "core/simroot.h"
#include "core/state.h"

namespace zsim {
namespace {

constexpr const char* kLanPorts[] = {"eth0.2",     "eth0.3",     "wlan0",
                                     "wlan0-vap0", "wlan0-vap1", "wlan0-vap2"};
constexpr int kLanPortMacOffsets[] = {6, 7, 2, 3, 4, 5};

volatile sig_atomic_t gWorldStop = 0;
void OnWorldStop(int) {
  gWorldStop = 1;
}

std::string RunFile(const std::string& name) {
  return P("/sim/run/" + name);
}

int RunArgvWait(const Args& argv, const std::string& input = "", bool quiet = false) {
  int fds[2] = {-1, -1};
  if (!input.empty() && pipe(fds) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    if (fds[0] >= 0) {
      dup2(fds[0], STDIN_FILENO);
      close(fds[0]);
      close(fds[1]);
    }
    if (quiet) {
      int null = open("/dev/null", O_WRONLY);
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
    }
    std::vector<char*> c;
    for (const auto& s : argv) c.push_back(const_cast<char*>(s.c_str()));
    c.push_back(nullptr);
    execvp(c[0], c.data());
    _exit(127);
  }
  if (fds[0] >= 0) {
    close(fds[0]);
    (void)!write(fds[1], input.data(), input.size());
    close(fds[1]);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t WorldPid() {
  auto text = ReadText(RunFile("world.pid"));
  pid_t pid = text ? static_cast<pid_t>(std::atol(text->c_str())) : 0;
  return pid > 0 && kill(pid, 0) == 0 ? pid : 0;
}

// The argument vector that runs a command inside the world's namespaces.
Args InWorld(pid_t world) {
  return {"nsenter", "-t", std::to_string(world), "-U", "-m", "-n", "-p", "--preserve-credentials"};
}

std::string BaseMac() {
  std::string base = PlainMac(FlashValue("ELAN_MAC_ADDR"));
  return base.empty() ? kBaseMac : base;
}

// World side: loopback peers, the router's veths, the port bridges and the WAN peer.
std::string WorldTopology() {
  std::string c = "link set lo up\naddr add 8.8.8.8/32 dev lo\naddr add 1.1.1.3/32 dev lo\n";
  c += "netns add router\n";
  for (const char* ifname : {"eth0", "nas0_0"}) {
    c += std::string("link add ") + ifname + " netns router type veth peer name r-" + ifname + "\n";
    c += std::string("link set r-") + ifname + " up\n";
  }
  c += "addr add 100.64.0.1/24 dev r-nas0_0\n";
  for (const char* port : kLanPorts) {
    std::string p = port;
    c += "link add " + p + " netns router type veth peer name r-" + p + "\n";
    c += "link add sw-" + p + " type bridge\nlink set r-" + p + " master sw-" + p + "\n";
    c += "link set r-" + p + " up\nlink set sw-" + p + " up\n";
  }
  return c;
}

// Router side: MACs from flash, br0 with its ports and the LAN address, the WAN and its route.
std::string RouterTopology() {
  std::string base = BaseMac();
  KvMap flash = ReadFlash();
  std::string lan = flash["LAN_IP_ADDR"].empty() ? "192.168.1.1" : flash["LAN_IP_ADDR"];
  std::string c = "link set lo up\n";
  c += "link set eth0 address " + ColonMac(base) + "\nlink set eth0 up\n";
  c += "link add br0 type bridge\nlink set br0 address " + ColonMac(base) + "\n";
  for (size_t i = 0; i < std::size(kLanPorts); ++i) {
    std::string p = kLanPorts[i];
    c += "link set " + p + " address " + ColonMac(MacPlus(base, kLanPortMacOffsets[i])) + "\n";
    c += "link set " + p + " master br0\n";
    bool enabled = !IsWlanIf(p) || ReadText(WifiDir(p) + "/enabled").value_or("1")[0] != '0';
    if (enabled) c += "link set " + p + " up\n";
  }
  c += "addr add " + lan + "/24 dev br0\nlink set br0 up\n";
  c += "link set nas0_0 address " + ColonMac(MacPlus(base, 1)) + "\n";
  c += "addr add 100.64.0.2/24 dev nas0_0\nlink set nas0_0 up\n";
  c += "route add default via 100.64.0.1\n";
  return c;
}

// A LAN client in its own namespace on the port's bridge; one datagram makes the router learn it.
int MakeClient(const KvMap& c, const std::string& name, const Args& prefix) {
  std::string ns = "cl-" + name, peer = "c-" + name.substr(0, 13);
  KvMap flash = ReadFlash();
  std::string lan = flash["LAN_IP_ADDR"].empty() ? "192.168.1.1" : flash["LAN_IP_ADDR"];
  std::string cmds = "netns add " + ns + "\nlink add eth0 netns " + ns + " type veth peer name " +
                     peer + "\nlink set " + peer + " master sw-" + c.at("port") + "\nlink set " +
                     peer + " up\n";
  Args ip = prefix;
  for (const char* x : {"ip", "-batch", "-"}) ip.push_back(x);
  if (RunArgvWait(ip, cmds) != 0) return 1;
  std::string inner = "link set lo up\nlink set eth0 address " + c.at("mac") +
                      "\nlink set eth0 up\naddr add " + c.at("ip") + "/24 dev eth0\n" +
                      "route add default via " + lan + "\n";
  Args ipn = prefix;
  for (const std::string& x :
       {std::string("ip"), std::string("-n"), ns, std::string("-batch"), std::string("-")}) {
    ipn.push_back(x);
  }
  if (RunArgvWait(ipn, inner) != 0) return 1;
  Args poke = prefix;
  for (const std::string& x : {std::string("ip"), std::string("netns"), std::string("exec"), ns,
                               SelfExe(), std::string("__poke"), lan}) {
    poke.push_back(x);
  }
  RunArgvWait(poke);
  return 0;
}

void MakeLabFiles() {
  std::string hosts = "127.0.0.1 localhost\n";
  std::istringstream in(ReadText(StatePath("net/hosts")).value_or(""));
  std::string name, addr;
  while (in >> name >> addr) hosts += addr + " " + name + "\n";
  WriteText(RunFile("hosts"), hosts);
  WriteText(RunFile("resolv.conf"), "nameserver 8.8.8.8\n");
}

// One boot: boot loader, volatile files, then the launcher as pid 1 of new pid and time
// namespaces inside the router's network namespace. Returns the launcher's wait status.
int Boot(int n, pid_t* launcher) {
  {
    StateLock lock;
    KvMap nv = ReadKv(StatePath("nv.env"));
    std::string active = nv["sw_active"].empty() ? "0" : nv["sw_active"], how = "active";
    if (nv.count("sw_tryactive")) {
      std::string tried = nv["sw_tryactive"];
      bool ok = ReadText(StatePath("banks/" + tried + "/bootable")).value_or("0")[0] == '1';
      how = ok ? "tryactive" : "fallback";
      if (ok) active = tried;
      nv.erase("sw_tryactive");
    }
    nv["sw_active"] = active;
    WriteKv(StatePath("nv.env"), nv);
    std::string version = ReadText(StatePath("banks/" + active + "/version")).value_or("\n");
    version.pop_back();
    AppendText(P("/sim/log/launcher.log"), "boot " + std::to_string(n) + ": bank " + active +
                                               " version " + version + " (" + how + ")\n");
    for (const char* dir : {"/tmp", "/var"}) {
      for (const auto& entry : ListDir(P(dir))) {
        static const char* const kKept[] = {"zun_url", "bstrapnats", "cacert.pem",
                                            "zuncore_suser_pass", "safeurl.txt"};
        bool kept = false;
        for (const char* k : kKept) kept |= std::string(dir) == "/tmp" && entry == k;
        if (!kept) RemoveTree(P(std::string(dir) + "/" + entry));
      }
    }
  }
  LayDownBootFiles();
  // The router's tables start empty; its LAN address comes from flash; clients speak once so
  // that neighbour and bridge entries return.
  std::string lan = FlashValue("LAN_IP_ADDR", "192.168.1.1");
  RunArgvWait({"ip", "-n", "router", "neigh", "flush", "all"}, "", true);
  RunArgvWait({"ip", "-n", "router", "addr", "flush", "dev", "br0"}, "", true);
  RunArgvWait({"ip", "-n", "router", "addr", "add", lan + "/24", "dev", "br0"}, "", true);
  for (const auto& name : ListDir(StatePath("net/clients"))) {
    if (ReadKv(StatePath("net/clients/" + name))["light"] == "1") continue;
    RunArgvWait({"ip", "netns", "exec", "cl-" + name, SelfExe(), "__poke", lan}, "", true);
  }
  auto uptime = ReadText("/proc/uptime").value_or("0");
  std::string offset = "-" + uptime.substr(0, uptime.find('.'));
  *launcher = fork();
  if (*launcher == 0) {
    setpgid(0, 0);
    setenv("ZUNSIM_BOOT", std::to_string(n).c_str(), 1);
    Args argv = {"ip",
                 "netns",
                 "exec",
                 "router",
                 "unshare",
                 "-T",
                 "--boottime",
                 offset,
                 "-pf",
                 "--mount-proc",
                 P("/bin/zunlauncher")};
    std::vector<char*> c;
    for (const auto& s : argv) c.push_back(const_cast<char*>(s.c_str()));
    c.push_back(nullptr);
    execvp(c[0], c.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(*launcher, &status, 0) < 0) {
    if (errno != EINTR) break;
    if (gWorldStop) kill(-*launcher, SIGTERM);
  }
  return status;
}

}  // namespace

// The world's init (pid 1 of the lab's namespaces).
int CmdWorld(const Args&) {
  struct sigaction sa {};
  sa.sa_handler = OnWorldStop;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("tmpfs", "/run", "tmpfs", 0, nullptr) != 0 ||
      mount(RunFile("hosts").c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0 ||
      mount(RunFile("resolv.conf").c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0) {
    std::fprintf(stderr, "zunsim world: mount failed: %s\n", std::strerror(errno));
    return 1;
  }
  if (RunArgvWait({"ip", "-batch", "-"}, WorldTopology()) != 0 ||
      RunArgvWait({"ip", "-n", "router", "-batch", "-"}, RouterTopology()) != 0) {
    std::fprintf(stderr, "zunsim world: topology failed\n");
    return 1;
  }
  RunArgvWait({"ip", "netns", "exec", "router", "sh", "-c",
               "echo '0 0' > /proc/sys/net/ipv4/ping_group_range; readlink /proc/self/ns/net > " +
                   RunFile("router.netns")});
  for (const auto& name : ListDir(StatePath("net/clients"))) {
    KvMap c = ReadKv(StatePath("net/clients/" + name));
    if (c["light"] != "1") MakeClient(c, name, {});
  }
  WriteText(RunFile("world.ready"), "1\n");
  for (int boot = 1; !gWorldStop; ++boot) {
    pid_t launcher = -1;
    int status = Boot(boot, &launcher);
    if (gWorldStop) break;
    bool rebooted = WIFSIGNALED(status) ? WTERMSIG(status) == SIGHUP
                                        : WIFEXITED(status) && WEXITSTATUS(status) == 129;
    AppendText(P("/sim/log/launcher.log"),
               "reboot " + std::to_string(boot) +
                   (rebooted ? " (cause: reboot(2))\n" : " (cause: power loss)\n"));
    SleepRouterMs(KnobInt("lab.reboot_delay_ms", 1000));
  }
  return 0;
}

int CmdPoke(const Args& a) {
  // One datagram to the router so that it learns this client (discard port).
  if (a.size() != 1) return 2;
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(9);
  inet_pton(AF_INET, a[0].c_str(), &sin.sin_addr);
  ssize_t n = sendto(fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
  close(fd);
  return n == 1 ? 0 : 1;
}

int CmdLab(const Args& a) {
  auto usage = [] {
    return Err("usage: zunsim lab up|down|status|reboot|wait-boot N|exec world|router|router-net|"
               "client NAME -- CMD...\n"),
           2;
  };
  if (a.empty()) return usage();
  const std::string& op = a[0];
  pid_t world = WorldPid();
  if (op == "status") {
    Out(world ? "up " + std::to_string(world) + "\n" : "down\n");
    return world ? 0 : 1;
  }
  if (op == "up") {
    if (world) {
      Err("zunsim lab: already up\n");
      return 1;
    }
    if (RunArgvWait({"unshare", "-rmpfn", "--mount-proc", "true"}) != 0) {
      Err("zunsim lab: unprivileged namespaces are not available here\n");
      return 3;
    }
    MakeLabFiles();
    unlink(RunFile("world.ready").c_str());
    pid_t starter = fork();
    if (starter == 0) {
      setsid();
      int log = open(P("/sim/log/lab.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (log >= 0) {
        dup2(log, STDOUT_FILENO);
        dup2(log, STDERR_FILENO);
      }
      execlp("unshare", "unshare", "-rmpfn", "--mount-proc", "--", SelfExe().c_str(), "__world",
             nullptr);
      _exit(127);
    }
    // The world's init is the unshare process's child.
    pid_t init = 0;
    for (int i = 0; i < 1000 && !init; ++i) {
      for (const auto& e : ListDir("/proc")) {
        auto st = ReadText("/proc/" + e + "/stat");
        if (!st) continue;
        size_t close = st->rfind(')');
        if (close == std::string::npos || close + 2 > st->size()) continue;
        std::istringstream f(st->substr(close + 2));
        char state;
        long ppid = 0;
        f >> state >> ppid;
        if (ppid == starter) init = static_cast<pid_t>(std::atol(e.c_str()));
      }
      if (!init) usleep(5000);
    }
    if (!init) return 1;
    WriteText(RunFile("world.pid"), std::to_string(init) + "\n");
    for (int i = 0; i < 3000 && !Exists(RunFile("world.ready")); ++i) {
      if (kill(init, 0) != 0) break;
      usleep(5000);
    }
    if (!Exists(RunFile("world.ready"))) {
      Err("zunsim lab: the world did not come up (see sim/log/lab.log)\n");
      kill(init, SIGKILL);
      return 1;
    }
    LogCall("sim", "lab", JsonArray({"up", std::to_string(init)}), 0);
    return 0;
  }
  if (!world) {
    Err("zunsim lab: not up\n");
    return 1;
  }
  if (op == "down") {
    kill(world, SIGTERM);
    for (int i = 0; i < 200 && kill(world, 0) == 0; ++i) usleep(10000);
    if (kill(world, 0) == 0) kill(world, SIGKILL);
    for (const char* f : {"world.pid", "world.ready", "router.netns"}) unlink(RunFile(f).c_str());
    return 0;
  }
  if (op == "wait-boot" && a.size() == 2) {
    std::string want = "boot " + a[1] + ":";
    for (int i = 0; i < 6000; ++i) {
      if (ReadText(P("/sim/log/launcher.log")).value_or("").find(want) != std::string::npos) {
        return 0;
      }
      usleep(10000);
    }
    return 1;
  }
  if (op == "reboot") {
    for (int pid : FindRouterProcesses("zunlauncher")) kill(pid, SIGKILL);
    return 0;
  }
  if (op == "exec" && a.size() >= 3) {
    size_t sep = std::find(a.begin(), a.end(), "--") - a.begin();
    if (sep >= a.size() - 1) return usage();
    Args argv;
    std::string where = a[1];
    if (where == "router") {
      auto launchers = FindRouterProcesses("zunlauncher");
      if (launchers.empty()) return 1;
      argv = {"nsenter", "-t", std::to_string(launchers[0]), "-U", "-m", "-n",
              "-p",      "-T", "--preserve-credentials"};
    } else {
      argv = InWorld(world);
      if (where == "router-net") {
        for (const char* x : {"ip", "netns", "exec", "router"}) argv.push_back(x);
      } else if (where == "client" && sep == 3) {
        for (const std::string& x :
             {std::string("ip"), std::string("netns"), std::string("exec"), "cl-" + a[2]}) {
          argv.push_back(x);
        }
      } else if (where != "world") {
        return usage();
      }
    }
    argv.insert(argv.end(), a.begin() + static_cast<long>(sep) + 1, a.end());
    return RunArgvWait(argv);
  }
  return usage();
}

int RouterNetCommand(const Args& argv) {
  if (InRouterNetns()) return RunArgvWait(argv, "", true);
  pid_t world = WorldPid();
  if (!world) return -1;
  Args full = InWorld(world);
  for (const char* x : {"ip", "netns", "exec", "router"}) full.push_back(x);
  full.insert(full.end(), argv.begin(), argv.end());
  return RunArgvWait(full, "", true);
}

int WorldCommand(const Args& argv) {
  pid_t world = WorldPid();
  if (!world) return -1;
  Args full = InWorld(world);
  full.insert(full.end(), argv.begin(), argv.end());
  return RunArgvWait(full, "", true);
}

bool LabUp() {
  return WorldPid() != 0;
}

// Adds a client's namespace while the lab runs (zunsim client add without --light).
int LabAddClient(const std::string& name) {
  pid_t world = WorldPid();
  if (!world) return -1;
  return MakeClient(ReadKv(StatePath("net/clients/" + name)), name, InWorld(world));
}

}  // namespace zsim
