// The lookup path: the verdict asked by the engine, the loop-back (or cloud) classification
// request, the answer's decision, and the time-out that allows what the edge never answered.
#include <arpa/inet.h>

#include <cctype>
#include <random>
#include <thread>

#include "dns/filter/client_mac.h"
#include "dns/filter/dns_histogram.h"
#include "dns/filter/edge_decision.h"
#include "dns/filter/filter_internal.h"
#include "dns/filter/filter_keys.h"
#include "dns/filter/safesearchhash.h"
#include "telemetry/url_content_filter.h"
#include "utils/kvp.h"
#include "utils/log.h"
#include "utils/monitor.h"
#include "utils/timescale.h"

namespace zc::filter {

std::atomic<bool> edgeReputation{false};
std::atomic<bool> g_isEdgeActive{true};
std::atomic<bool> gCloudLookups{false};

namespace {

// The loop-back subject is shared by every agent on the server: a random start keeps this
// agent's sequence numbers apart from the others'.
uint64_t FirstSeqno() {
  std::random_device rd;
  uint64_t high = (static_cast<uint64_t>(rd()) << 16) & 0x0000ffffffff0000ull;
  return (high << 16) | 1;
}

EdgeRequests gPending(FirstSeqno());
std::atomic<uint64_t> gTimedOut{0};
std::atomic<uint64_t> gCompleted{0};

std::mutex gResolverMutex;
MacResolver gResolver;

std::string MacOf(const sockaddr_storage& client) {
  MacResolver resolver;
  {
    std::lock_guard lock(gResolverMutex);
    resolver = gResolver;
  }
  return resolver ? resolver(client) : ClientMacOf(client);
}

std::mutex gExpiryMutex;
std::thread gExpiry;
StopToken gExpiryStop;

std::string Lower(const std::string& text) {
  std::string out = text;
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

void Record(const std::string& mac, const std::string& domain,
            const std::vector<BlockRecord>& records) {
  for (const BlockRecord& r : records) {
    AddUrlContentFilter(mac.c_str(), domain.c_str(), r.reason, r.category_id, r.app_name.c_str());
  }
}

const char* DecisionTag(int reason) {
  switch (reason) {
    case kReasonApp:
      return "APP_BLOCKED";
    case kReasonParental:
      return "PC_BLOCKED";
    case kReasonAdblock:
      return "AD_BLOCKED";
    default:
      return "ISEC_BLOCKED";
  }
}

// The answer address for an allowed query of a station with safe search on (network order; 0
// when the name is not a search service in the table).
uint32_t SafeSearchAddress(const std::string& domain) {
  std::optional<std::string> ip = GetSafeSearchIpv4Addr(domain.c_str());
  if (!ip) return 0;
  in_addr addr{};
  if (inet_pton(AF_INET, ip->c_str(), &addr) != 1) return 0;
  LogOut(LL_INFO, "ProcessEdgeResponse: Queryurl : %s, safe search ip : %s", domain.c_str(),
         ip->c_str());
  return addr.s_addr;
}

// Asks for the classification of one pending lookup. 0 or -1.
int SendLookup(const EdgeRequest& r) {
  std::vector<uint8_t> payload;
  if (gCloudLookups) {
    std::string site = (r.domain.compare(0, 3, "www") == 0 ? "http://" : "http://www.") + r.domain;
    auto req = zc::pb::Make<Zun__Edge__EDGEDNSREQUEST>();
    req.client_mac = const_cast<char*>(r.mac.c_str());
    req.site = site.data();
    req.seqno = r.seqno;
    payload = zc::pb::Pack(req);
    LogOut(LL_DEBUG, "EDGE_REQUEST: for clientmac:%s, site:%s, transid:%x, seqno:%llu",
           r.mac.c_str(), site.c_str(), r.transid, static_cast<unsigned long long>(r.seqno));
    std::string subject = GetStringKVPOr(zc::filterkeys::kDnsSubject, "");
    std::string inbox = Inbox();
    if (subject.empty() || inbox.empty()) return -1;
    return EdgePublish(subject.c_str(), inbox.c_str(), payload);
  }
  // The classification service is not wired in: the answer loops back with no category.
  auto resp = zc::pb::Make<Zun__Edge__EDGEDNSRESP>();
  resp.sec_category_id = 0;
  resp.app = const_cast<char*>("Sample");
  resp.seqno = r.seqno;
  payload = zc::pb::Pack(resp);
  return EdgePublish(filterkeys::kLoopbackSubject, nullptr, payload);
}

void ExpiryBody() {
  while (gExpiryStop.SleepScaled(std::chrono::milliseconds(100))) {
    ExpireLookups(SteadyClock::now());
  }
}

}  // namespace

void SetMacResolverForTest(MacResolver resolver) {
  std::lock_guard lock(gResolverMutex);
  gResolver = std::move(resolver);
}

EdgeRequests& Pending() {
  return gPending;
}

uint64_t TimedOutLookups() {
  return gTimedOut.load();
}

uint64_t CompletedLookups() {
  return gCompleted.load();
}

bool EdgeActive() {
  return g_isEdgeActive.load();
}

void SetFlagsForTest(bool reputation, bool active, bool cloud) {
  edgeReputation = reputation;
  g_isEdgeActive = active;
  gCloudLookups = cloud;
}

void FinishAllowed(const EdgeRequest& r, const char* why) {
  LogOut(LL_INFO, "%s: %s allowed for %s, seqno:%llu", "EdgeLookup", r.domain.c_str(), why,
         static_cast<unsigned long long>(r.seqno));
  zc::dns::DnsVerdict verdict{kDecisionAllowed, 0};
  bool safe = false;
  {
    std::lock_guard lock(ProfileLock);
    safe = r.station && r.station->safe_search;
  }
  if (safe) verdict.safe_ipv4 = SafeSearchAddress(r.domain);
  PostVerdict(r.handle, verdict);
}

size_t ExpireLookups(SteadyClock::time_point now) {
  std::vector<EdgeRequest> expired = gPending.Expire(now - zc::Scaled(kLookupTimeout));
  for (const EdgeRequest& r : expired) {
    gTimedOut++;
    EdgeHistoGram.Add(kLookupTimeout.count());
    LogOut(LL_WARN, "EdgeLookup: no answer for seqno:%llu url:%s, allowed after time-out",
           static_cast<unsigned long long>(r.seqno), r.domain.c_str());
    FinishAllowed(r, "time-out");
  }
  return expired.size();
}

void StartExpiry() {
  std::lock_guard lock(gExpiryMutex);
  if (gExpiry.joinable()) return;
  gExpiryStop.Reset();
  gExpiry = std::thread(ExpiryBody);
}

void StopExpiry() {
  std::thread t;
  {
    std::lock_guard lock(gExpiryMutex);
    t = std::move(gExpiry);
  }
  if (!t.joinable()) return;
  gExpiryStop.RequestStop();
  t.join();
}

}  // namespace zc::filter

using namespace zc::filter;

zc::dns::DnsVerdict GetUrlReputation(const zc::dns::VerdictQuery& query) {
  if (!edgeReputation) return {kDecisionAllowed, 0};
  // Marked active again before checking; lookups held while the edge reported no responders
  // will get no answer, so they are answered now (fail-open) rather than dropped.
  if (!g_isEdgeActive.exchange(true)) {
    LogOut(LL_CRIT, "%s: EdgeDNS is not active, skip GetUrlReputation !!!", "GetUrlReputation");
    std::vector<EdgeRequest> held = gPending.TakeAll();
    LogOut(LL_INFO, "Total number of nodes in the tree:%zu", held.size());
    for (const EdgeRequest& r : held) FinishAllowed(r, "edge inactive");
  }
  EdgeRequest r;
  r.domain = Lower(query.domain);
  r.mac = MacOf(query.client);
  r.handle = query.handle;
  r.transid = query.id;
  r.qtype = query.qtype;
  bool isec = gInternetSecurityEnabled;
  Decision d;
  {
    std::lock_guard lock(ProfileLock);
    LogOut(LL_DEBUG, "GetProfile");
    r.station = SearchStation(r.mac);
    d = DecideAtOnce(r.station.get(), isec, r.domain);
  }
  if (d.decision == kDecisionBlacklist) {
    LogOut(LL_INFO, "URLFILTER_BLOCKED - mac : %s, url_type :%s, seqno:%lld url:%s", r.mac.c_str(),
           "BLACKLIST", 0LL, r.domain.c_str());
    Record(r.mac, r.domain, d.records);
    return {kDecisionBlacklist, 0};
  }
  if (d.decision == kDecisionAllowed) {
    if (!r.station) {
      LogOut(LL_DEBUG, "GetUrlReputation:profile not configured for the station:%s", r.mac.c_str());
    }
    return {kDecisionAllowed, 0};
  }
  r.requested = SteadyClock::now();
  std::optional<uint64_t> seqno = gPending.Insert(r);
  if (!seqno) {
    LogOut(LL_WARN, "GetUrlReputation: too many pending lookups, %s allowed", r.domain.c_str());
    return {kDecisionAllowed, 0};
  }
  r.seqno = *seqno;
  if (SendLookup(r) != 0) {
    // The lookup stays pending: the time-out allows it.
    LogOut(LL_ERR, "GetUrlReputation: Edge response publish failed");
  }
  return {zc::dns::kVerdictPending, 0};
}

int HandleEdgeResponse(const Zun__Edge__EDGEDNSRESP& response) {
  std::optional<EdgeRequest> found = gPending.Extract(response.seqno);
  if (!found) {
    // Duplicates and other agents' loop-back answers land here: not an error of ours.
    LogOut(LL_DEBUG, "HandleEdgeResponse: avl tree entry not found for seqno:%llu",
           static_cast<unsigned long long>(response.seqno));
    return -1;
  }
  const EdgeRequest& r = *found;
  auto rtt =
      std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - r.requested);
  // Logged and counted in real milliseconds.
  int64_t realMs = static_cast<int64_t>(static_cast<double>(rtt.count()) / zc::TimeScale());
  LogOut(realMs > 300 ? LL_INFO : LL_DEBUG, "%sEDGE_RESPONSE: rtt:%lld ms, received for seqno:%llu",
         realMs > 300 ? "#######" : "", static_cast<long long>(realMs),
         static_cast<unsigned long long>(r.seqno));
  EdgeHistoGram.Add(realMs);

