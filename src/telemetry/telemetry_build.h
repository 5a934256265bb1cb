// The telemetry message as a pure function of what one pass gathered.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "event/report_common.h"
#include "platform/device_ops.h"
#include "telemetry/data_usage.h"
#include "telemetry/url_content_filter.h"

namespace zc::telemetry {

// Blocked lookups one message carries at most (about 450 bytes each at full field widths, so a
// message stays far below the NATS payload limit); the rest wait for the next message.
inline constexpr size_t kMaxFilterStatsPerMessage = 200;

struct PassData {
  SystemStatsRecord system{};
  PonStatsRecord pon{};
  std::vector<zc::usage::UsageEntry> interfaces;
  std::vector<zc::usage::UsageEntry> clients;
  // The four Wi-Fi entries with their stations (owned by the pass).
  WlanInfoEntry wlan[kWlanInfoCount] = {};
  EthPortRecord ports[kEthPortCount] = {};
  uint8_t portCount = 0;
  std::vector<UrlContentFilter> blocked;
  std::optional<std::string> userData;
};

std::vector<uint8_t> PackTelemetry(const report::Identity& id, const PassData& pass);

}  // namespace zc::telemetry
