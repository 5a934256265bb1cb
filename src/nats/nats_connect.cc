// Opening, watching and closing connections; the connection log; usage statistics.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "nats/nats_evloop.h"
#include "nats/nats_internal.h"
#include "utils/exitlog.h"
#include "utils/files.h"
#include "utils/log.h"
#include "utils/paths.h"
#include "utils/timescale.h"
#include "utils/timeutil.h"

namespace {

using State = NatsConnContext::State;

// The library's reconnect wait (2 s) and jitter (0.1 s, 1 s with TLS), on the agent's time
// scale; network waits keep a floor.
constexpr std::chrono::milliseconds kReconnectWait{2000};
constexpr std::chrono::milliseconds kReconnectJitter{100};
constexpr std::chrono::milliseconds kReconnectJitterTls{1000};
constexpr std::chrono::milliseconds kNetworkWaitFloor{50};
// A ping period shortened by the time scale never goes below this real time: two missed pongs
// on a loaded test machine must not pass for a dead link.
constexpr std::chrono::milliseconds kScaledPingFloor{5000};

int64_t ScaledNetworkMs(int64_t realMs) {
  auto scaled = zc::Scaled(std::chrono::milliseconds(realMs));
  return std::max(scaled, kNetworkWaitFloor).count();
}

std::string LastError(natsConnection* nc) {
  const char* text = nullptr;
  if (nc) natsConnection_GetLastError(nc, &text);
  return text ? text : "";
}

// "CMD", "MSG", "EDGE" for the reconnect log line; the command record is checked first, so in
// single-connection mode the shared connection reports as the command connection.
const char* ReconnectLabel(const NatsConnContext& record) {
  if (NatsSessionAccess::Resolve(NatsCmdConn) == &record) return "CMD";
  switch (record.Role()) {
    case NatsRole::kCommand:
      return "CMD";
    case NatsRole::kMessage:
      return "MSG";
    case NatsRole::kEdge:
      return "EDGE";
    default:
      return nullptr;
  }
}

void errCB(natsConnection*, natsSubscription*, natsStatus err, void*) {
  LogOut(LL_ERR, "%s: Fail -%d -%s", "errCB", static_cast<int>(err), NatsStatusText(err));
}

void discovCB(natsConnection* nc, void*) {
  LogOut(LL_DEBUG, "%s: Error:%s", "discovCB", LastError(nc).c_str());
}

void disconnCB(natsConnection* nc, void*) {
  std::string err = LastError(nc);
  LogOut(LL_DEBUG, "%s: Error:%s", "disconnCB", err.c_str());
  if (err.empty()) {
    LogOut(LL_INFO, "disconnCB: nats disconnected");
  } else {
    LogOut(LL_INFO, "disconnCB: nats disconnected %s", err.c_str());
  }
}

void closedCB(natsConnection* nc, void* closure) {
  auto* state = static_cast<State*>(closure);
  std::string err = LastError(nc);
  LogOut(LL_DEBUG, "%s: Error:%s", "closedCB", err.c_str());
  std::string text = "closedCB: nats connection close";
  if (!err.empty()) text += " " + err;
  // A teardown marks its connection before closing it, so its close never looks like a failure;
  // the bootstrap connection may close without ending the process.
  if (state->closingOnPurpose || state->record->Role() == NatsRole::kBootstrap) {
    LogOut(LL_INFO, "%s (%s)", text.c_str(), state->record->Label());
    return;
  }
  LogOut(LL_CRIT, "%s: nats connection close and exit zuncore", "closedCB");
  ExitLog(text);
}

void recCB(natsConnection* nc, void* closure) {
  auto* state = static_cast<State*>(closure);
  LogOut(LL_DEBUG, "%s: Error:%s", "recCB", LastError(nc).c_str());
  uint64_t cid = 0;
  natsStatus s = natsConnection_GetClientID(nc, &cid);
  if (s != NATS_OK) {
    LogOut(LL_ERR, "%s: natsConnection_GetClientID Fail -%d -%s", "recCB", static_cast<int>(s),
           NatsStatusText(s));
    return;
  }
  NatsConnContext& record = *state->record;
  const char* label = ReconnectLabel(record);
  if (!label || state->closingOnPurpose) {
    LogOut(LL_ERR, "nats UNKNOWN Reconnection Success cname:%s cid:%llu", "unknown",
           static_cast<unsigned long long>(cid));
    return;
  }
  NatsSessionAccess::SetClientId(record, cid);
  LogOut(LL_INFO, "nats %s Reconnection Success cname:%s cid:%llu", label, record.Name().c_str(),
         static_cast<unsigned long long>(cid));
  nats_conn_log(record, NATS_CONN_EVENT_RECONNECTED);
}

// Splits the URL text at commas into at most kNatsMaxServers URLs.
natsStatus SplitServers(const std::string& text, std::vector<std::string>& out) {
  out.clear();
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    if (out.size() == kNatsMaxServers) return NATS_INSUFFICIENT_BUFFER;
    out.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  return NATS_OK;
}

// Failure path of one set-up step: step text, status number and text.
int ConnFail(const char* step, natsStatus s) {
  LogOut(LL_ERR, "%s: %s -%d -%s", "NatsConnInit", step, static_cast<int>(s), NatsStatusText(s));
  nats_PrintLastErrorStack(stderr);
  LogOut(LL_ERR, "NatsConnInit: nats connection fail");
  return -1;
}

}  // namespace

