#include "telemetry/telemetry.h"

#include <unistd.h>

#include <chrono>
#include <thread>

#include "event/report_common.h"
#include "main/nats/nats_session.h"
#include "telemetry/data_usage.h"
#include "telemetry/telemetry_build.h"
#include "telemetry/url_content_filter.h"
#include "utils/exitlog.h"
#include "utils/files.h"
#include "utils/kvp.h"
#include "utils/log.h"
#include "utils/monitor.h"
#include "utils/paths.h"

namespace {

constexpr const char* kDataUsageFile = "/tmp/zuncoredatausage";

std::atomic<long> gTelemetryIntervalSeconds{zc::report::kDefaultTelemetrySeconds};

// Frees what the platform allocated for one pass (stations, wired clients) on every path.
struct PassOwner {
  zc::telemetry::PassData data;
  ~PassOwner() {
    for (auto& e : data.wlan) FreeWlanStations(&e);
    FreeEthPortClients(data.ports, kEthPortCount);
  }
};

int GatherWlan(zc::telemetry::PassData& p) {
  const char* who = "TelemetryProtoConstruct";
  for (int index = 0; index < kWlanInfoCount; ++index) {
    WlanInfoEntry& e = p.wlan[index];
    if (RouterDeviceOps.GetWlanInfo(index, &e) != 0) {
      LogOut(LL_ERR, ":%s RouterDeviceOps.GetWlanInfo update Fail", who);
      return -1;
    }
    e.stations = nullptr;
    e.stationCount = 0;
    if (RouterDeviceOps.GetWlanSsidTrafficStats(e.ifname, &e) != 0) {
      LogOut(LL_ERR, ":%s RouterDeviceOps.GetWlanSsidTrafficStats update Fail", who);
      return -1;
    }
    uint8_t count = 0;
    if (RouterDeviceOps.GetWlanTotalConnectedSTA(e.ifname, &count) != 0) {
      LogOut(LL_ERR, ":%s RouterDeviceOps.GetWlanTotalConnectedSTA Fail", who);
      return -1;
    }
    // The shared table gets the fresh entry (the event module compares it), without stations.
    StoreWlanInfoEntry(index, e);
    e.stationCount = count;
    if (RouterDeviceOps.GetWlanSTAInfoAll(e.ifname, &e) != 0) {
      LogOut(LL_ERR, ":%s RouterDeviceOps.GetWlanSTAInfoAll update Fail", who);
      return -1;
    }
  }
  return 0;
}

void WriteDataUsageFile(const std::vector<zc::usage::UsageEntry>& clients) {
  std::string text;
  char line[512];
  for (const auto& e : clients) {
    snprintf(line, sizeof line,
             "mac:%s ip:%s iface_name:%s iface_type:%u rxDeltabytes:%llu txDeltabytes:%llu\n",
             e.key.c_str(), e.ip.c_str(), e.connName.c_str(), e.connType,
             static_cast<unsigned long long>(e.deltaTx),
             static_cast<unsigned long long>(e.deltaRx));
    text += line;
  }
  if (zc::WriteFileAtomic(zc::RootPath(kDataUsageFile), text) != 0) {
    LogOut(LL_ERR, "%s: unable to write %s", "TelemetryProtoConstruct", kDataUsageFile);
  }
}

[[noreturn]] void TelemetryThread() {
  const char* who = "TelemetryThread";
  LogOut(LL_INFO, "%s: Entering thread tid:%lu thread-gdb-pid:%d", who,
         static_cast<unsigned long>(gettid()), static_cast<int>(getpid()));
  for (;;) {
    gTelemetryThreadMonitor.Tick();
    LogOut(LL_DEBUG, "%s: TelemetryThread: awake :%u", who, gTelemetryThreadMonitor.count.load());
    GetClientDataUsageWorker();
    GetIfDataUsageWorker();
    TelemetryProtoConstruct();
    SleepCounting(std::chrono::seconds(gTelemetryIntervalSeconds.load()), gTelemetryThreadMonitor);
  }
}

}  // namespace

