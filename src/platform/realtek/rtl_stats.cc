// Statistics: slots GetInterfaceStats, GetSystemStats, GetPONStats, GetEthStats.
// net/if.h must come before the kernel headers.
#include <net/if.h>

#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/realtek/driver_request.h"
#include "platform/realtek/neigh_parse.h"
#include "platform/realtek/rtk_api.h"
#include "platform/realtek/rtl8192_single_band.h"
#include "platform/realtek/rtl_internal.h"
#include "platform/realtek/stats_parse.h"
#include "platform/realtek/wlan_parse.h"
#include "utils/exitlog.h"
#include "utils/files.h"
#include "utils/log.h"
#include "utils/paths.h"

namespace {

constexpr const char* kLanPortNames[kEthPortCount] = {"eth0.2", "eth0.3"};
constexpr uint32_t kCpuSpikePercent = 75;
constexpr int kCpuSpikeLimit = 3;

std::mutex gCpuMutex;
rtl::CpuSample gPreviousCpu;
int gCpuSpikes = 0;

uint32_t CpuCount() {
  static const uint32_t count = [] {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    uint32_t c = n > 0 ? static_cast<uint32_t>(n) : 1;
    LogOut(LL_INFO, "number of cpu %u", c);
    return c;
  }();
  return count;
}

uint32_t CpuUsage() {
  auto text = rtl::ReadRouterFile("/proc/stat", 4096);
  rtl::CpuSample now;
  if (!text || !rtl::ParseCpuLine(*text, &now)) {
    LogOut(LL_ERR, "%s: getCpuTotal Failed to open file\n", "Rtl8192GetCpuUsage");
    return 0;
  }
  std::lock_guard lock(gCpuMutex);
  uint32_t percent = rtl::CpuPercent(gPreviousCpu, now);
  gPreviousCpu = now;
  gCpuSpikes = percent >= kCpuSpikePercent ? gCpuSpikes + 1 : 0;
  if (gCpuSpikes >= kCpuSpikeLimit) {
    ExitLog("Rtl8192GetCpuUsage: CPU usage is above 75 percent for 3 mins. Exiting zuncore");
  }
  return percent;
}

float PonReading(int type, char (&text)[RTK_TRANSCEIVER_TEXT_LEN]) {
  rtk_transceiver_data_t data{};
  text[0] = '\0';
  if (rtk_ponmac_transceiver_get(type, &data) != 0 || _get_data_by_type(type, &data, text) != 0) {
    text[0] = '\0';
  }
  text[RTK_TRANSCEIVER_TEXT_LEN - 1] = '\0';
  return static_cast<float>(std::atof(text));
}

float PonPower(int type, const char* infinityMessage) {
  char text[RTK_TRANSCEIVER_TEXT_LEN];
  float v = PonReading(type, text);
  if (std::strstr(text, "Inf") || std::strstr(text, "inf") || std::strstr(text, "INF") ||
      !std::isfinite(v)) {
    LogOut(LL_ERR, "%s", infinityMessage);
    return 0;
  }
  return v;
}

// Link state and duplex of one LAN port.
void PortLink(const char* name, EthPortRecord* port) {
  auto carrier = rtl::ReadRouterFile(std::string("/sys/class/net/") + name + "/carrier", 16);
  if (!carrier) {
    LogOut(LL_DEBUG, "Error: cannot open /sys/class/net/%s/carrier\n", name);
    return;
  }
  std::string v = rtl::Trim(*carrier);
  if (v == "0") {
    port->linkState = 1;
  } else if (v == "1") {
    port->linkState = 2;
    ethtool_cmd cmd{};
    cmd.cmd = ETHTOOL_GSET;
    ifreq ifr{};
    CopyField(ifr.ifr_name, IFNAMSIZ, name);
    ifr.ifr_data = reinterpret_cast<char*>(&cmd);
    if (rtl::DriverRequest(SIOCETHTOOL, &ifr) == 0) {
      port->duplex = cmd.duplex == DUPLEX_HALF ? 2 : cmd.duplex == DUPLEX_FULL ? 3 : 0;
    }
  }
}

}  // namespace

