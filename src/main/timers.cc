#include "main/timers.h"

#include <strings.h>
#include <sys/time.h>

#include <string>

#include "config/config.h"
#include "dns/filter/zuncoredns.h"
#include "event/event.h"
#include "main/nats/nats_session.h"
#include "main/uplink.h"
#include "main/version.h"
#include "signon/signon_keys.h"
#include "telemetry/telemetry.h"
#include "utils/agent_state.h"
#include "utils/endpoints.h"
#include "utils/event_handles.h"
#include "utils/exitlog.h"
#include "utils/files.h"
#include "utils/identity_keys.h"
#include "utils/kvp.h"
#include "utils/log.h"
#include "utils/monitor.h"
#include "utils/paths.h"
#include "utils/timescale.h"
#include "utils/timeutil.h"

event_base* gZunCoreMainEventBase = nullptr;
event* gZunCoreMainTimer = nullptr;

namespace {
// Owns the event gZunCoreMainTimer points at (the main timer, later the idle timer).
zc::ev::EventPtr gMainTimerOwner;
}  // namespace

namespace {

constexpr size_t kBootstrapNatsUrlMax = 63;
constexpr int32_t kEdgePingIntervalMs = 30000;
constexpr int32_t kEdgeMaxPings = 4;

// The message step has run (its connection is up, or the cloud disabled it). In single-connection
// mode the command step waits for it: sign-on writes the URL keys from its own thread, so a tick
// may see the command URL before the message connection exists.
bool gMessageStepDone = false;

bool IsDisabled(const std::string& value) {
  return strcasecmp(value.c_str(), "disabled") == 0;
}

int IntKey(const std::string& key) {
  auto v = GetStringKVP(key);
  return v ? std::atoi(v->c_str()) : 0;
}

std::function<void(std::chrono::seconds)> gArmForTest;
ModuleInits gModuleInits = {EventInit, TelemetryInit, ConfigInit};

void ArmTimer(std::chrono::seconds period) {
  if (gArmForTest) {
    gArmForTest(period);
    return;
  }
  timeval tv = zc::ScaledTimeval(period);
  evtimer_add(gZunCoreMainTimer, &tv);
}

[[noreturn]] void ConnectionFailed(const char* who, const std::string& name) {
  std::string reason = std::string(who) + ": " + name + " connection Fail";
  LogOut(LL_CRIT, "%s", reason.c_str());
  ExitLog(reason);
}

void CreateInitCompleteMarker(const char* who) {
  if (zc::TruncateFile(zc::RootPath(kInitCompleteFile)) != 0) {
    std::string reason = std::string(who) + ": Unable to create the zun init file";
    LogOut(LL_INFO, "%s", reason.c_str());
    ExitLog(reason);
  }
}

void InitOrExit(int rc, const char* who, const char* module) {
  if (rc == 0) {
    LogOut(LL_INFO, "%s: %s Success", who, module);
    return;
  }
  std::string reason = std::string(who) + ": " + module + " failed";
  LogOut(LL_ERR, "%s", reason.c_str());
  ExitLog(reason);
}

// Opens a connection record from the sign-on keys of one connection kind (MSG or CMD).
void ConnectFromKeys(NatsConnContext& record, const std::string& url, const char* namePart,
                     const char* infoPrefix, const char* who, const char* successKind) {
  record.Clear();
  NatsConnConfig config;
  config.name = GetStringKVPOr(kKeyDeviceMacAddr, "") + "-" + namePart;
  config.url = url;
  std::string prefix = infoPrefix;
  config.tlsEnabled = GetStringKVPOr(prefix + kKeyConnInfoTlsEnabled, "") == "1";
  config.pingIntervalMs = 1000 * IntKey(prefix + kKeyConnInfoPingInterval);
  config.maxPings = IntKey(prefix + kKeyConnInfoMaxPing);
  if (NatsConnInit(gZunCoreMainEventBase, record, config) != 0) ConnectionFailed(who, config.name);
  LogOut(LL_INFO, "nats %s connection Success cname:%s cid:%llu", successKind,
         record.Name().c_str(), static_cast<unsigned long long>(record.ClientId()));
  nats_conn_log(record, NATS_CONN_EVENT_CONNECTED);
}

void MessageStep() {
  auto url = GetStringKVP(kKeyNatsMsgUrl);
  if (!url) return;
  if (IsDisabled(*url)) {
    LogOut(LL_INFO, "%s: nats_msg_url is Disabled", "UpdateMainTimer");
    // Deliberately not started: the health report must not miss them.
    gEventThreadMonitor.expected.store(false);
    gTelemetryThreadMonitor.expected.store(false);
  } else {
    timeval now{};
    gettimeofday(&now, nullptr);
    gZuncoreTimeStart.store(now.tv_sec);
    ConnectFromKeys(nats_msg, *url, "nats_msg_connection", kKeyConnInfoMsgPrefix, "UpdateMainTimer",
                    "MSG");
    CreateInitCompleteMarker("UpdateMainTimer");
    InitOrExit(gModuleInits.eventInit(gZunCoreMainEventBase), "UpdateMainTimer", "EventInit");
    InitOrExit(gModuleInits.telemetryInit(gZunCoreMainEventBase), "UpdateMainTimer",
               "TelemetryInit");
  }
  RemoveKVP(kKeyNatsMsgUrl);
  gMessageStepDone = true;
  gZunCoreInitStatus.fetch_add(1);
}

void CommandStep() {
  auto url = GetStringKVP(kKeyNatsCmdUrl);
  if (!url) return;
  if (gUseSingleNats.load() && !gMessageStepDone) return;  // the next tick tries again
  if (gUseSingleNats.load() && nats_msg.IsConnected()) {
    // One connection for messages and commands: the command record refers to the message one.
    NatsCmdConn.SetAliasOf(nats_msg);
    InitOrExit(gModuleInits.configInit(gZunCoreMainEventBase), "UpdateMainTimer", "ConfigInit");
  } else if (IsDisabled(*url)) {
    LogOut(LL_INFO, "%s: nats_cmd_url is Disabled", "UpdateMainTimer");
  } else {
    ConnectFromKeys(NatsCmdConn, *url, "nats_cmd_connection", kKeyConnInfoCmdPrefix,
                    "UpdateMainTimer", "CMD");
    InitOrExit(gModuleInits.configInit(gZunCoreMainEventBase), "UpdateMainTimer", "ConfigInit");
  }
  RemoveKVP(kKeyNatsCmdUrl);
  gZunCoreInitStatus.fetch_add(1);
}

void EdgeStep() {
  if (!GetStringKVP(kKeyNatsEdgeUrl)) return;
  nats_edge.Clear();
  NatsConnConfig config;
  config.name = GetStringKVPOr(kKeyDeviceMacAddr, "") + "-nats_edge_connection";
  config.url = EdgeConnectionUrl();
  config.tlsEnabled = true;
  config.pingIntervalMs = kEdgePingIntervalMs;
  config.maxPings = kEdgeMaxPings;
  if (NatsConnInit(gZunCoreMainEventBase, nats_edge, config) != 0) {
    ConnectionFailed("UpdateMainTimer", config.name);
  }
  LogOut(LL_INFO, "nats %s connection Success cname:%s cid:%llu", "EDGE", nats_edge.Name().c_str(),
         static_cast<unsigned long long>(nats_edge.ClientId()));
  nats_conn_log(nats_edge, NATS_CONN_EVENT_CONNECTED);
  if (ZunCoreDnsInit(gZunCoreMainEventBase, 1) != 0) {
    LogOut(LL_ERR, "UpdateMainTimer: ZunCoreDnsInit failed");
    ExitLog("UpdateMainTimer: ZunCoreDnsInit failed");
  }
  LogOut(LL_INFO, "UpdateMainTimer: ZunCoreDnsInit Success, EDGE Reputation enabled");
  InitOrExit(DnsServerInit(gZunCoreMainEventBase), "UpdateMainTimer", "DnsServerInit");
  RemoveKVP(kKeyNatsEdgeUrl);
  gZunCoreInitStatus.fetch_add(1);
  if (zc::WriteFileAtomic(zc::RootPath(kRunDohFile), "1\n") != 0) {
    LogOut(LL_ERR, "%s: unable to write %s", "UpdateMainTimer", kRunDohFile);
  }
}

void FinishInitialisation() {
  LogOut(LL_INFO, "UpdateMainTimer %s :ZUNCORE_SUBMODULE_INIT_DONE", UtcClockText().c_str());
  // Publishers stop choosing the bootstrap connection before it goes away.
  ZunModuleInitDone.store(true);
  if (nats_bootstrap.IsConnected()) {
    LogOut(LL_INFO, "destroy bootstarp nats");
    nats_conn_log(nats_bootstrap, NATS_CONN_EVENT_DESTROYED);
    NatsDestroy(nats_bootstrap);
    nats_bootstrap.ClearName();
  }
  auto pass = zc::ReadFile(zc::RootPath(kSuserPassFile), 511);
  std::string text = pass ? *pass : "";
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (text.empty()) {
    LogOut(LL_INFO, "suser password :FAIL");
  } else {
    LogOut(LL_INFO, "suser password :%s", text.c_str());
  }
  VersionDump();
}

}  // namespace

