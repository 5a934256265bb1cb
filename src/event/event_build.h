// The event messages and change detection, as pure functions of platform records: what the event
// thread sends and when, testable without a router or a cloud.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "event/report_common.h"
#include "platform/device_ops.h"

namespace zc::event {

// The last Wi-Fi state sent for one WLAN index.
struct WifiBaseline {
  std::string ifname;
  std::string ssid;
  std::string password;
  bool active = false;
  bool operator==(const WifiBaseline&) const = default;
};
using WifiBaselines = std::array<WifiBaseline, kWlanInfoCount>;

WifiBaseline BaselineOf(const WlanInfoEntry& entry);

// Change detection against the last state sent (exact comparison of what the events carry).
bool WanChanged(const WanStatusRecord& sent, const WanStatusRecord& now);
bool LanChanged(const LanConfigRecord& sent, const LanConfigRecord& now);

// The public address the cloud's NATS server sees: an IPv4 text goes to publicIpv4, an IPv6 one
// to publicIpv6, the other (or both, with no usable address) becomes "NA".
void ApplyPublicIp(WanStatusRecord& wan, const std::optional<std::string>& clientIp);

// One packed APEvent each.
std::vector<uint8_t> PackClientEvent(const report::Identity& id, const ClientRecord& client);
std::vector<uint8_t> PackWanEvent(const report::Identity& id, const WanStatusRecord& wan,
                                  const std::vector<WanInterfaceRecord>& interfaces);
std::vector<uint8_t> PackWlanEvent(const report::Identity& id, const WifiBaselines& wifi);
std::vector<uint8_t> PackLanEvent(const report::Identity& id, const LanConfigRecord& lan);
std::vector<uint8_t> PackReconcile(const report::Identity& id, const PlatformInfoRecord& platform,
                                   const WanStatusRecord& wan,
                                   const std::vector<WanInterfaceRecord>& interfaces,
                                   const WifiBaselines& wifi, const LanConfigRecord& lan);

}  // namespace zc::event
