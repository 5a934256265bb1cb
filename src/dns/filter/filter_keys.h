// Settings-store keys and subjects the filtering module reads.
#pragma once

namespace zc::filterkeys {
inline constexpr const char* kDnsSubject = "nats.publishSubject.dns";
inline constexpr const char* kDnsMetricsSubject = "nats.publishSubject.dnsMetrics";
inline constexpr const char* kDnsMetricsInterval = "publishIntervalsInSeconds.dnsMetrics";
inline constexpr const char* kDeviceMac = "device_mac_addr";
inline constexpr const char* kLogicalLocation = "logicalLocation";
inline constexpr const char* kSubscriberId = "subscriberId";
inline constexpr const char* kLoopbackIpv4 = "loopback_ipv4";
// Environment setting, off by default (lookups loop back on kLoopbackSubject). "cloud": the built
// request goes to the cloud's dns subject with the inbox as reply subject.
inline constexpr const char* kEdgeLookupsEnv = "ZUNCORE_EDGE_LOOKUPS";
// The loop-back subject of lookup answers.
inline constexpr const char* kLoopbackSubject = "nats.kelp.demo";
}  // namespace zc::filterkeys