int NatsLibInit() {
  natsStatus s = nats_Open(-1);
  if (s != NATS_OK) {
    LogOut(LL_ERR, "%s: nats_Open Fail -%d -%s", "NatsLibInit", static_cast<int>(s),
           NatsStatusText(s));
    return -1;
  }
  NatsEvloopLibInit();
  return 0;
}

void NatsLibClose() {
  nats_CloseAndWait(zc::Scaled(std::chrono::seconds(5)).count());
}

int NatsConnInit(event_base* loop, NatsConnContext& record, const NatsConnConfig& config) {
  record.Configure(config);
  return NatsConnInit(loop, record);
}

int NatsConnInit(event_base* loop, NatsConnContext& record) {
  if (record.IsAlias()) {
    LogOut(LL_ERR, "NatsConnInit: %s refers to another connection", record.Label());
    return -1;
  }
  if (NatsSessionAccess::CurrentState(record)) {
    LogOut(LL_WARN, "NatsConnInit: %s is connected, closing it first", record.Label());
    NatsDestroy(record);
  }
  const NatsConnConfig cfg = record.Config();
  LogOut(LL_INFO, "nats connection config url:%s name:%s, tlsEnabled:%d, pingIvl(ms):%d maxPing:%d",
         cfg.url.c_str(), cfg.name.c_str(), cfg.tlsEnabled ? 1 : 0, cfg.pingIntervalMs,
         cfg.maxPings);

  auto state = std::make_shared<State>();
  state->record = &record;
  // The callbacks may see the state even when the connect fails half-way.
  NatsRetireState(state);

  natsOptions* rawOptions = nullptr;
  natsStatus s = natsOptions_Create(&rawOptions);
  if (s != NATS_OK) return ConnFail("natsOptions_Create Fail", s);
  state->options.reset(rawOptions);
  natsOptions* opts = rawOptions;

  std::vector<std::string> servers;
  s = SplitServers(cfg.url, servers);
  if (s == NATS_OK) {
    std::vector<const char*> pointers;
    for (const std::string& url : servers) pointers.push_back(url.c_str());
    s = natsOptions_SetServers(opts, pointers.data(), static_cast<int>(pointers.size()));
  }
  if (s != NATS_OK) return ConnFail("natsOptions_SetServers Fail", s);

  s = NatsOptionsUseLoop(opts, loop);
  if (s != NATS_OK) return ConnFail("natsOptions_SetEventLoop Fail", s);

  if (cfg.tlsEnabled) {
    s = natsOptions_SetSecure(opts, true);
    if (s != NATS_OK) return ConnFail("natsOptions_SetSecure Fail", s);
  }

  natsStatistics* rawStats = nullptr;
  s = natsStatistics_Create(&rawStats);
  if (s != NATS_OK) return ConnFail("natsStatistics_Create Fail", s);
  state->statistics.reset(rawStats);

  // Loaded whether or not TLS is on: a missing file fails every connection.
  s = natsOptions_LoadCATrustedCertificates(opts, zc::RootPath(kNatsCaFile).c_str());
  if (s != NATS_OK) return ConnFail("natsOptions_LoadCATrustedCertificates Fail", s);

  // A period of 0 or less from the cloud would spin the ping timer: keep the library's default.
  if (cfg.pingIntervalMs > 0) {
    std::chrono::milliseconds asked(cfg.pingIntervalMs);
    auto scaled = std::max(zc::Scaled(asked), std::min(asked, kScaledPingFloor));
    s = natsOptions_SetPingInterval(opts, scaled.count());
    if (s != NATS_OK) return ConnFail("natsOptions_SetPingInterval Fail", s);
  }
  if (cfg.maxPings > 0) {
    s = natsOptions_SetMaxPingsOut(opts, cfg.maxPings);
    if (s != NATS_OK) return ConnFail("natsOptions_SetMaxPingsOut Fail", s);
  }
  s = natsOptions_SetName(opts, cfg.name.c_str());
  if (s != NATS_OK) return ConnFail("natsOptions_SetName Fail", s);

  s = natsOptions_SetAllowReconnect(opts, true);
  if (s != NATS_OK) return ConnFail("natsOptions_SetAllowReconnect", s);
  s = natsOptions_SetReconnectBufSize(opts, kNatsReconnectBufSize);
  if (s != NATS_OK) return ConnFail("natsOptions_SetReconnectBufSizeFail", s);
  s = natsOptions_SetReconnectWait(opts, ScaledNetworkMs(kReconnectWait.count()));
  if (s != NATS_OK) return ConnFail("natsOptions_SetReconnectWait Fail", s);
  s = natsOptions_SetReconnectJitter(opts, zc::Scaled(kReconnectJitter).count(),
                                     zc::Scaled(kReconnectJitterTls).count());
  if (s != NATS_OK) return ConnFail("natsOptions_SetReconnectJitter Fail", s);

  s = natsOptions_SetDisconnectedCB(opts, disconnCB, state.get());
  if (s != NATS_OK) return ConnFail("natsOptions_SetDisconnectedCB Fail", s);
  s = natsOptions_SetReconnectedCB(opts, recCB, state.get());
  if (s != NATS_OK) return ConnFail("natsOptions_SetReconnectedCB Fail", s);
  s = natsOptions_SetDiscoveredServersCB(opts, discovCB, state.get());
  if (s != NATS_OK) return ConnFail("natsOptions_SetDiscoveredServersCB Fail", s);
  s = natsOptions_SetClosedCB(opts, closedCB, state.get());
  if (s != NATS_OK) return ConnFail("natsOptions_SetClosedCB Fail", s);
  s = natsOptions_SetErrorHandler(opts, errCB, state.get());
  if (s != NATS_OK) return ConnFail("natsOptions_SetErrorHandler Fail", s);

  natsConnection* rawConn = nullptr;
  s = natsConnection_Connect(&rawConn, opts);
  if (s != NATS_OK) {
    natsConnection_Destroy(rawConn);
    return ConnFail("natsConnection_Connect Fail", s);
  }
  state->connection = zc::nats::AdoptConnection(rawConn);

  uint64_t cid = 0;
  s = natsConnection_GetClientID(rawConn, &cid);
  if (s != NATS_OK) {
    LogOut(LL_ERR, "%s: natsConnection_GetClientID Fail -%d -%s", "NatsConnInit",
           static_cast<int>(s), NatsStatusText(s));
  }
  NatsSessionAccess::SetClientId(record, cid);

  s = natsConnection_HasHeaderSupport(rawConn);
  if (s != NATS_OK) {
    LogOut(LL_ERR, "%s: nats server currently NOT supports headers -%d -%s", "NatsConnInit",
           static_cast<int>(s), NatsStatusText(s));
  }
  NatsSessionAccess::Attach(record, std::move(state));
  return 0;
}

