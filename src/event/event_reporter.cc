#include "event/event_reporter.h"

#include <cstring>
#include <memory>

#include "utils/log.h"

namespace zc::event {
namespace {

const char* const kThread = "EventThread";

}  // namespace

bool EventReporter::ReadWan(WanStatusRecord& wan, std::vector<WanInterfaceRecord>& interfaces) {
  wan = WanStatusRecord{};
  interfaces.clear();
  if (RouterDeviceOps.EventWanInfoUpdate(&wan) != 0) return false;
  WanInterfaceRecord* raw = nullptr;
  uint8_t count = 0;
  int rc = RouterDeviceOps.GetWanInterfacesInfo(&raw, &count);
  std::unique_ptr<WanInterfaceRecord, CFree> list(raw);
  if (rc != 0) return false;
  if (list) interfaces.assign(list.get(), list.get() + count);
  std::optional<std::string> ip = publicIp_ ? publicIp_() : std::nullopt;
  ApplyPublicIp(wan, ip);
  LogOut(LL_DEBUG, "Public IP : %s is_ipv4:%d is_ipv6:%d", ip ? ip->c_str() : "",
         std::strcmp(wan.publicIpv4, "NA") != 0, std::strcmp(wan.publicIpv6, "NA") != 0);
  return true;
}

bool EventReporter::TryReconcile() {
  bool complete = true;
  PlatformInfoRecord platform{};
  if (RouterDeviceOps.EventPlatformInfoUpdate(&platform) != 0) {
    LogOut(LL_CRIT, "%s:- RouterDeviceOps.EventPlatformInfoUpdate failed", kThread);
    complete = false;
  }
  WanStatusRecord wan{};
  std::vector<WanInterfaceRecord> interfaces;
  if (!ReadWan(wan, interfaces)) {
    LogOut(LL_CRIT,
           "%s:- RouterDeviceOps.EventWanInfoUpdate or RouterDeviceOps.GetWanInterfacesInfo failed",
           kThread);
    complete = false;
  }
  WifiBaselines wifi{};
  for (int index = 0; index < kWlanInfoCount; ++index) {
    if (RefreshWlanInfoEntry(index) != 0) {
      LogOut(LL_CRIT, "%s:- RouterDeviceOps.GetWlanInfo failed", kThread);
      complete = false;
      continue;
    }
    if (auto entry = GetWlanInfoEntry(index)) wifi[index] = BaselineOf(*entry);
    LogOut(LL_DEBUG, "%s: Running WiFi config wlan:%s ssid:%s pass:%s status:%d", kThread,
           wifi[index].ifname.c_str(), wifi[index].ssid.c_str(), wifi[index].password.c_str(),
           wifi[index].active ? 1 : 0);
  }
  LanConfigRecord lan{};
  if (RouterDeviceOps.GetLanConfig(&lan) != 0) {
    LogOut(LL_CRIT, "%s:- RouterDeviceOps.GetLanConfig failed", kThread);
    complete = false;
  }
  if (!complete) {
    LogOut(LL_ERR, "%s: snapshot incomplete, tried again in the next pass", kThread);
    return false;
  }
  auto packed = PackReconcile(report::CurrentIdentity(), platform, wan, interfaces, wifi, lan);
  if (send_(packed) != 0) {
    LogOut(LL_ERR, "%s:- EventReconcileProtoConstruct: nat's publish got failed", kThread);
    return false;
  }
  LogOut(LL_INFO, "%s: EventReconcileProtoConstruct is published", kThread);
  wan_ = wan;
  wifi_ = wifi;
  lan_ = lan;
  reconciled_ = true;
  return true;
}

void EventReporter::ClientStep() {
  ClientRecord client{};
  if (RouterDeviceOps.GetClientUpdate(&client) != 0) {
    LogOut(LL_ERR, "%s:- RouterDeviceOps.GetClientUpdate failed", kThread);
    return;
  }
  if (!client.mac[0]) return;
  if (send_(PackClientEvent(report::CurrentIdentity(), client)) == 0) {
    LogOut(LL_INFO, "%s: EventClientProtoConstruct is published", kThread);
  } else {
    LogOut(LL_ERR, "%s:- EventClientProtoConstruct: nat's publish got failed", kThread);
  }
}

void EventReporter::WanStep() {
  WanStatusRecord wan{};
  std::vector<WanInterfaceRecord> interfaces;
  if (!ReadWan(wan, interfaces)) {
    LogOut(LL_ERR, "%s:- RouterDeviceOps.EventWanInfoUpdate failed", kThread);
    return;
  }
  if (!WanChanged(wan_, wan)) return;
  LogOut(LL_WARN, "%s: WAN config change detected!", kThread);
  if (send_(PackWanEvent(report::CurrentIdentity(), wan, interfaces)) != 0) {
    LogOut(LL_ERR, "%s:- EventWanInfoProtoConstruct: nat's publish got failed", kThread);
    return;
  }
  wan_ = wan;
  LogOut(LL_INFO, "%s: EventWanInfoProtoConstruct is published", kThread);
}

void EventReporter::WifiStep() {
  // The Wi-Fi table is refreshed by telemetry and the Wi-Fi configuration code.
  WlanInfoEntry entries[kWlanInfoCount];
  CopyWlanInfo(entries);
  WifiBaselines now;
  bool changed = false;
  for (int i = 0; i < kWlanInfoCount; ++i) {
    now[i] = BaselineOf(entries[i]);
    const WifiBaseline& old = wifi_[i];
    if (now[i].ssid == old.ssid && now[i].password == old.password && now[i].active == old.active) {
      now[i] = old;
      continue;
    }
    changed = true;
    LogOut(LL_INFO,
           "%s: WAN config change detected! Old ssid:%s pass:%s status:%d-->New ssid:%s pass:%s "
           "status:%d ",
           kThread, old.ssid.c_str(), old.password.c_str(), old.active ? 1 : 0, now[i].ssid.c_str(),
           now[i].password.c_str(), now[i].active ? 1 : 0);
  }
  if (!changed) return;
  if (send_(PackWlanEvent(report::CurrentIdentity(), now)) != 0) {
    LogOut(LL_ERR, "%s:- EventWlanInfoProtoConstruct: nat's publish got failed", kThread);
    return;
  }
  wifi_ = now;
  LogOut(LL_INFO, "%s: EventWlanInfoProtoConstruct is published", kThread);
}

void EventReporter::LanStep() {
  LanConfigRecord lan{};
  if (RouterDeviceOps.GetLanConfig(&lan) != 0) {
    LogOut(LL_ERR, "%s:- RouterDeviceOps.GetLanConfig failed", kThread);
    return;
  }
  if (!LanChanged(lan_, lan)) return;
  LogOut(LL_WARN, "%s: LAN config change detected!", kThread);
  if (send_(PackLanEvent(report::CurrentIdentity(), lan)) != 0) {
    LogOut(LL_ERR, "%s:- EventLanInfoProtoConstruct: nat's publish got failed", kThread);
    return;
  }
  lan_ = lan;
  LogOut(LL_INFO, "%s: EventLanInfoProtoConstruct is published", kThread);
}

void EventReporter::Pass() {
  // Until a snapshot went out there is no baseline to compare with: the snapshot is retried
  // every pass, and it carries the state the change steps would report.
  if (!reconciled_ && !TryReconcile()) {
    ClientStep();
    return;
  }
  ClientStep();
  WanStep();
  WifiStep();
  LanStep();
}

}  // namespace zc::event
