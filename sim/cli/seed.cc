// zunsim commands that seed the router for tests and the demo: Wi-Fi interfaces, stations,
// neighbouring access points, LAN clients, traffic counters, optics, system views, images.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "cli/cli.h"
#include "core/calls.h"
#include "core/mib.h"
#include "core/model.h"
#include "core/simroot.h"
#include "core/state.h"
#include "core/survey.h"
#include "core/tar.h"

namespace zsim {
namespace {

int Bad(const std::string& usage) {
  Err("usage: zunsim " + usage + "\n");
  return 2;
}

// "N" sets, "+N" adds to the current value.
std::string Apply(const std::string& current, const std::string& change) {
  if (!change.empty() && change[0] == '+') {
    unsigned long long base = std::strtoull(current.c_str(), nullptr, 10);
    return std::to_string(base + std::strtoull(change.c_str() + 1, nullptr, 10));
  }
  return change;
}

// Options "--name value" after the positional arguments.
bool Options(const Args& a, size_t from, KvMap* opts, const std::vector<std::string>& flags = {}) {
  for (size_t i = from; i < a.size(); ++i) {
    if (a[i].rfind("--", 0) != 0) return false;
    std::string name = a[i].substr(2);
    bool isFlag = std::find(flags.begin(), flags.end(), name) != flags.end();
    if (isFlag) {
      (*opts)[name] = "1";
    } else if (i + 1 < a.size() && ValidValue(a[i + 1])) {
      (*opts)[name] = a[++i];
    } else {
      return false;
    }
  }
  return true;
}

bool Denied(const std::string& mac12) {
  std::istringstream in(ReadText(StatePath("wifi/deny")).value_or(""));
  std::string line;
  while (std::getline(in, line)) {
    if (PlainMac(line) == mac12) return true;
  }
  return false;
}

// ip (or bridge) in the router's network namespace: here, or through the lab.
int RouterTool(Args argv) {
  return RouterNetCommand(argv) == 0 ? 0 : 1;
}

// Station keys of a station file and the options that set them.
const std::pair<const char*, const char*> kStationOptions[] = {
    {"rssi", "rssi"},         {"snr", "snr"},         {"tx-bytes", "tx_bytes"},
    {"rx-bytes", "rx_bytes"}, {"tx-pkts", "tx_pkts"}, {"rx-pkts", "rx_pkts"},
    {"tx-rate", "tx_rate"},   {"rx-rate", "rx_rate"}, {"link", "link"},
    {"expired", "expired"}};

int StationEdit(const std::string& op, const std::string& ifname, const std::string& macText,
                const KvMap& opts) {
  std::string mac = PlainMac(macText);
  if (!IsWlanIf(ifname) || mac.empty()) return Bad("sta add|set|del IF MAC [options]");
  StateLock lock;
  std::string path = WifiDir(ifname) + "/stations/" + mac;
  if (op == "del") {
    RemoveTree(path);
  } else {
    if (op == "add" && Denied(mac) && !opts.count("force")) {
      Err("zunsim sta: " + macText + " is on the deny list\n");
      return 1;
    }
    if (op == "set" && !Exists(path)) return 1;
    KvMap s = opts.count("reset") ? KvMap{} : ReadKv(path);
    for (const auto& [opt, key] : kStationOptions) {
      auto it = opts.find(opt);
      if (it != opts.end()) s[key] = Apply(s[key], it->second);
    }
    WriteKv(path, s);
  }
  RenderWlanFiles();
  return 0;
}

}  // namespace

int CmdWifi(const Args& a) {
  if (a.empty() || !IsWlanIf(a[0]))
    return Bad("wifi IF [--enable|--disable] [--mib N=V] [--stats K=V|K=+N]");
  StateLock lock;
  std::string dir = WifiDir(a[0]);
  KvMap stats = ReadKv(dir + "/stats");
  for (size_t i = 1; i < a.size(); ++i) {
    if (a[i] == "--enable" || a[i] == "--disable") {
      WriteText(dir + "/enabled", a[i] == "--enable" ? "1\n" : "0\n");
      RouterTool({"ip", "link", "set", a[0], a[i] == "--enable" ? "up" : "down"});
    } else if ((a[i] == "--mib" || a[i] == "--stats") && i + 1 < a.size()) {
      const std::string& kv = a[++i];
      size_t eq = kv.find('=');
      if (eq == std::string::npos || eq == 0) return Bad("wifi IF --mib NAME=VALUE");
      if (a[i - 1] == "--mib") {
        if (!WriteMib(a[0], kv.substr(0, eq), kv.substr(eq + 1), true)) return 1;
      } else {
        stats[kv.substr(0, eq)] = Apply(stats[kv.substr(0, eq)], kv.substr(eq + 1));
      }
    } else {
      return Bad("wifi IF [--enable|--disable] [--mib N=V] [--stats K=V|K=+N]");
    }
  }
  WriteKv(dir + "/stats", stats);
  RenderWlanFiles();
  return 0;
}

// Far ends of the router's veths: "p-IF" in a netns-exec namespace, "r-IF" in the lab's world.
int CableState(const std::vector<std::string>& ifnames, const std::string& state) {
  int rc = 0;
  for (const auto& ifname : ifnames) {
    if (InRouterNetns() && !LabUp()) {
      rc |= RouterTool({"ip", "link", "set", "p-" + ifname, state});
    } else if (LabUp()) {
      rc |= WorldCommand({"ip", "link", "set", "r-" + ifname, state}) == 0 ? 0 : 1;
    } else {
      Err("zunsim: needs the router namespace or the lab\n");
      return kOutsideLabExit;
    }
  }
  return rc;
}

int CmdRadio(const Args& a) {
  if (a.size() == 2 && a[0] == "--channel") return SetRadioChannel(std::atoi(a[1].c_str())) ? 0 : 1;
  if (a.size() == 1 && (a[0] == "up" || a[0] == "down")) {
    return CableState({"wlan0", "wlan0-vap0", "wlan0-vap1", "wlan0-vap2"}, a[0]);
  }
  return Bad("radio --channel N | radio up|down");
}

int CmdWan(const Args& a) {
  if (a.size() == 1 && (a[0] == "up" || a[0] == "down")) return CableState({"nas0_0"}, a[0]);
  return Bad("wan up|down");
}

// Lab names: resolved by ping/traceroute and, in the lab, by the C library's hosts file.
int CmdHost(const Args& a) {
  if (a.size() != 3 || a[0] != "add" || a[1].empty() || a[2].empty() || !ValidValue(a[1]) ||
      a[1].find(' ') != std::string::npos || a[2].find(' ') != std::string::npos) {
    return Bad("host add NAME ADDR");
  }
  StateLock lock;
  AppendText(StatePath("net/hosts"), a[1] + " " + a[2] + "\n");
  // The lab's /etc/hosts is bind-mounted: edit in place, keep the inode.
  if (Exists(P("/sim/run/hosts"))) AppendText(P("/sim/run/hosts"), a[2] + " " + a[1] + "\n");
  return 0;
}

int CmdScan(const Args& a) {
  KvMap opts;
  if (!Options(a, 0, &opts)) return Bad("scan [--busy N] [--polls N]");
  StateLock lock;
  KvMap radio = ReadKv(StatePath("wifi/radio"));
  if (opts.count("busy")) radio["scan.busy"] = opts["busy"];
  if (opts.count("polls")) radio["scan.polls"] = opts["polls"];
  radio.erase("scan.busy_left");
  return WriteKv(StatePath("wifi/radio"), radio) ? 0 : 1;
}

int CmdAcs(const Args& a) {
  if (a.size() != 2 || a[0] != "--result") return Bad("acs --result N");
  StateLock lock;
  KvMap radio = ReadKv(StatePath("wifi/radio"));
  radio["acs.result"] = a[1];
  return WriteKv(StatePath("wifi/radio"), radio) ? 0 : 1;
}

int CmdSta(const Args& a) {
  KvMap opts;
  if (a.size() < 3 || !Options(a, 3, &opts, {"reset", "force"})) {
    return Bad(
        "sta add|set|del IF MAC [--rssi N --snr N --tx-bytes N --rx-bytes N --tx-pkts N "
        "--rx-pkts N --tx-rate T --rx-rate T --link S --expired N] [--reset] [--force]");
  }
  if (a[0] != "add" && a[0] != "set" && a[0] != "del") return Bad("sta add|set|del ...");
  return StationEdit(a[0], a[1], a[2], opts);
}

int CmdAp(const Args& a) {
  if (a.size() == 1 && a[0] == "clear") return WriteNeighbourAps({}) ? 0 : 1;
  StateLock lock;
  std::vector<NeighbourAp> aps = ReadNeighbourAps();
  if (a.size() == 2 && a[0] == "del") {
    std::string mac = PlainMac(a[1]);
    std::erase_if(aps, [&](const NeighbourAp& ap) { return ap.bssid == mac; });
    return WriteNeighbourAps(aps) ? 0 : 1;
  }
  KvMap opts;
  if (a.size() < 2 || a[0] != "add" || PlainMac(a[1]).empty() || !Options(a, 2, &opts)) {
    return Bad(
        "ap add BSSID --ssid S --channel N --signal N [--beacon N --dtim N --type N] | "
        "ap del BSSID | ap clear");
  }
  NeighbourAp ap;
  ap.bssid = PlainMac(a[1]);
  ap.ssid = opts["ssid"];
  if (ap.ssid.find('\t') != std::string::npos) return 1;
  if (opts.count("channel")) ap.channel = std::atoi(opts["channel"].c_str());
  if (opts.count("signal")) ap.signal = std::atoi(opts["signal"].c_str());
  if (opts.count("beacon")) ap.beacon = std::atoi(opts["beacon"].c_str());
  if (opts.count("dtim")) ap.dtim = std::atoi(opts["dtim"].c_str());
  if (opts.count("type")) ap.type = std::atoi(opts["type"].c_str());
  std::erase_if(aps, [&](const NeighbourAp& x) { return x.bssid == ap.bssid; });
  aps.push_back(ap);
  return WriteNeighbourAps(aps) ? 0 : 1;
}

int CmdTraffic(const Args& a) {
  KvMap opts;
  auto usage = [] {
    return Bad("traffic host MAC|port 0|1|wan|sta IF MAC|wlan IF [--rx N|+N] [--tx N|+N]");
  };
  if (a.empty()) return usage();
  size_t optsFrom = a[0] == "wan" ? 1 : (a[0] == "sta" ? 3 : 2);
  if (a.size() < optsFrom || !Options(a, optsFrom, &opts)) return usage();
  StateLock lock;
  auto edit = [&](const std::string& path, const std::string& rxKey, const std::string& txKey) {
    KvMap kv = ReadKv(path);
    if (opts.count("rx")) kv[rxKey] = Apply(kv[rxKey], opts["rx"]);
    if (opts.count("tx")) kv[txKey] = Apply(kv[txKey], opts["tx"]);
    return WriteKv(path, kv) ? 0 : 1;
  };
  if (a[0] == "host") {
    std::string mac = ColonMac(PlainMac(a[1]));
    if (mac.empty()) return usage();
    return edit(StatePath("rtk/hosttraffic"), mac + ".rx", mac + ".tx");
  }
  if (a[0] == "port" && (a[1] == "0" || a[1] == "1")) {
    return edit(StatePath("rtk/ports"), a[1] + ".rx", a[1] + ".tx");
  }
  if (a[0] == "wan") return edit(StatePath("rtk/wan"), "rx", "tx");
  int rc = 1;
  if (a[0] == "sta" && IsWlanIf(a[1]) && !PlainMac(a[2]).empty()) {
    std::string path = WifiDir(a[1]) + "/stations/" + PlainMac(a[2]);
    if (!Exists(path)) return 1;
    rc = edit(path, "rx_bytes", "tx_bytes");
  } else if (a[0] == "wlan" && IsWlanIf(a[1])) {
    rc = edit(WifiDir(a[1]) + "/stats", "rx_bytes", "tx_bytes");
  } else {
    return usage();
  }
  RenderWlanFiles();
  return rc;
}

int CmdPon(const Args& a) {
  static const std::pair<const char*, const char*> kNames[] = {
      {"vendor", "0"}, {"serial", "1"}, {"temperature", "2"}, {"voltage", "3"},
      {"bias", "4"},   {"tx", "5"},     {"rx", "6"}};
  StateLock lock;
  KvMap pon = ReadKv(StatePath("rtk/pon"));
  for (const auto& kv : a) {
    size_t eq = kv.find('=');
    if (eq == std::string::npos)
      return Bad("pon K=TEXT... (K: 0..6 or vendor serial temperature voltage bias tx rx)");
    std::string key = kv.substr(0, eq);
    for (const auto& [name, type] : kNames) {
      if (key == name) key = type;
    }
    if (key.size() != 1 || key[0] < '0' || key[0] > '6') return Bad("pon K=TEXT...");
    pon[key] = kv.substr(eq + 1);
  }
  return WriteKv(StatePath("rtk/pon"), pon) ? 0 : 1;
}

int CmdSys(const Args& a) {
  StateLock lock;
  KvMap sys = ReadKv(StatePath("sys"));
  for (const auto& kv : a) {
    size_t eq = kv.find('=');
    if (eq == std::string::npos || eq == 0) return Bad("sys KEY=VALUE...");
    sys[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  WriteKv(StatePath("sys"), sys);
  RenderSystemFiles();
  return 0;
}

// LAN clients. Without the lab a client is "light": the router's neighbour entry and a static
// bridge entry on its port (enough for client tracking and telemetry).
int CmdClient(const Args& a) {
  auto usage = [] {
    return Bad(
        "client add NAME --mac M --ip A --port P [--hostname H] [--fp DEV,BRAND,OS,MODEL] "
        "[--static] [--light] [--no-assoc] | client del NAME");
  };
  if (a.size() < 2) return usage();
  const std::string& name = a[1];
  std::string path = StatePath("net/clients/" + name);
  if (name.empty() || name.find('/') != std::string::npos) return usage();
  if (a[0] == "del") {
    KvMap c = ReadKv(path);
    if (c.empty()) return 1;
    RouterTool({"ip", "neigh", "del", c["ip"], "dev", "br0"});
    RouterTool({"bridge", "fdb", "del", c["mac"], "dev", c["port"], "master"});
    if (c["light"] != "1") WorldCommand({"ip", "netns", "del", "cl-" + name});
    if (IsWlanIf(c["port"])) StationEdit("del", c["port"], c["mac"], {});
    StateLock lock;
    RemoveTree(path);
  } else if (a[0] == "add") {
    KvMap opts;
    if (!Options(a, 2, &opts, {"static", "light", "no-assoc"})) return usage();
    std::string mac = ColonMac(PlainMac(opts["mac"]));
    std::string port = opts["port"];
    if (mac.empty() || opts["ip"].empty() || port.empty()) return usage();
    KvMap c = {{"mac", mac},
               {"ip", opts["ip"]},
               {"port", port},
               {"hostname", opts["hostname"]},
               {"fp", opts.count("fp") ? opts["fp"] : "0,0,0,0"},
               {"static", opts.count("static") ? "1" : "0"},
               {"light", opts.count("light") || !LabUp() ? "1" : "0"}};
    {
      StateLock lock;
      WriteKv(path, c);
    }
    if (IsWlanIf(port) && !opts.count("no-assoc")) StationEdit("add", port, mac, {{"force", "1"}});
    if (c["light"] == "1") {
      RouterTool(
          {"ip", "neigh", "replace", c["ip"], "lladdr", mac, "dev", "br0", "nud", "reachable"});
      RouterTool({"bridge", "fdb", "replace", mac, "dev", port, "master", "static"});
    } else if (LabAddClient(name) != 0) {
      Err("zunsim client: cannot create the client's namespace\n");
      return 1;
    }
  } else {
    return usage();
  }
  // Router files derived from the client list: /tmp/hosts, leases and the platform ARP table.
  StateLock lock;
  std::string hosts, leases, arp;
  for (const auto& n : ListDir(StatePath("net/clients"))) {
    if (n.find('.') != std::string::npos) continue;
    KvMap c = ReadKv(StatePath("net/clients/" + n));
    std::string fp = c["fp"];
    std::replace(fp.begin(), fp.end(), ',', ' ');
    if (!c["hostname"].empty()) hosts += c["ip"] + " " + c["mac"] + " " + c["hostname"] + "\n";
    leases += "0 " + c["mac"] + " " + c["ip"] + " " +
              (c["hostname"].empty() ? "*" : c["hostname"]) + " *\n";
    arp += c["ip"] + " " + c["mac"] + " " + (c["static"] == "1" ? "-1" : "86400") + " " + fp + "\n";
  }
  WriteText(StatePath("net/tmp_hosts"), hosts);
  WriteText(StatePath("net/leases"), leases);
  WriteText(P("/tmp/hosts"), hosts);
  WriteText(P("/tmp/dnsmasq.leases"), leases);
  WriteText(StatePath("rtk/arp"), arp);
  return 0;
}

int CmdNeigh(const Args& a) {
  if (a.size() != 3 || a[1] != "--state" ||
      (a[2] != "reachable" && a[2] != "stale" && a[2] != "permanent")) {
    return Bad("neigh IP --state reachable|stale|permanent");
  }
  if (!InRouterNetns() && !LabUp()) {
    Err("zunsim neigh: needs the router namespace\n");
    return kOutsideLabExit;
  }
  std::string mac;
  for (const auto& n : ListDir(StatePath("net/clients"))) {
    KvMap c = ReadKv(StatePath("net/clients/" + n));
    if (c["ip"] == a[0]) mac = c["mac"];
  }
  if (mac.empty()) return 1;
  return RouterTool({"ip", "neigh", "replace", a[0], "lladdr", mac, "dev", "br0", "nud", a[2]});
}

int CmdPort(const Args& a) {
  if (a.size() != 2 || (a[0] != "eth0.2" && a[0] != "eth0.3") || (a[1] != "up" && a[1] != "down")) {
    return Bad("port eth0.2|eth0.3 up|down");
  }
  // The cable is the far end of the veth: its state is the port's carrier.
  if (InRouterNetns()) return RouterTool({"ip", "link", "set", "p-" + a[0], a[1]});
  if (LabUp()) return WorldCommand({"ip", "link", "set", "r-" + a[0], a[1]}) == 0 ? 0 : 1;
  Err("zunsim port: needs the router namespace\n");
  return kOutsideLabExit;
}

int CmdMkimage(const Args& a) {
  KvMap opts;
  if (a.empty() || !Options(a, 1, &opts, {"flash-fail", "boot-fail"}) || opts["version"].empty()) {
    return Bad("mkimage OUT --version V [--fwgroup G] [--size BYTES] [--flash-fail] [--boot-fail]");
  }
  TarMembers m;
  m["version"] = opts["version"] + "\n";
  m["fwgroup"] = (opts.count("fwgroup") ? opts["fwgroup"] : std::string("ZSIM-GW1-A")) + "\n";
  if (opts.count("flash-fail")) m["sim.flash"] = "fail\n";
  if (opts.count("boot-fail")) m["sim.boot"] = "fail\n";
  m["rootfs"] = "";
  size_t want = opts.count("size") ? std::strtoull(opts["size"].c_str(), nullptr, 10) : 65536;
  size_t base = MakeTar(m).size();
  if (want > base + 1024) m["rootfs"] = std::string(want - base - 512, 'R');
  std::string image = MakeTar(m);
  if (image.size() < want) image.append(want - image.size(), '\0');
  if (!WriteText(a[0], image)) return 1;
  Out(DigestHex(image, "MD5") + " " + DigestHex(image, "SHA224") + " " +
      DigestHex(image, "SHA256") + " " + std::to_string(image.size()) + "\n");
  return 0;
}

int CmdSyslog(const Args& a) {
  if (a.size() != 1) return Bad("syslog TEXT");
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string path = P("/dev/log");
  if (fd < 0 || path.size() >= sizeof addr.sun_path) return 1;
  std::memcpy(addr.sun_path, path.c_str(), path.size());
  ssize_t n =
      sendto(fd, a[0].data(), a[0].size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  close(fd);
  return n == static_cast<ssize_t>(a[0].size()) ? 0 : 1;
}

}  // namespace zsim