void nats_conn_log(const NatsConnContext& record, int event) {
  const char* word = nullptr;
  switch (event) {
    case NATS_CONN_EVENT_CONNECTED:
      word = "connected";
      break;
    case NATS_CONN_EVENT_DESTROYED:
      word = "destroyed";
      break;
    case NATS_CONN_EVENT_RECONNECTED:
      word = "reconnected";
      break;
    default:
      return;
  }
  std::string localTime;
  GetLocalTime(localTime);
  char cid[24];
  snprintf(cid, sizeof cid, "%llu", static_cast<unsigned long long>(record.ClientId()));
  std::string line = localTime + " name:" + record.Name() + " cid:" + cid + " :" + word;
  if (zc::AppendLine(zc::RootPath(kNatsConnLogFile), line) != 0) {
    LogOut(LL_ERR, "%s: unable to write %s", "nats_conn_log", kNatsConnLogFile);
  }
}

void NatsDestroy(NatsConnContext& record) {
  if (NatsSessionAccess::DropAlias(record)) return;
  std::shared_ptr<State> state = NatsSessionAccess::DetachForTeardown(record);
  if (!state) return;
  // Publishers that still hold a reference finish on a closed connection; the handle is freed
  // with the last reference.
  zc::nats::ConnectionRef connection = std::move(state->connection);
  if (connection) natsConnection_Close(connection.get());
  connection.reset();
  state->options.reset();
  std::lock_guard lock(state->statsMutex);
  state->statistics.reset();
}

