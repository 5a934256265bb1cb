// Pending reputation lookups: one record per held query, keyed by a sequence number. Every record
// leaves the table exactly once, through Extract (an answer), Expire (time-out), TakeAll (the edge
// went inactive) or Purge (its engine generation stopped); whoever took it finishes it. The
// table is bounded in all and per client: over a cap the caller allows the query at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "config/profileutils.h"
#include "dns/common/engine_seams.h"

namespace zc::filter {

inline constexpr size_t kMaxPendingLookups = 2048;
inline constexpr size_t kMaxPendingPerClient = 256;
inline constexpr std::chrono::milliseconds kLookupTimeout{1500};

using SteadyClock = std::chrono::steady_clock;

struct EdgeRequest {
  uint64_t seqno = 0;
  zc::dns::DnsRequestHandle handle;
  StationPtr station;  // keeps a deleted station's settings until the lookup ends
  std::string domain;  // lower case
  std::string mac;
  uint16_t transid = 0;
  uint16_t qtype = 0;
  SteadyClock::time_point requested{};  // when the classification was asked for
};

class EdgeRequests {
 public:
  // Seeds the sequence numbers (they only grow; 0 is never handed out).
  explicit EdgeRequests(uint64_t firstSeqno = 1);
  // Assigns the next seqno and stores the record; nothing when a cap is reached.
  std::optional<uint64_t> Insert(EdgeRequest request);
  // Finds and removes in one step: a seqno delivered twice finishes once.
  std::optional<EdgeRequest> Extract(uint64_t seqno);
  // Removes every record requested before the cutoff.
  std::vector<EdgeRequest> Expire(SteadyClock::time_point cutoff);
  std::vector<EdgeRequest> TakeAll();
  std::vector<EdgeRequest> Purge(uint64_t generation);
  size_t size() const;
  size_t PendingFor(const std::string& mac) const;

 private:
  void Forget(const EdgeRequest& r);  // mutex held
  mutable std::mutex EdgeReqMutex;
  std::map<uint64_t, EdgeRequest> tree_;
  std::unordered_map<std::string, size_t> perClient_;
  uint64_t nextSeqno_;
};

}  // namespace zc::filter
