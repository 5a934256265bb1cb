// Diagnostics and power: ping, traceroute, reboot/halt/poweroff, and zunsimd (the daemon that
// advances /proc/stat and acts on /proc/wlan_onoff).
#include <arpa/inet.h>
#include <signal.h>
#include <sys/reboot.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "applets/applets.h"
#include "core/calls.h"
#include "core/model.h"
#include "core/simroot.h"
#include "core/state.h"

namespace zsim {
namespace {

bool IsIpv4(const std::string& text) {
  in_addr a{};
  return inet_pton(AF_INET, text.c_str(), &a) == 1;
}

// Lab names ($ROOT/sim/state/net/hosts "NAME ADDR"), then the C library's hosts file.
std::string Resolve(const std::string& target) {
  if (IsIpv4(target)) return target;
  for (const std::string& file : {StatePath("net/hosts"), std::string("/etc/hosts")}) {
    std::istringstream in(ReadText(file).value_or(""));
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream f(line);
      std::string a, b, c;
      f >> a >> b;
      if (file != "/etc/hosts" && a == target && IsIpv4(b)) return b;
      if (file == "/etc/hosts" && IsIpv4(a)) {
        for (std::string name = b; !name.empty(); name.clear(), f >> name) {
          if (name == target) return a;
        }
      }
    }
  }
  return {};
}

// "ADDR down" in net/reachability makes an address silent.
bool Reachable(const std::string& addr) {
  std::istringstream in(ReadText(StatePath("net/reachability")).value_or(""));
  std::string a, state;
  while (in >> a >> state) {
    if (a == addr && state == "down") return false;
  }
  return true;
}

// Parses "-w 5 -4 TARGET" / "-q 1 -m 20 -w 1 -4 TARGET": option values and the target.
bool ParseDiagArgs(const Args& a, const std::vector<std::string>& valueOpts, long* wait,
                   std::string* target) {
  for (size_t i = 0; i < a.size(); ++i) {
    const std::string& x = a[i];
    if (x == "-4") continue;
    bool known = false;
    for (const auto& opt : valueOpts) {
      if (x == opt && i + 1 < a.size()) {
        if (opt == "-w") *wait = std::atol(a[i + 1].c_str());
        ++i;
        known = true;
      }
    }
    if (known) continue;
    if (x.empty() || x[0] == '-' || !target->empty()) return false;
    *target = x;
  }
  return !target->empty();
}

volatile sig_atomic_t gStop = 0;
void OnStop(int) {
  gStop = 1;
}

}  // namespace

int AppletPing(const Args& a) {
  long deadline = 5;
  std::string target;
  if (!ParseDiagArgs(a, {"-w", "-c", "-i", "-W"}, &deadline, &target)) {
    Err("ping: invalid argument\n");
    return 2;
  }
  std::string addr = Resolve(target);
  if (addr.empty()) {
    Err("ping: " + target + ": Name or service not known\n");
    return 2;
  }
  bool up = Reachable(addr) && !ConsumeFailure("ping.unreachable");
  Out("PING " + target + " (" + addr + ") 56(84) bytes of data.\n");
  long interval = KnobInt("tools.ping_interval_ms", 1000);
  long sent = 0, received = 0;
  for (long elapsed = 0; elapsed < deadline * 1000; elapsed += interval) {
    ++sent;
    if (up) {
      ++received;
      Out("64 bytes from " + addr + ": icmp_seq=" + std::to_string(sent) + " ttl=64 time=0.0" +
          std::to_string(40 + sent % 9) + " ms\n");
    }
    SleepRouterMs(interval);
  }
  int loss = sent ? static_cast<int>((sent - received) * 100 / sent) : 100;
  Out("\n--- " + target + " ping statistics ---\n" + std::to_string(sent) +
      " packets transmitted, " + std::to_string(received) + " received, " + std::to_string(loss) +
      "% packet loss, time " + std::to_string(deadline * 1000) + "ms\n" +
      (received ? "rtt min/avg/max/mdev = 0.040/0.044/0.048/0.003 ms\n" : ""));
  return received ? 0 : 1;
}

