// zunsim init: a fresh router tree under $ZUNCORE_ROOT.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "cli/cli.h"
#include "core/calls.h"
#include "core/model.h"
#include "core/simroot.h"
#include "core/state.h"

namespace zsim {
namespace {

constexpr const char* kZundnsConf =
    "bind 192.168.1.1:53\n"
    "bind-tcp 192.168.1.1:53\n"
    "server 1.1.1.3\n"
    "cache-size 512\n"
    "cache-persist no\n"
    "speed-check-mode ping,tcp:80\n"
    "dnsmasq-lease-file {R}/tmp/dnsmasq.leases\n"
    "log-level error\n";

// Search engines whose answers the filtering engine rewrites for safe search.
constexpr const char* kSafeSearchHosts[] = {"www.google.com", "www.bing.com", "duckduckgo.com",
                                            "www.youtube.com", "m.youtube.com"};

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t pos = text.find(from); pos != std::string::npos; pos = text.find(from, pos)) {
    text.replace(pos, from.size(), to);
    pos += to.size();
  }
  return text;
}

void Write(const std::string& routerPath, const std::string& content) {
  WriteText(P(routerPath), content);
}

void WriteKept(const std::string& routerPath, const std::string& content) {
  if (!Exists(P(routerPath))) Write(routerPath, content);
}

void Link(const std::string& target, const std::string& routerPath) {
  std::string path = P(routerPath);
  unlink(path.c_str());
  if (symlink(target.c_str(), path.c_str()) != 0) {
    std::fprintf(stderr, "zunsim init: cannot link %s\n", path.c_str());
  }
}

bool DirEmpty(const std::string& path) {
  return ListDir(path).empty();
}

void SeedState() {
  WriteFlash(FlashSeed());
  WriteKv(StatePath("nv.env"), NvSeed());
  WriteKv(StatePath("sys"), SysSeed());
  WriteText(StatePath("knobs"), "# zunsim knobs: launcher.*, lab.*, tools.*, port.*, dnsmasq.*\n");
  WriteText(StatePath("fail"), "");
  WriteText(StatePath("led"), "state=restore\n");
  WriteText(StatePath("clock"), "");
  WriteKv(StatePath("wifi/radio"),
          {{"channel", "6"}, {"scan.busy", "0"}, {"scan.polls", "1"}, {"acs.result", ""}});
  WriteText(StatePath("wifi/deny"), "");
  WriteText(StatePath("wifi/aps"), "");
  for (int i = 0; i < 4; ++i) {
    std::string dir = WifiDir(kWlanIfs[i]);
    WriteText(dir + "/enabled", "1\n");
    WriteKv(dir + "/mib", MibSeed(i));
    KvMap stats;
    for (const auto& k : WlanStatsKeys()) stats[k] = "0";
    WriteKv(dir + "/stats", stats);
    MakeDirs(dir + "/stations");
  }
  WriteKv(StatePath("rtk/pon"), PonSeed());
  WriteKv(StatePath("rtk/phy"), {{"0.0", "4416"}, {"1.0", "4416"}});
  WriteText(StatePath("rtk/macfilter"), "");
  WriteKv(StatePath("rtk/ports"), {{"0.rx", "0"}, {"0.tx", "0"}, {"1.rx", "0"}, {"1.tx", "0"}});
  WriteKv(StatePath("rtk/wan"), {{"rx", "0"}, {"tx", "0"}});
  WriteText(StatePath("rtk/hostpolice"), "");
  WriteText(StatePath("rtk/hosttraffic"), "");
  WriteText(StatePath("rtk/arp"), "");
  WriteText(StatePath("ebtables/macfilter_r"), "policy ACCEPT\n");
  WriteText(StatePath("iptables/nat.macfilter_r"), "policy ACCEPT\n");
  WriteKv(StatePath("net/wan"), {{"ipv4", "100.64.0.2"}, {"gateway", "100.64.0.1"}});
  WriteText(StatePath("net/hosts"), "");
  WriteText(StatePath("net/reachability"), "");
  MakeDirs(StatePath("net/clients"));
  struct Bank {
    const char* version;
    const char* active;
  } banks[] = {{"2.1.9", "1"}, {"2.1.8", "0"}};
  for (int b = 0; b < 2; ++b) {
    std::string dir = StatePath("banks/" + std::to_string(b));
    WriteText(dir + "/version", std::string(banks[b].version) + "\n");
    WriteText(dir + "/fwgroup", "ZSIM-GW1-A\n");
    WriteText(dir + "/size", "0\n");
    WriteText(dir + "/sha256", "\n");
    WriteText(dir + "/bootable", "1\n");
  }
}

}  // namespace