  EdgeAnswer answer;
  answer.categories.assign(response.category_id, response.category_id + response.n_category_id);
  answer.sec_category_id = response.sec_category_id;
  answer.app = response.app ? response.app : "NA";
  Decision d;
  bool safe = false;
  {
    std::lock_guard lock(ProfileLock);
    d = DecideOnAnswer(r.station.get(), gInternetSecurityEnabled, answer);
    safe = r.station && r.station->safe_search;
  }
  for (const BlockRecord& b : d.records) {
    if (b.reason == kReasonApp) {
      LogOut(LL_INFO, "APP_BLOCKED - mac : %s, app_name :%s, seqno:%llu url:%s", r.mac.c_str(),
             b.app_name.c_str(), static_cast<unsigned long long>(r.seqno), r.domain.c_str());
    } else {
      LogOut(LL_INFO, "%s - mac : %s, category_id :%u, seqno:%llu url:%s", DecisionTag(b.reason),
             r.mac.c_str(), b.category_id, static_cast<unsigned long long>(r.seqno),
             r.domain.c_str());
    }
  }
  Record(r.mac, r.domain, d.records);

  zc::dns::DnsVerdict verdict{d.decision, 0};
  if (d.decision == kDecisionAllowed && safe) {
    LogOut(LL_DNS, "ProcessEdgeResponse: url:%s allowed, safesearch:%d", r.domain.c_str(), 1);
    verdict.safe_ipv4 = SafeSearchAddress(r.domain);
  } else if (d.decision != kDecisionAllowed) {
    LogOut(LL_DNS, "ProcessEdgeResponse: blocking queryurl:%s, transid:%x", r.domain.c_str(),
           r.transid);
  }
  gCompleted++;
  PostVerdict(r.handle, verdict);
  return 0;
}

