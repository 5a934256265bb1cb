// Start-up of the filter and of the agent's DNS engine: subscriptions on the edge connection, the
// histogram worker with the edge health check, the engine in place of the router's dnsmasq (its
// listeners closed by an exit hook before dnsmasq starts again), and the restart of the
// internet-security switch.
#include "dns/filter/zuncoredns.h"

#include <cstdlib>
#include <mutex>

#include "dns/filter/dns_histogram.h"
#include "dns/filter/filter_internal.h"
#include "dns/filter/filter_keys.h"
#include "dns/filter/safesearchhash.h"
#include "main/nats/nats_session.h"
#include "utils/exec.h"
#include "utils/exitlog.h"
#include "utils/files.h"
#include "utils/kvp.h"
#include "utils/log.h"
#include "utils/paths.h"
#include "utils/timescale.h"

namespace zc::filter {
namespace {

// The search site the health check asks about.
constexpr const char* kHealthCheckSite = "https://www.google.com/";
constexpr const char* kEngineConf = "/tmp/zundns.conf";
constexpr const char* kUpstreamIsecOff = "server 1.1.1.3";
constexpr const char* kUpstreamIsecOn = "server 8.8.8.8";

class FilterHook : public zc::dns::VerdictHook {
 public:
  zc::dns::DnsVerdict Ask(const zc::dns::VerdictQuery& query) override {
    return GetUrlReputation(query);
  }
  void UpstreamAnswered(std::chrono::steady_clock::duration elapsed) override {
    // Counted in real milliseconds, like the edge round trips.
    double ms = std::chrono::duration<double, std::milli>(elapsed).count() / zc::TimeScale();
    DohHistoGram.Add(static_cast<int64_t>(ms));
  }
  void Purge(uint64_t generation) override {
    // The engine is gone: nothing can be answered; the station references drop here.
    size_t n = Pending().Purge(generation).size();
    if (n) LogOut(LL_INFO, "%s: %zu pending lookups dropped", "DnsEngineStop", n);
  }
};

FilterHook gHook;

std::mutex gSeamMutex;
VerdictSink gVerdictSink;
EdgePublisher gPublisher;
DnsmasqStopper gDnsmasqStopper;

std::mutex gSubsMutex;
NatsSubTable gEdgeReqTable;   // inbox (answers to cloud lookups and health checks)
NatsSubTable gLoopbackTable;  // loop-back lookup answers
std::string gInbox;

// Engine lifecycle (start, restart, stop) is serialised here; the pointer itself is read by the
// delivery threads under gEnginePtrMutex only.
std::mutex gEngineLifecycle;
std::mutex gEnginePtrMutex;
std::shared_ptr<zc::dns::DnsEngine> gEngine;
int gExitHookId = 0;

std::shared_ptr<zc::dns::DnsEngine> CurrentEngine() {
  std::lock_guard lock(gEnginePtrMutex);
  return gEngine;
}

void StopRouterDnsmasq() {
  DnsmasqStopper stopper;
  {
    std::lock_guard lock(gSeamMutex);
    stopper = gDnsmasqStopper;
  }
  if (stopper) return stopper();
  // The router's own killall (under the root), never a host-wide one.
  ExecResult r = RunArgv({zc::RootPath("/bin/killall"), "-9", "dnsmasq"});
  if (r.status != 0) LogOut(LL_INFO, "%s: no dnsmasq to stop", "DnsServerInit");
}

void HealthCheck() {
  if (!edgeReputation) return;
  std::string subject = GetStringKVPOr(filterkeys::kDnsSubject, "");
  std::string inbox = Inbox();
  if (subject.empty() || inbox.empty()) return;
  std::string mac = GetStringKVPOr(filterkeys::kDeviceMac, "");
  auto req = zc::pb::Make<Zun__Edge__EDGEDNSREQUEST>();
  req.client_mac = mac.data();
  req.site = const_cast<char*>(kHealthCheckSite);
  req.seqno = 0;
  std::vector<uint8_t> payload = zc::pb::Pack(req);
  LogOut(LL_DNS, "EdgeHealthCheck:, clientmac:%s, site:%s, seqno:%llu", mac.c_str(),
         kHealthCheckSite, 0ULL);
  LogOut(LL_DEBUG, "SendEdgeRequest size of buffer:%d", static_cast<int>(payload.size()));
  if (EdgePublish(subject.c_str(), inbox.c_str(), payload) != 0) {
    ExitLog("SendEdgeRequest:- publishing to edge got failed");
  }
}

// Swaps the upstream line of the option file (in process; the file is replaced atomically).
void RewriteUpstream(bool isecOn) {
  std::string path = zc::RootPath(kEngineConf);
  std::optional<std::string> text = zc::ReadFile(path);
  if (!text) return;
  std::string from = isecOn ? kUpstreamIsecOff : kUpstreamIsecOn;
  std::string to = isecOn ? kUpstreamIsecOn : kUpstreamIsecOff;
  bool changed = false;
  for (size_t pos = text->find(from); pos != std::string::npos; pos = text->find(from, pos)) {
    text->replace(pos, from.size(), to);
    pos += to.size();
    changed = true;
  }
  if (changed && zc::WriteFileAtomic(path, *text) != 0) {
    LogOut(LL_ERR, "UpdateProfile: unable to rewrite %s", path.c_str());
  }
}

int StartEngineLocked() {
  std::shared_ptr<zc::dns::DnsEngine> engine = CurrentEngine();
  if (!engine) {
    zc::dns::DnsEngineOptions options;
    options.conf_path = kEngineConf;
    options.verdict = &gHook;
    engine = std::make_shared<zc::dns::DnsEngine>(options);
    std::lock_guard lock(gEnginePtrMutex);
    gEngine = engine;
  }
  std::string error;
  if (!engine->Start(&error)) {
    LogOut(LL_ERR, "%s: DNS engine start failed: %s", "DnsServerInit", error.c_str());
    return -1;
  }
  if (gExitHookId == 0) {
    // Every exit path closes the listeners before the router's dnsmasq is started again.
    gExitHookId = RegisterExitHook([] {
      if (auto e = CurrentEngine()) e->Stop();
    });
  }
  return 0;
}

}  // namespace

zc::dns::VerdictHook& Hook() {
  return gHook;
}

void PostVerdict(zc::dns::DnsRequestHandle handle, zc::dns::DnsVerdict verdict) {
  VerdictSink sink;
  {
    std::lock_guard lock(gSeamMutex);
    sink = gVerdictSink;
  }
  if (sink) return sink(handle, verdict);
  if (auto engine = CurrentEngine()) engine->PostVerdict(handle, verdict);
}

int EdgePublish(const char* subject, const char* reply, const std::vector<uint8_t>& payload) {
  EdgePublisher publisher;
  {
    std::lock_guard lock(gSeamMutex);
    publisher = gPublisher;
  }
  if (publisher) return publisher(subject, reply, payload);
  natsStatus s = reply ? NatsPublishRequest(nats_edge, subject, reply, payload.data(),
                                            static_cast<int>(payload.size()), {kZunProtoV1})
                       : _natsConnection_Publish(nats_edge, subject, payload.data(),
                                                 static_cast<int>(payload.size()), {kZunProtoV1});
  return s == NATS_OK ? 0 : -1;
}

std::string Inbox() {
  std::lock_guard lock(gSubsMutex);
  return gInbox;
}

void SetVerdictSinkForTest(VerdictSink sink) {
  std::lock_guard lock(gSeamMutex);
  gVerdictSink = std::move(sink);
}

void SetEdgePublisherForTest(EdgePublisher publisher) {
  std::lock_guard lock(gSeamMutex);
  gPublisher = std::move(publisher);
}

void SetDnsmasqStopperForTest(DnsmasqStopper stopper) {
  std::lock_guard lock(gSeamMutex);
  gDnsmasqStopper = std::move(stopper);
}

bool EngineRunning() {
  auto engine = CurrentEngine();
  return engine && engine->running();
}

int RestartEngine(bool internetSecurity) {
  std::lock_guard lifecycle(gEngineLifecycle);
  RewriteUpstream(internetSecurity);
  auto engine = CurrentEngine();
  if (!engine) return 0;  // not started yet: the next start reads the new file
  // Cooperative stop: the loop is woken and joined, sockets closed, pending lookups of that
  // generation dropped (Purge). Edge subscriptions and the worker stay as they are.
  engine->Stop();
  EdgeHistoGram.Clear();
  DohHistoGram.Clear();
  if (StartEngineLocked() != 0) {
    LogOut(LL_ERR, "UpdateProfile: DnsServerInit failed");
    // The LAN keeps a resolver: the router's own dnsmasq takes port 53 back.
    EnsureRouterDnsmasq();
    return -1;
  }
  LogOut(LL_INFO, "UpdateProfile: ZunCoreDnsInit Success, EDGE Reputation enabled");
  LogOut(LL_INFO, "UpdateProfile: DnsServerInit Success");
  return 0;
}

void ShutdownDns() {
  zc::histogram::StopWorker();
  StopExpiry();
  std::lock_guard lifecycle(gEngineLifecycle);
  if (auto engine = CurrentEngine()) engine->Stop();
  {
    std::lock_guard lock(gSubsMutex);
    NatsDestroySub(gEdgeReqTable);
    NatsDestroySub(gLoopbackTable);
    gEdgeReqTable.Clear();
    gLoopbackTable.Clear();
    gInbox.clear();
  }
  for (const EdgeRequest& r : Pending().TakeAll()) FinishAllowed(r, "shutdown");
}

}  // namespace zc::filter

