#include "core/model.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "core/simroot.h"
#include "utils/endpoints.h"

namespace zsim {

KvMap FlashSeed() {
  KvMap f = {
      {"ELAN_MAC_ADDR", kBaseMac},
      {"HW_HWVER", "HWV1.0"},
      {"HW_CWMP_PRODUCTCLASS", "ZSIM-GW1"},
      {"HW_MODEL_NAME", "ZSIM-GW1"},
      {"HW_SERIAL_NO", "ZSIM00000001"},
      {"HW_CWMP_MANUFACTURER", "ZunSim"},
      {"GPON_SN", "ZSIM1234ABCD"},
      {"PON_MODE", "1"},
      {"HW_WLAN0_COUNTRYSTR", "US"},
      {"HW_WLAN1_COUNTRYSTR", "US"},
      {"WLAN_MBSSIB_TBL.0.ssid", "ZunSim-0001"},
      {"WLAN_MBSSIB_TBL.0.wpaPSK", "simpass-0001"},
      {"WLAN_MBSSIB_TBL.1.ssid", "ZunSim-Guest"},
      {"WLAN_MBSSIB_TBL.1.wpaPSK", "guestpass-01"},
      {"WLAN_MBSSIB_TBL.2.ssid", "ZunSim-VAP1"},
      {"WLAN_MBSSIB_TBL.2.wpaPSK", "vap1pass-001"},
      {"WLAN_MBSSIB_TBL.3.ssid", "ZunSim-VAP2"},
      {"WLAN_MBSSIB_TBL.3.wpaPSK", "vap2pass-001"},
      {"AUTO_CHANNEL", "0"},
      {"NTP_IF_TYPE", "0"},
      {"NTP_ENABLED", "1"},
      {"NTP_SERVER_HOST1", zc::kNtpServerPrimary},
      {"NTP_SERVER_HOST2", zc::kNtpServerSecondary},
      {"CWMP_FLAG", "0"},
      {"CWMP_ACS_URL", ""},
      {"CWMP_ACS_USERNAME", ""},
      {"CWMP_ACS_PASSWORD", ""},
      {"CWMP_INFORM_INTERVAL", "300"},
      {"LAN_IP_ADDR", "192.168.1.1"},
      {"LAN_SUBNET", "255.255.255.0"},
      {"LAN_DHCP_POOL_START", "192.168.1.100"},
      {"LAN_DHCP_POOL_END", "192.168.1.200"},
      {"LAN_DHCP_GATEWAY", "192.168.1.1"},
      {"LAN_DHCP_LEASE", "86400"},
      {"LAN_DHCP_DNS_OPT", "0"},
      {"DHCPS_DNS1", "0.0.0.0"},
      {"DHCPS_DNS2", "0.0.0.0"},
      {"DHCPS_DNS3", "0.0.0.0"},
  };
  for (int i = 0; i < 6; ++i) {
    std::string t = "ATM_VC_TBL." + std::to_string(i) + ".";
    bool internet = i == 0;
    f[t + "applicationtype"] = internet ? "2" : "0";
    f[t + "ServiceList"] = internet ? "2" : "0";
    f[t + "ChannelMode"] = internet ? "1" : "0";
    f[t + "ifIndex"] = internet ? "130816" : "65535";
    f[t + "pppUser"] = "";
  }
  return f;
}

KvMap NvSeed() {
  return {{"sw_active", "0"}};
}

KvMap SysSeed() {
  return {{"cpu.busy_percent", "3"}, {"ntp_status", "2"},  {"uptime", "kernel"},
          {"MemTotal", "249856"},    {"MemFree", "98304"}, {"Buffers", "4096"},
          {"Cached", "65536"},       {"Shmem", "1024"},    {"SwapTotal", "0"},
          {"SwapFree", "0"},         {"stat.user", "300"}, {"stat.idle", "9700"}};
}

KvMap PonSeed() {
  return {{"0", "ZSIM-OPTICS"}, {"1", "ZS0000000001"}, {"2", "45.5"},  {"3", "3.30"},
          {"4", "12.0"},        {"5", "2.10"},         {"6", "-18.50"}};
}

KvMap MibSeed(int wlanIndex) {
  KvMap flash = FlashSeed();
  std::string t = "WLAN_MBSSIB_TBL." + std::to_string(wlanIndex) + ".";
  return {{"ssid", "text:" + flash[t + "ssid"]},
          {"passphrase", "text:" + flash[t + "wpaPSK"]},
          {"hiddenAP", "1:0"},
          {"shortGI20M", "1:1"},
          {"shortGI40M", "1:0"},
          {"bcnint", "4:100"},
          {"opmode", "4:16"},
          {"band", "1:11"},
          {"encmode", "1:4"},
          {"psk_enable", "4:2"},
          {"wpa_cipher", "4:0"},
          {"wpa2_cipher", "4:8"},
          {"use40M", "4:0"},
          {"total_max_sta", "4:32"}};
}

const std::vector<std::string>& WlanStatsKeys() {
  static const std::vector<std::string> keys = {
      "tx_packets",    "rx_packets",    "tx_bytes",      "rx_bytes",      "tx_retrys",
      "tx_fails",      "rx_errors",     "tx_ucast_pkts", "rx_ucast_pkts", "tx_mcast_pkts",
      "rx_mcast_pkts", "tx_bcast_pkts", "rx_bcast_pkts", "tx_avarage",    "rx_avarage"};
  return keys;
}

KvMap ReadFlash() {
  return ReadKv(StatePath("flash.db"));
}
bool WriteFlash(const KvMap& flash) {
  return WriteKv(StatePath("flash.db"), flash);
}

std::string FlashValue(const std::string& name, const std::string& fallback) {
  KvMap f = ReadFlash();
  auto it = f.find(name);
  return it == f.end() ? fallback : it->second;
}

std::string MacPlus(const std::string& base12, int n) {
  unsigned long long v = std::strtoull(base12.c_str(), nullptr, 16) + static_cast<unsigned>(n);
  char buf[16];
  std::snprintf(buf, sizeof buf, "%012llx", v & 0xffffffffffffULL);
  return buf;
}

std::string ColonMac(const std::string& mac12, bool upper) {
  std::string out;
  for (size_t i = 0; i < mac12.size(); ++i) {
    if (i && i % 2 == 0) out += ':';
    char c = mac12[i];
    out += static_cast<char>(upper ? std::toupper(static_cast<unsigned char>(c))
                                   : std::tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

std::string PlainMac(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == ':' || c == '-') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
    out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return out.size() == 12 ? out : std::string();
}

std::string WifiDir(const std::string& ifname) {
  return StatePath("wifi/" + ifname);
}

bool IsWlanIf(const std::string& ifname) {
  for (const char* name : kWlanIfs) {
    if (ifname == name) return true;
  }
  return false;
}

namespace {

// Kernel-style /proc/stat: the daemon advances the counters; the file is rendered from them.
std::string RenderStat(const KvMap& sys) {
  auto get = [&](const char* k, long long d) {
    auto it = sys.find(k);
    return it == sys.end() ? d : std::strtoll(it->second.c_str(), nullptr, 10);
  };
  long long user = get("stat.user", 300), nice = 0, system = get("stat.system", 0);
  long long idle = get("stat.idle", 9700);
  char buf[256];
  std::snprintf(buf, sizeof buf,
                "cpu  %lld %lld %lld %lld 0 0 0 0 0 0\ncpu0 %lld %lld %lld %lld 0 0 0 0 0 0\n"
                "intr 0\nctxt 0\nbtime 0\nprocesses 1\nprocs_running 1\nprocs_blocked 0\n",
                user, nice, system, idle, user, nice, system, idle);
  return buf;
}

std::string RenderMeminfo(const KvMap& sys) {
  std::string out;
  for (const char* key :
       {"MemTotal", "MemFree", "Buffers", "Cached", "Shmem", "SwapTotal", "SwapFree"}) {
    auto it = sys.find(key);
    std::string v = it == sys.end() ? "0" : it->second;
    char line[64];
    std::snprintf(line, sizeof line, "%-16s%8s kB\n", (std::string(key) + ":").c_str(), v.c_str());
    out += line;
  }
  return out;
}

const char kCpuinfo[] =
    "system type\t\t: ZSIM RTL9607C\nmachine\t\t\t: ZunSim GW1\nprocessor\t\t: 0\n"
    "cpu model\t\t: MIPS 34Kc V5.5\nBogoMIPS\t\t: 598.01\nwait instruction\t: yes\n"
    "isa\t\t\t: mips1 mips2 mips32r1 mips32r2\n";

std::string RenderStats(const KvMap& stats) {
  std::string out;
  for (const auto& key : WlanStatsKeys()) {
    auto it = stats.find(key);
    out += key + ": " + (it == stats.end() ? "0" : it->second) + "\n";
  }
  return out;
}

std::string RenderStaInfo(const std::string& ifname) {
  std::string dir = WifiDir(ifname) + "/stations";
  std::vector<std::string> macs = ListDir(dir);
  std::string body;
  int n = 0;
  for (const auto& mac : macs) {
    if (mac.find('.') != std::string::npos) continue;  // temporary files
    KvMap s = ReadKv(dir + "/" + mac);
    auto get = [&](const char* k, const char* d) {
      auto it = s.find(k);
      return it == s.end() ? std::string(d) : it->second;
    };
    ++n;
    body += std::to_string(n) + ": stat_info...\n";
    body += "    hwaddr: " + mac + "\n";
    body += "    tx_bytes: " + get("tx_bytes", "0") + "\n";
    body += "    rx_bytes: " + get("rx_bytes", "0") + "\n";
    body += "    tx_pkts2: " + get("tx_pkts", "0") + "\n";
    body += "    rx_pkts: " + get("rx_pkts", "0") + "\n";
    body += "    rssi: " + get("rssi", "60") + "\n";
    body += "    snr: " + get("snr", "30") + "\n";
    body += "    current_tx_rate: " + get("tx_rate", "MCS7 72") + "\n";
    body += "    current_rx_rate: " + get("rx_rate", "54") + "\n";
    long link = std::strtol(get("link", "0").c_str(), nullptr, 10);
    body += "    link_time: " + std::to_string(link / 86400) + " day " +
            std::to_string(link % 86400 / 3600) + " hr " + std::to_string(link % 3600 / 60) +
            " min " + std::to_string(link % 60) + " sec\n";
    body += "    expired_time: " + get("expired", "30000") + "\n";
  }
  return "-- STA info table -- (active: " + std::to_string(n) + ")\n" + body;
}

}  // namespace

void RenderSystemFiles() {
  KvMap sys = ReadKv(StatePath("sys"));
  WriteText(P("/proc/stat"), RenderStat(sys));
  WriteText(P("/proc/meminfo"), RenderMeminfo(sys));
  WriteText(P("/proc/cpuinfo"), kCpuinfo);
  // Uptime comes from the kernel (the lab's time namespace) unless a test pins it.
  auto uptime = sys.find("uptime");
  std::string up = P("/proc/uptime");
  RemoveTree(up);
  if (uptime != sys.end() && uptime->second != "kernel" && !uptime->second.empty()) {
    WriteText(up, uptime->second + ".00 " + uptime->second + ".00\n");
  } else if (symlink("/proc/uptime", up.c_str()) != 0) {
    WriteText(up, "0.00 0.00\n");
  }
}

void RenderWlanFiles() {
  for (const char* ifname : kWlanIfs) {
    std::string procDir = P(std::string("/proc/") + ifname);
    if (Exists(StatePath(std::string("missing.") + ifname))) {
      RemoveTree(procDir);
      continue;
    }
    MakeDirs(procDir);
    WriteText(procDir + "/stats", RenderStats(ReadKv(WifiDir(ifname) + "/stats")));
    WriteText(procDir + "/sta_info", RenderStaInfo(ifname));
  }
}

void RenderAll() {
  StateLock lock;
  RenderSystemFiles();
  RenderWlanFiles();
}

}  // namespace zsim