int AppletTraceroute(const Args& a) {
  long wait = 1;
  std::string target;
  if (!ParseDiagArgs(a, {"-q", "-m", "-w"}, &wait, &target)) {
    Err("traceroute: bad option\n");
    return 2;
  }
  std::string addr = Resolve(target);
  if (addr.empty()) {
    Err(target + ": Name or service not known\nCannot handle \"host\" cmdline arg `" + target +
        "' on position 1 (argc 7)\n");
    return 2;
  }
  Out("traceroute to " + target + " (" + addr + "), 20 hops max, 60 byte packets\n");
  // Hops ($ROOT/sim/state/net/hops, "TARGET HOP..." with "*" for a silent hop); default one hop.
  std::vector<std::string> hops = {addr};
  std::istringstream in(ReadText(StatePath("net/hops")).value_or(""));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string t, h;
    f >> t;
    if (t != addr && t != target) continue;
    hops.clear();
    while (f >> h) hops.push_back(h);
  }
  for (size_t i = 0; i < hops.size(); ++i) {
    std::string n = std::to_string(i + 1);
    if (hops[i] == "*" || !Reachable(hops[i])) {
      SleepRouterMs(wait * 1000);
      Out((i + 1 < 10 ? " " : "") + n + "  *\n");
    } else {
      Out((i + 1 < 10 ? " " : "") + n + "  " + hops[i] + " (" + hops[i] + ")  0.05" +
          std::to_string(i) + " ms\n");
    }
  }
  return 0;
}

int AppletReboot(const Args& a) {
  (void)a;
  // Only inside the lab: a non-initial user namespace whose pid namespace has the router's
  // launcher as init, in the router's network namespace.
  std::ifstream uidMap("/proc/self/uid_map");
  std::string first, second, count, init;
  uidMap >> first >> second >> count;
  std::ifstream comm("/proc/1/comm");
  std::getline(comm, init);
  bool initialUserNs = first == "0" && second == "0" && count == "4294967295";
  if (initialUserNs || init != "zunlauncher" || !InRouterNetns()) {
    Err("reboot: refusing outside the lab\n");
    return 1;
  }
  sync();
  return reboot(RB_AUTOBOOT) == 0 ? 0 : 1;
}

int AppletZunsimd(const Args& a) {
  struct sigaction sa {};
  sa.sa_handler = OnStop;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  WriteText(P("/var/run/zunsimd.pid"), std::to_string(getpid()) + "\n");
  LogExec("zunsimd", a, 0);
  while (!gStop && Exists(P("/sim/ROOT"))) {
    SleepRouterMs(1000);
    {
      StateLock lock;
      // /proc/stat advances 100 jiffies per second, split by the configured load.
      KvMap sys = ReadKv(StatePath("sys"));
      long busy = std::atol(sys["cpu.busy_percent"].c_str());
      busy = busy < 0 ? 0 : busy > 100 ? 100 : busy;
      long long user = std::atoll(sys["stat.user"].c_str()) + busy;
      long long idle = std::atoll(sys["stat.idle"].c_str()) + (100 - busy);
      sys["stat.user"] = std::to_string(user);
      sys["stat.idle"] = std::to_string(idle);
      WriteKv(StatePath("sys"), sys);
      RenderSystemFiles();
    }
    if (ReadText(P("/proc/wlan_onoff")).value_or("0").rfind("1", 0) == 0) {
      bool anyUp = false;
      for (const char* ifname : kWlanIfs) {
        anyUp |= ReadText(WifiDir(ifname) + "/enabled").value_or("1").rfind("1", 0) == 0;
      }
      for (const char* ifname : kWlanIfs) {
        WriteText(WifiDir(ifname) + "/enabled", anyUp ? "0\n" : "1\n");
        if (InRouterNetns()) {
          std::string cmd = std::string("ip link set ") + ifname + (anyUp ? " down" : " up");
          if (std::system(cmd.c_str()) != 0) Err("zunsimd: " + cmd + " failed\n");
        }
      }
      WriteText(P("/proc/wlan_onoff"), "0\n");
      LogCall("sim", "zunsimd", JsonArray({"wlan_onoff", anyUp ? "down" : "up"}), 0);
    }
  }
  return 0;
}

}  // namespace zsim