int TelemetryProtoPublish(const uint8_t* buffer, size_t length) {
  const char* who = "TelemetryProtoPublish";
  if (zc::report::SelfCheckEnabled() &&
      !zc::pb::Unpack<Zun__Telemetry__Telemetry>(buffer, length)) {
    LogOut(LL_ERR, "%s: error in unpacking protobuff telemetry message", who);
    LogOut(LL_ERR, "%s: Invalid TelemetryProto msg", who);
    return -1;
  }
  std::string subject = GetStringKVPOr(zc::report::kTelemetrySubjectKey, "");
  natsStatus s = _natsConnection_Publish(nats_msg, subject.c_str(), buffer,
                                         static_cast<int>(length), {kZunProtoV1});
  if (s != NATS_OK) {
    LogOut(LL_CRIT, "%s: publish failed -%d -%s", who, static_cast<int>(s), natsStatus_GetText(s));
    ExitLog("TelemetryProtoPublish: failed");
  }
  return 0;
}

int TelemetryProtoConstruct() {
  const char* who = "TelemetryProtoConstruct";
  PassOwner owner;
  zc::telemetry::PassData& p = owner.data;
  p.userData = GetStringKVP(zc::report::kUserDataKey);
  if (RouterDeviceOps.GetPONStats(&p.pon) != 0) {
    LogOut(LL_ERR, "%s: RouterDeviceOps.GetPONStats Failed", who);
    return -1;
  }
  if (RouterDeviceOps.GetSystemStats(&p.system) != 0) {
    LogOut(LL_ERR, "%s: RouterDeviceOps.GetSystemStats Failed", who);
    return -1;
  }
  p.interfaces = IfDataUsageDB().Snapshot(zc::usage::kIfSnapshotMax);
  if (GatherWlan(p) != 0) return -1;
  p.clients = ClientDataUsageDB().Snapshot(zc::usage::kClientSnapshotMax);
  WriteDataUsageFile(p.clients);
  if (RouterDeviceOps.GetEthStats(&p.portCount, p.ports) != 0) {
    LogOut(LL_ERR, "%s: RouterDeviceOps.GetEthStats Failed", who);
    return -1;
  }
  p.blocked = zc::contentfilter::Snapshot(zc::telemetry::kMaxFilterStatsPerMessage);
  if (p.blocked.empty())
    LogOut(LL_DEBUG, "%s: List is Empty ", "TelemetryUrlContentFilterConstruct");
  for (size_t i = 0; i < p.blocked.size(); ++i) {
    const UrlContentFilter& b = p.blocked[i];
    LogOut(LL_INFO,
           "UrlContentFilter list[%zu] time:%s mac:%s url:%s reason:%d category_id:%u "
           "app_name:%s",
           i, b.time.c_str(), b.cmac.c_str(), b.url.c_str(), b.reason, b.category_id,
           b.app_name.c_str());
  }
  std::vector<uint8_t> packed = zc::telemetry::PackTelemetry(zc::report::CurrentIdentity(), p);
  LogOut(LL_DEBUG, "%s: message of %zu bytes, %zu clients, %zu blocked lookups", who, packed.size(),
         p.clients.size(), p.blocked.size());
  if (TelemetryProtoPublish(packed.data(), packed.size()) != 0) return -1;
  // Only what this message carried is taken off: deltas and lookups added since stay.
  IfDataUsageDB().Commit(p.interfaces);
  ClientDataUsageDB().Commit(p.clients);
  if (!p.blocked.empty()) zc::contentfilter::RemoveThrough(p.blocked.front().seq);
  return 0;
}

int TelemetryInit(event_base*) {
  const char* who = "TelemetryInit";
  auto subject = GetStringKVP(zc::report::kTelemetrySubjectKey);
  if (!subject || subject->empty()) {
    LogOut(LL_CRIT, "%s: Fail: Topic is not set!!!", who);
    return -1;
  }
  long interval = zc::report::ClampPeriodSeconds(GetStringKVP(zc::report::kTelemetryIntervalKey),
                                                 zc::report::kDefaultTelemetrySeconds);
  gTelemetryIntervalSeconds.store(interval);
  LogOut(LL_INFO, "%s: subject:%s interval:%lds", who, subject->c_str(), interval);
  try {
    std::thread(TelemetryThread).detach();
  } catch (const std::system_error&) {
    LogOut(LL_ERR, "%s: pubThread creation failed", who);
    return -1;
  }
  gTelemetryThreadMonitor.expected.store(true);
  return 0;
}
