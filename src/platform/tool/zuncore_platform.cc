// zuncore-platform: reads the router through the agent's own platform table, for the demo and
// for developers checking a router by hand.
//   zuncore-platform clients [MAX]   the LAN clients client tracking reports, one per call
//   zuncore-platform wlan            the Wi-Fi interfaces the agent knows
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/device_ops.h"
#include "utils/log.h"

namespace {

constexpr int kDefaultMaxClients = 64;

int ListClients(const DeviceOps& ops, int max) {
  for (int i = 0; i < max; ++i) {
    ClientRecord r{};
    if (ops.GetClientUpdate(&r) != 0) {
      std::fprintf(stderr, "zuncore-platform: client tracking failed\n");
      return 1;
    }
    if (r.mac[0] == '\0') return 0;  // nothing new since the last call
    std::printf("client %-15s %s host:%s port:%s\n", r.ip, r.mac, r.hostName, r.ifname);
  }
  return 0;
}

int ListWlan() {
  WlanInfoEntry table[kWlanInfoCount];
  CopyWlanInfo(table);
  for (const auto& e : table) {
    if (!e.active || e.ifname[0] == '\0') continue;
    std::printf("wlan %-12s ssid:%s channel:%u bssid:%s\n", e.ifname, e.ssid, e.channel, e.bssid);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string what = argc > 1 ? argv[1] : "";
  LogLevelSet(LL_CRIT);  // the tool prints its own lines; the backend's chatter stays quiet
  if (InitDeviceOps(&RouterDeviceOps) != 0) {
    std::fprintf(stderr, "zuncore-platform: platform table not available\n");
    return 1;
  }
  for (int i = 0; i < kWlanInfoCount; ++i) {
    if (RefreshWlanInfoEntry(i) != 0) std::fprintf(stderr, "zuncore-platform: wlan %d unread\n", i);
  }
  if (what == "clients")
    return ListClients(RouterDeviceOps, argc > 2 ? std::atoi(argv[2]) : kDefaultMaxClients);
  if (what == "wlan") return ListWlan();
  std::fprintf(stderr, "usage: zuncore-platform clients [MAX] | wlan\n");
  return 2;
}
