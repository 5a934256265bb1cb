// Settings the filtering module reads: the owners' key headers, and its own environment setting
// and loop-back subject.
#pragma once

#include "bstrap/bstrap_keys.h"
#include "signon/signon_keys.h"
#include "utils/identity_keys.h"

// The owners' names, under the names the filter uses.
namespace zc::filterkeys {
inline constexpr const char* kDnsSubject = kKeyPubDns;
inline constexpr const char* kDnsMetricsSubject = kKeyPubDnsMetrics;
inline constexpr const char* kDnsMetricsInterval = kKeyDnsMetricsInterval;
inline constexpr const char* kDeviceMac = kKeyDeviceMacAddr;
inline constexpr const char* kLogicalLocation = kKeyLogicalLocation;
inline constexpr const char* kSubscriberId = kKeySubscriberId;
inline constexpr const char* kLoopbackIpv4 = kKeyLoopbackIpv4;
// Environment setting, off by default (lookups loop back on kLoopbackSubject). "cloud": the built
// request goes to the cloud's dns subject with the edge inbox as reply subject.
inline constexpr const char* kEdgeLookupsEnv = "ZUNCORE_EDGE_LOOKUPS";
// The loop-back subject of lookup answers.
inline constexpr const char* kLoopbackSubject = "nats.kelp.demo";
}  // namespace zc::filterkeys