void EdgeResponseCallBack(const void* payload, int length) {
  if (payload && length == 0) {
    g_isEdgeActive = false;
    LogOut(LL_CRIT, "%s: EdgeDNS is not active, FIX it ASAP !!!", "EdgeResponseCallBack");
    return;
  }
  LogOut(LL_DEBUG, "%s: EdgeDNS is active now", "EdgeResponseCallBack");
  g_isEdgeActive = true;
  if (!payload) {
    LogOut(LL_DEBUG, "EdgeResponseCallBack: Null message received from nats");
    return;
  }
  auto response = zc::pb::Unpack<Zun__Edge__EDGEDNSRESP>(payload, static_cast<size_t>(length));
  if (!response) {
    LogOut(LL_ERR, "EdgeResponseCallBack: Error unpacking incoming protobuff dns message:%d",
           length);
    return;
  }
  LogOut(LL_DNS, "EdgeResponseCallBack: app_name : %s, seqno %llu",
         response->app ? response->app : "", static_cast<unsigned long long>(response->seqno));
  if (response->seqno == 0) return;
  for (size_t i = 0; i < response->n_category_id; ++i) {
    LogOut(LL_DNS, "EdgeResponseCallBack: category_id : %u sec_category_id : %u, seqno %llu",
           response->category_id[i], response->sec_category_id,
           static_cast<unsigned long long>(response->seqno));
  }
  if (HandleEdgeResponse(*response) != 0) {
    LogOut(LL_DEBUG, "HandleEdgeResponse: Unable to handle the edge response");
  }
}