int Rtl8192GetInterfaceStats(uint8_t* count, InterfaceStatsRecord* records) {
  if (!count || !records) return -1;
  *count = 0;
  auto add = [&](uint32_t type, const char* name, uint64_t rx, uint64_t tx) {
    if (*count >= kMaxInterfaceStats) {
      LogOut(LL_WARN, "%s: no room for %s", "Rtl8192GetInterfaceStats", name);
      return;
    }
    InterfaceStatsRecord& r = records[(*count)++];
    r = InterfaceStatsRecord{};
    r.connType = type;
    CopyField(r.connName, name);
    r.rxBytes = rx;
    r.txBytes = tx;
    LogOut(LL_DEBUG, "%s: %s iface_name:%s iftype:%u rx:%llu tx:%llu", "Rtl8192GetInterfaceStats",
           "interface", name, type, static_cast<unsigned long long>(rx),
           static_cast<unsigned long long>(tx));
  };
  for (int port = 0; port < static_cast<int>(kEthPortCount); ++port) {
    rtk_rg_port_mib_info_t mib{};
    if (rtk_rg_portMibInfo_get(port, &mib) == 0) {
      add(1, kLanPortNames[port], mib.ifInOctets, mib.ifOutOctets);
    }
  }
  WlanInfoEntry wlan[kWlanInfoCount];
  CopyWlanInfo(wlan);
  for (const auto& e : wlan) {
    if (!rtl::IsSafeIfName(e.ifname)) continue;
    auto text = rtl::ReadRouterFile(std::string("/proc/") + e.ifname + "/stats");
    if (!text) continue;
    uint32_t type = e.band == 1 ? 3 : e.band == 2 ? 4 : 0;
    add(type, e.ifname, rtl::StatsValue(*text, "rx_bytes"), rtl::StatsValue(*text, "tx_bytes"));
  }
  uint64_t wanRx = 0, wanTx = 0;
  rtk_stat_port_get(2, 0, &wanRx);
  rtk_stat_port_get(2, 5, &wanTx);
  add(2, rtl::InternetWanIfName().c_str(), wanRx, wanTx);
  return 0;
}

int Rtl8192GetSystemStats(SystemStatsRecord* stats) {
  if (!stats) return -1;
  *stats = SystemStatsRecord{};
  if (auto up = rtl::ReadRouterFile("/proc/uptime", 128)) stats->uptime = rtl::ParseUptime(*up);
  if (auto mem = rtl::ReadRouterFile("/proc/meminfo", 4095)) {
    rtl::MemInfo info = rtl::ParseMemInfo(*mem);
    stats->memTotal = info.total;
    stats->memFree = info.free;
  }
  stats->cpuCount = CpuCount();
  stats->cpuPercentage = CpuUsage();
  return 0;
}

int Rtl8192GetPONStats(PonStatsRecord* stats) {
  if (!stats) return -1;
  *stats = PonStatsRecord{};
  char text[RTK_TRANSCEIVER_TEXT_LEN];
  PonReading(RTK_TRANSCEIVER_VENDOR_NAME, text);
  CopyField(stats->vendorName, text);
  PonReading(RTK_TRANSCEIVER_SERIAL, text);
  CopyField(stats->serialNumber, text);
  CopyField(stats->partNumber, "NA");
  stats->temperature = PonReading(RTK_TRANSCEIVER_TEMPERATURE, text);
  stats->voltage = PonReading(RTK_TRANSCEIVER_VOLTAGE, text);
  stats->biasCurrent = PonReading(RTK_TRANSCEIVER_BIAS_CURRENT, text);
  stats->txPower = PonPower(RTK_TRANSCEIVER_TX_POWER,
                            "Rtl8192GetPONStats: Got Tx Power as infinity from the driver");
  stats->rxPower = PonPower(RTK_TRANSCEIVER_RX_POWER,
                            "Rtl8192GetPONStats: Got Rx Power as infinity from the driver");
  return 0;
}

int Rtl8192GetEthStats(uint8_t* count, EthPortRecord* ports) {
  if (!count || !ports) return -1;
  *count = kEthPortCount;
  ExecResult neigh = rtl::RunTool({"ip", "neighbor", "show"});
  bool snapshotOk = zc::WriteFileAtomic(zc::RootPath("/tmp/etharp.tmp"), neigh.output) == 0;
  std::vector<rtl::NeighState> states = rtl::ParseIpNeighbor(neigh.output);
  int rc = 0;
  for (size_t p = 0; p < kEthPortCount; ++p) {
    EthPortRecord& port = ports[p];
    port = EthPortRecord{};
    PortLink(kLanPortNames[p], &port);
    if (!snapshotOk) {
      LogOut(LL_ERR, "%s: open /tmp/etharp.tmp fail", "Rtl8192GetEthClients");
      rc = -1;
      continue;
    }
    EthClientRecord** tail = &port.clients;
    for (const auto& c : rtl::ClientsOnPort(kLanPortNames[p])) {
      auto state = rtl::NeighStateOf(states, c.ip);
      if (!state || *state == "STALE") continue;
      auto* e = static_cast<EthClientRecord*>(std::calloc(1, sizeof(EthClientRecord)));
      if (!e) {
        LogOut(LL_ERR, "%s", "Failed to allocate memory for eth client");
        rc = -1;
        break;
      }
      CopyField(e->mac, c.mac);
      CopyField(e->ip, c.ip);
      CopyField(e->ifname, c.ifname);
      *tail = e;
      tail = &e->next;
      LogOut(LL_DEBUG,
             "Eth clients index:%u  mac:%s  ip:%s  hostname:%s iface_name:%s conntype:%s "
             "iptype:%s",
             port.clientCount, c.mac, c.ip, c.hostName, c.ifname,
             c.connectionType == 2 ? "Guest" : "Regular", c.ipAssignment == 1 ? "Static" : "DHCP");
      ++port.clientCount;
    }
  }
  return rc;
}