using namespace zc::filter;

int ZunCoreDnsInit(event_base*, int enable) {
  EdgeHistoGram.Clear();
  edgeReputation = enable != 0;
  const char* lookups = getenv(zc::filterkeys::kEdgeLookupsEnv);
  gCloudLookups = lookups && std::string(lookups) == "cloud";
  int result = 0;
  {
    std::lock_guard lock(gSubsMutex);
    // A second call (restart) retires the earlier subscriptions first: one set stays active.
    NatsDestroySub(gEdgeReqTable);
    NatsDestroySub(gLoopbackTable);
    gEdgeReqTable.Clear();
    gLoopbackTable.Clear();
    gInbox.clear();
    if (enable) {
      std::optional<std::string> subject = GetUsableKVP(zc::filterkeys::kDnsSubject);
      if (!subject) {
        LogOut(LL_CRIT, "ZunCoreDnsInit fail: Topic is not set!!!");
      } else {
        if (CreateSafeSearchHashTable() != 0) {
          LogOut(LL_ERR, "ZunCoreDnsInit: Creating safe search hash table failed");
        }
        gInbox = NatsNewInbox();
        if (gInbox.empty()) {
          LogOut(LL_ERR, "ZunCoreDnsInit: NatsInbox creation failed");
        } else {
          gEdgeReqTable.record = &nats_edge;
          gEdgeReqTable.Add(gInbox, EdgeResponseCallBack);
          if (NatsSub(gEdgeReqTable) != 0) LogOut(LL_ERR, "ZunCoreDnsInit: inbox subscribe failed");
        }
      }
    }
    gLoopbackTable.record = &nats_edge;
    gLoopbackTable.Add(zc::filterkeys::kLoopbackSubject, EdgeResponseCallBack);
    result = NatsSub(gLoopbackTable);
  }
  if (result != 0) return result;
  StartExpiry();
  zc::profiles::SetInternetSecuritySwitch(RestartEngine);
  if (std::optional<std::string> metrics = GetUsableKVP(zc::filterkeys::kDnsMetricsSubject)) {
    zc::histogram::WorkerSettings settings;
    settings.subject = *metrics;
    long seconds = atol(GetStringKVPOr(zc::filterkeys::kDnsMetricsInterval, "0").c_str());
    settings.interval =
        std::chrono::seconds(seconds > 0 ? seconds : zc::histogram::kDefaultIntervalSeconds);
    settings.cycle = HealthCheck;
    zc::histogram::StartWorker(std::move(settings));
  }
  return 0;
}

int DnsServerInit(event_base*) {
  std::lock_guard lifecycle(gEngineLifecycle);
  DohHistoGram.Clear();
  if (EngineRunning()) return 0;
  LogOut(LL_INFO, "creating the DNS thread");
  StopRouterDnsmasq();
  if (StartEngineLocked() != 0) {
    LogOut(LL_ERR, "UpdateMainTimer: Dns thread creation failed");
    return -1;
  }
  return 0;
}