void LayDownBootFiles() {
  for (const char* dir :
       {"/tmp", "/var/run", "/var/log", "/etc/config", "/etc/scripts", "/etc/ppp", "/etc/ssl/certs",
        "/etc/launcher", "/dev", "/proc/rg", "/proc/sys/vm", "/sys/class"}) {
    MakeDirs(P(dir));
  }
  Write("/etc/launcher/version", "1.4.2\n");
  Write("/etc/launcher/platformmodel", "ZSIM-GW1\n");
  Write("/etc/launcher/fwgroup", "ZSIM-GW1-A\n");
  Write("/etc/version", "ZSIM-GW1-V1.0.3 -- 2025-01-13 10:20:30\n");
  Write("/etc/ppp/pppoe.conf", "# PPPoE settings\nETH nas0_0\n");
  Write("/etc/resolv.conf", "nameserver 1.1.1.3\n");
  WriteKept("/tmp/zun_url", "https://127.0.0.1:8443\n");
  WriteKept("/tmp/bstrapnats", "nats://127.0.0.1:4222\n");
  WriteKept("/tmp/zuncore_suser_pass", "sim-suser\n");
  std::string safe;
  for (size_t i = 0; i < std::size(kSafeSearchHosts); ++i) {
    safe += "2001:db8::" + std::to_string(i + 1) + " 192.0.2." + std::to_string(i + 1) + " " +
            kSafeSearchHosts[i] + "\n";
  }
  WriteKept("/tmp/safeurl.txt", safe);
  std::string active = ReadKv(StatePath("nv.env"))["sw_active"];
  if (active.empty()) active = "0";
  std::string version = ReadText(StatePath("banks/" + active + "/version")).value_or("\n");
  Write("/tmp/zun_fw_version", version);
  Write("/tmp/zundns.conf", Replace(kZundnsConf, "{R}", Root()));
  std::string ntp = ReadKv(StatePath("sys"))["ntp_status"];
  Write("/tmp/timeStatus", (ntp.empty() ? "2" : ntp.substr(0, 1)) + "\n");
  Write("/tmp/hosts", ReadText(StatePath("net/tmp_hosts")).value_or(""));
  Write("/tmp/dnsmasq.leases", ReadText(StatePath("net/leases")).value_or(""));
  Write("/var/dnsmasq.conf", "# dnsmasq of the simulated router\n");
  Write("/var/resolv.conf", "# upstream servers of the simulated router\n");
  Write("/proc/wlan_onoff", "0\n");
  Write("/proc/rg/gather_lanNetInfo", "0\n");
  Write("/proc/sys/vm/drop_caches", "0\n");
  std::string pem = ReadText(StatePath("ca/ca.crt")).value_or("");
  WriteKept("/tmp/cacert.pem", pem);
  Write("/etc/ssl/certs/ca-certificates.crt", pem);
  Link("/proc/self/net", "/proc/net");
  Link("/sys/class/net", "/sys/class/net");
  RenderAll();
}

int CmdInit(const Args& a) {
  bool force = false;
  std::string agent;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] == "--force") {
      force = true;
    } else if (a[i] == "--agent" && i + 1 < a.size()) {
      agent = a[++i];
    } else {
      std::fprintf(stderr, "usage: zunsim init [--force] [--agent PATH]\n");
      return 2;
    }
  }
  EnforceGuard("zunsim init", false);
  const std::string& root = Root();
  bool marked = Exists(root + "/sim/ROOT");
  if (Exists(root) && !DirEmpty(root)) {
    if (!marked) {
      std::fprintf(stderr, "zunsim init: %s is not empty and not a simulated router\n",
                   root.c_str());
      return 1;
    }
    if (!force) {
      std::fprintf(stderr, "zunsim init: %s is already a simulated router (use --force)\n",
                   root.c_str());
      return 1;
    }
    for (const auto& name : ListDir(root)) RemoveTree(root + "/" + name);
  }
  if (!MakeDirs(root + "/sim/state") || !MakeDirs(root + "/sim/log") ||
      !MakeDirs(root + "/sim/run") || !MakeDirs(root + "/bin")) {
    std::fprintf(stderr, "zunsim init: cannot create %s\n", root.c_str());
    return 1;
  }
  WriteText(root + "/sim/ROOT", "zunsim simulated router\n");
  SeedState();
  std::string pem;
  if (!MakeLabCa(&pem)) std::fprintf(stderr, "zunsim init: lab CA not created\n");
  std::string self = SelfExe();
  Link(self, "/bin/zunsim");
  MakeDirs(P("/etc/scripts"));
  for (const auto& applet : AllApplets()) {
    std::string name = applet.name;
    if (name != "fwu_starter.sh") Link(self, "/bin/" + name);
  }
  Link(self, "/etc/scripts/fwu_starter.sh");
  Link(self, "/etc/scripts/config_xmlconfig.sh");
  if (!agent.empty()) Link(agent, "/bin/zuncore");
  LayDownBootFiles();
  LogCall("sim", "init", JsonArray(a), 0);
  return 0;
}

}  // namespace zsim