void NatsDestroyStats(NatsConnContext& record) {
  if (record.IsAlias()) return;
  std::shared_ptr<State> state = NatsSessionAccess::CurrentState(record);
  if (!state) return;
  std::lock_guard lock(state->statsMutex);
  state->statistics.reset();
}

void NatsCleanUp() {
  NatsConnContext* const records[] = {&NatsCmdConn, &nats_msg, &nats_edge};
  for (NatsConnContext* record : records) {
    if (record->IsAlias() || !record->IsConnected()) continue;
    NatsDestroyStats(*record);
    nats_conn_log(*record, NATS_CONN_EVENT_DESTROYED);
  }
  for (NatsConnContext* record : records) NatsDestroy(*record);
}

int NatsStats(const char* name, natsConnection* nc, natsSubscription* sub, natsStatistics* stats) {
  natsStatus s = natsConnection_GetStats(nc, stats);
  if (s != NATS_OK) {
    LogOut(LL_ERR, "%s: natsConnection_GetStats Fail -%d -%s", "NatsStats", static_cast<int>(s),
           NatsStatusText(s));
    nats_PrintLastErrorStack(stderr);
    return -1;
  }
  uint64_t inMsgs = 0, inBytes = 0, outMsgs = 0, outBytes = 0, reconnects = 0;
  s = natsStatistics_GetCounts(stats, &inMsgs, &inBytes, &outMsgs, &outBytes, &reconnects);
  if (s != NATS_OK) {
    LogOut(LL_ERR, "%s: natsStatistics_GetCounts Fail -%d -%s", "NatsStats", static_cast<int>(s),
           NatsStatusText(s));
    nats_PrintLastErrorStack(stderr);
    return -1;
  }
  int pending = 0;
  int64_t delivered = 0, dropped = 0;
  if (sub) {
    s = natsSubscription_GetStats(sub, &pending, nullptr, nullptr, nullptr, &delivered, &dropped);
    if (s == NATS_INVALID_SUBSCRIPTION) {
      pending = 0;
    } else if (s != NATS_OK) {
      LogOut(LL_ERR, "%s: natsSubscription_GetStats Fail -%d -%s", "NatsStats", static_cast<int>(s),
             NatsStatusText(s));
    }
  }
  LogOut(LL_INFO,
         "NATS Usage ConnName:%s InMsgs: %llu InBytes: %llu OutMsgs: %llu OutBytes: %llu "
         "Delivered: %lld Pending: %d Dropped: %lld Reconnected: %llu",
         name ? name : "", static_cast<unsigned long long>(inMsgs),
         static_cast<unsigned long long>(inBytes), static_cast<unsigned long long>(outMsgs),
         static_cast<unsigned long long>(outBytes), static_cast<long long>(delivered), pending,
         static_cast<long long>(dropped), static_cast<unsigned long long>(reconnects));
  return 0;
}

int NatsStats(const NatsConnContext& record, natsSubscription* sub) {
  zc::nats::ConnectionRef connection;
  std::shared_ptr<State> state = NatsSessionAccess::CurrentState(record, &connection);
  std::string name = record.Name();
  if (!state || !connection) {
    LogOut(LL_ERR, "%s: %s is not connected", "NatsStats", name.c_str());
    return -1;
  }
  std::lock_guard lock(state->statsMutex);
  if (!state->statistics) {
    LogOut(LL_ERR, "%s: no statistics for %s", "NatsStats", name.c_str());
    return -1;
  }
  return NatsStats(name.c_str(), connection.get(), sub, state->statistics.get());
}

std::optional<std::string> NatsClientIP(const NatsConnContext& record) {
  zc::nats::ConnectionRef connection = record.Connection();
  if (!connection) return std::nullopt;
  char* ip = nullptr;
  if (natsConnection_GetClientIP(connection.get(), &ip) != NATS_OK || !ip) return std::nullopt;
  std::string out(ip);
  free(ip);
  return out;
}
