// The engine's seams towards modules that come later or live elsewhere: the filter's verdict,
// the answer cache and the speed checker. Each has a default that does nothing (every verdict
// "allowed", never a cache hit, no speed checks), so the engine runs complete without them.
//
// All calls into a seam happen on the engine thread. Results that arrive later from other
// threads go back through DnsEngine::PostVerdict (or a posted task), never by touching requests.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "dns/common/speed_orders.h"

namespace zc::dns {

// Names a request across threads: a verdict for a request that is gone, or that belongs to an
// engine generation that was stopped, is dropped.
struct DnsRequestHandle {
  uint64_t generation = 0;
  uint64_t id = 0;
};

// Filter verdicts, as the filter writes them.
inline constexpr int kVerdictPending = -1;
inline constexpr int kVerdictAllowed = 1;

struct DnsVerdict {
  int decision = kVerdictAllowed;  // kVerdictPending, kVerdictAllowed, or a blocking code
  uint32_t safe_ipv4 = 0;          // allowed with safe search: A answers get this address
};

struct VerdictQuery {
  DnsRequestHandle handle;
  std::string domain;
  uint16_t qtype = 0;
  uint16_t id = 0;  // the client's message ID
  sockaddr_storage client{};
  socklen_t client_len = 0;
};

class VerdictHook {
 public:
  virtual ~VerdictHook() = default;
  // Returns the verdict now, or kVerdictPending and later DnsEngine::PostVerdict(handle, ...).
  virtual DnsVerdict Ask(const VerdictQuery& query) = 0;
  // The engine stopped: forget every pending lookup of that generation (nothing is posted).
  virtual void Purge(uint64_t generation) { (void)generation; }
  // A client request's first upstream answer arrived, this long after the request started
  // (upstream latency metrics).
  virtual void UpstreamAnswered(std::chrono::steady_clock::duration elapsed) { (void)elapsed; }
};

// What the cache is asked for and given. The key carries everything that changes the answer.
struct CacheKey {
  std::string domain;  // lower case
  uint16_t qtype = 0;
  std::string group;
  std::string client_subnet;  // empty when none
};

struct CachedAnswer {
  std::vector<uint8_t> packet;  // pristine encoded reply
  int ttl = 0;                  // TTL left; 0 = served expired
  bool soa = false;
  int speed = -1;           // best ping time, tenths of a millisecond
  uint32_t bind_flags = 0;  // flags of the listener the answer was produced for
  bool refresh = false;     // Lookup: served expired with no refresh under way; start one
};

// How a stored answer treats the entry already there.
enum class CacheStoreKind : uint8_t {
  kAnswer,          // a client's answer: a new entry
  kRefresh,         // a refresh before expiry: the entry keeps its popularity
  kExpiredRefresh,  // a refresh of an expired entry: it stays among the expired
};

// The cache settings of one engine start (from the option file).
struct CacheSettings {
  int64_t size = 512;  // entries; 0 disables the cache
  bool serve_expired = true;
  int64_t serve_expired_ttl = 86400;
  bool prefetch = false;
  int64_t serve_expired_prefetch_time = 0;
  bool persist = true;
  std::string file;     // router path; empty: the default
  int64_t max_ttl = 0;  // the engine's TTL ceiling for loaded entries; 0: the cache's own
};

// Starts the refresh of a cached answer: the same query without a client, whose answer is
// stored with kRefresh (or kExpiredRefresh when `expired`).
using CacheRefresh = std::function<void(const CacheKey& key, uint32_t bind_flags, bool expired)>;

class AnswerCache {
 public:
  virtual ~AnswerCache() = default;
  // Engine start, before the loop runs: the settings, and where refreshes go.
  virtual void Open(const CacheSettings& settings, CacheRefresh refresh) {
    (void)settings;
    (void)refresh;
  }
  // Fills *answer (assigning into its packet buffer, so a reused one allocates nothing) and
  // returns true on a hit.
  virtual bool Lookup(const CacheKey& key, CachedAnswer* answer) {
    (void)key;
    (void)answer;
    return false;
  }
  // Reads an entry without counting a hit or changing it: fills everything but the packet.
  // False when there is none (or only an expired one while stale answers are off).
  virtual bool Peek(const CacheKey& key, CachedAnswer* answer) {
    (void)key;
    (void)answer;
    return false;
  }
  virtual void Store(const CacheKey& key, const CachedAnswer& answer, CacheStoreKind kind) {
    (void)key;
    (void)answer;
    (void)kind;
  }
  // Periodic sweep (on every 100 ms beat, a slice at a time; whole after the clock jumped).
  virtual void Sweep(bool clock_jumped) { (void)clock_jumped; }
  // The engine's monotonic clock, read once per wake of its loop, for the calls that follow.
  virtual void SetTime(std::chrono::steady_clock::time_point now) { (void)now; }
  // Engine stop, after the loop ended.
  virtual void Close() {}
};

// One address to measure.
struct SpeedProbe {
  int family = AF_INET;
  uint8_t addr[16] = {};
};

// The checks of one request: the addresses not given before, when the request started (the
// time budget of its checks counts from there) and the check orders that apply to it (the
// configured ones, or its domain rule's); round n of the checks uses orders[n].
struct SpeedCheckStart {
  DnsRequestHandle handle;
  std::chrono::steady_clock::time_point started;
  SpeedCheckOrders orders{};
  bool may_answer_early = true;  // false: never set answer_now (prefetches run to the end)
  std::vector<SpeedProbe> probes;
};

// What the checks of a request found so far.
struct SpeedResult {
  DnsRequestHandle handle;
  // The fastest address first, then the others fast enough to be given with it, in the order
  // they were received. Empty while nothing was measured.
  std::vector<SpeedProbe> ranked;
  int best_time = -1;       // round trip of ranked[0], tenths of a millisecond
  bool answer_now = false;  // the fastest is good enough to reply with now
  bool last = false;        // the checks are over; no more results come for this request
};

class SpeedChecker {
 public:
  using Deliver = std::function<void(SpeedResult)>;
  virtual ~SpeedChecker() = default;
  // Binds the checker to an engine generation at its start. `deliver` runs on any thread and
  // must only post the result to the engine thread. False: the engine runs without checks.
  virtual bool Attach(uint64_t generation, const SpeedCheckOrders& orders, Deliver deliver) {
    (void)generation;
    (void)orders;
    (void)deliver;
    return false;
  }
  // At engine stop: every check ends, and no deliver call runs after this returns.
  virtual void Detach() {}
  // Whether checks can run at all; when false the engine answers without waiting for any.
  virtual bool Available() const { return false; }
  // Whether IPv6 is reachable; when not, AAAA answers are passed through unchecked.
  virtual bool Ipv6Available() const { return true; }
  // Starts checks for a request's new addresses; results come back through `deliver`.
  // False when nothing was started and nothing will come (answer without waiting).
  virtual bool Start(const SpeedCheckStart& start) {
    (void)start;
    return false;
  }
  // The request is over: its checks stop and nothing more is delivered for it.
  virtual void Cancel(DnsRequestHandle handle) { (void)handle; }
};

}  // namespace zc::dns
