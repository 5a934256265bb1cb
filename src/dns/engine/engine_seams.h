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
#include <optional>
#include <string>
#include <vector>

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
  int speed = -1;  // best ping time, tenths of a millisecond
};

class AnswerCache {
 public:
  virtual ~AnswerCache() = default;
  virtual std::optional<CachedAnswer> Lookup(const CacheKey& key) {
    (void)key;
    return std::nullopt;
  }
  virtual void Store(const CacheKey& key, const CachedAnswer& answer) {
    (void)key;
    (void)answer;
  }
  // Periodic sweep (every 2 s; also after the clock jumped).
  virtual void Sweep(bool clock_jumped) { (void)clock_jumped; }
};

// One address to measure.
struct SpeedProbe {
  int family = AF_INET;
  uint8_t addr[16] = {};
};

class SpeedChecker {
 public:
  virtual ~SpeedChecker() = default;
  // Whether checks can run at all; when false the engine answers without waiting for any.
  virtual bool Available() const { return false; }
  // Starts checks for a request's addresses; results come back through a posted task.
  virtual bool Start(DnsRequestHandle handle, const std::vector<SpeedProbe>& probes) {
    (void)handle;
    (void)probes;
    return false;
  }
};

}  // namespace zc::dns