void SetModuleInitsForTest(ModuleInits inits) {
  gModuleInits =
      inits.eventInit ? std::move(inits) : ModuleInits{EventInit, TelemetryInit, ConfigInit};
}

void SetTimerArmForTest(std::function<void(std::chrono::seconds period)> arm) {
  gArmForTest = std::move(arm);
}

std::string EdgeConnectionUrl() {
  auto line = zc::ReadFirstLine(zc::RootPath(kBootstrapNatsFile), kBootstrapNatsUrlMax);
  if (line && !line->empty()) {
    LogOut(LL_INFO, "zun dfltbnats:%s", line->c_str());
    return *line;
  }
  return zc::DefaultBootstrapNatsUrl();
}

int CreateMainTimer(event_base* loop) {
  gZunCoreMainEventBase = loop;
  gMainTimerOwner.reset(evtimer_new(loop, UpdateMainTimer, nullptr));
  gZunCoreMainTimer = gMainTimerOwner.get();
  return gZunCoreMainTimer ? 0 : -1;
}

void DestroyMainTimer() {
  gZunCoreMainTimer = nullptr;
  gMainTimerOwner.reset();
  gZunCoreMainEventBase = nullptr;
}

void UpdateMainTimer(evutil_socket_t, short, void*) {
  // The idle state owns the timer from the moment it is entered: a tick already due must not
  // take the idle command connection's keys for the operational one.
  if (gIdleState.load()) return;
  if (gZunCoreInitStatus.load() >= kSubmoduleSteps) {
    FinishInitialisation();
    return;  // not re-armed: from here on the main timer is idle
  }
  ArmTimer(kMainTimerPeriod);
  LogOut(LL_INFO, "UpdateMainTimer %s :ZUNCORE_SUBMODULE_INIT_PROGRESS", UtcClockText().c_str());
  MessageStep();
  CommandStep();
  EdgeStep();
}

