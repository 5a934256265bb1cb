// The two refresh workers: platform readings into the usage stores, once per telemetry pass.
#include <chrono>
#include <string>

#include "platform/device_ops.h"
#include "telemetry/data_usage.h"
#include "utils/log.h"
#include "utils/timescale.h"

namespace {

// Agent seconds: the staleness bound is router time like every other period.
int64_t AgentSeconds() {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now().time_since_epoch())
                .count();
  double scale = zc::TimeScale();
  return static_cast<int64_t>(static_cast<double>(ms) / (scale > 0 ? scale : 1.0) / 1000.0);
}

void ApplyAll(uint8_t count, const DataUsageRecord* records) {
  for (size_t i = 0; i < count && i < kMaxDataUsage; ++i) {
    if (UpdateClientDataUsageEntryInDB(records[i]) != 0) {
      LogOut(LL_ERR, "%s: unusable reading for mac:%s", "GetClientDataUsageWorker", records[i].mac);
    }
  }
}

}  // namespace

int GetClientDataUsageWorker() {
  const char* who = "GetClientDataUsageWorker";
  ClientDataUsageDB().BeginPass(AgentSeconds());
  DataUsageRecord records[kMaxDataUsage];
  for (int index = 0; index < kWlanInfoCount; ++index) {
    auto entry = GetWlanInfoEntry(index);
    if (!entry || !entry->ifname[0]) continue;
    uint8_t count = 0;
    records[0] = DataUsageRecord{};
    if (RouterDeviceOps.GetWlanHostDataUsageStats(entry->ifname, &count, records) != 0) {
      LogOut(LL_ERR, "%s: RouterDeviceOps.GetWlanHostDataUsageStats Failed", who);
      return -1;
    }
    ApplyAll(count, records);
  }
  uint8_t count = 0;
  records[0] = DataUsageRecord{};
  if (RouterDeviceOps.GetEthHostDataUsageStats(&count, records) != 0) {
    LogOut(LL_ERR, "%s: RouterDeviceOps.GetEthHostDataUsageStats Failed", who);
    return -1;
  }
  ApplyAll(count, records);
  return 0;
}

int GetIfDataUsageWorker() {
  const char* who = "GetIfDataUsageWorker";
  IfDataUsageDB().BeginPass(AgentSeconds());
  InterfaceStatsRecord records[kMaxInterfaceStats] = {};
  uint8_t count = 0;
  if (RouterDeviceOps.GetInterfaceStats(&count, records) != 0) {
    LogOut(LL_ERR, "%s: RouterDeviceOps.GetInterfaceStats Failed", who);
    return -1;
  }
  for (size_t i = 0; i < count && i < kMaxInterfaceStats; ++i) {
    if (UpdateIfDataUsageEntryInDB(records[i]) != 0) {
      LogOut(LL_ERR, "%s: unusable reading for interface:%s", who, records[i].connName);
    }
  }
  return 0;
}