void UpdateIdleTimer(evutil_socket_t, short, void*) {
  LogOut(LL_INFO, "UpdateIdleTimer %s :ZUNCORE_INIT_IDLE_TIMER", UtcClockText().c_str());
  StopUplinkThread();
  if (auto url = GetStringKVP(kKeyNatsCmdUrl)) {
    if (IsDisabled(*url)) {
      LogOut(LL_INFO, "%s: nats_cmd_url is Disabled", "UpdateIdleTimer");
    } else {
      ConnectFromKeys(NatsCmdConn, *url, "nats_bstrap_cmd_connection", kKeyConnInfoCmdPrefix,
                      "UpdateIdleTimer", "bstrap CMD");
      CreateInitCompleteMarker("UpdateIdleTimer");
      InitOrExit(gModuleInits.configInit(gZunCoreMainEventBase), "UpdateIdleTimer", "ConfigInit");
    }
    RemoveKVP(kKeyNatsCmdUrl);
  }
  ArmTimer(kIdleTimerPeriod);
}

namespace {

void SwapToIdleTimer(evutil_socket_t, short, void*) {
  evtimer_del(gZunCoreMainTimer);
  evtimer_assign(gZunCoreMainTimer, gZunCoreMainEventBase, UpdateIdleTimer, nullptr);
  UpdateIdleTimer(-1, 0, nullptr);
}

}  // namespace

void InstallIdleTimer() {
  // The timer belongs to the loop thread; callers may be on the provisioning thread.
  timeval now{0, 0};
  if (event_base_once(gZunCoreMainEventBase, -1, EV_TIMEOUT, SwapToIdleTimer, nullptr, &now) != 0) {
    ExitLog("InstallIdleTimer: unable to schedule the idle timer");
  }
}
