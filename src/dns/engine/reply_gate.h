// The per-request reply gate and the table of merged queries. Both are plain data on the engine
// thread; the gate decides when a request's one reply may go out, the merge table which
// requests share one upstream query.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "dns/codec/dns_packet.h"
#include "dns/common/engine_seams.h"

namespace zc::dns {

// Address given to blocked A queries.
inline constexpr uint32_t kBlockAddressHostOrder = 0x7F000001;  // 127.0.0.1

enum class AnswerSource : uint8_t { kUpstream, kMerged, kCache, kLocal, kFinal };

// A ready answer: the pristine encoded reply shared by every client that gets it. Per-client
// changes (ID, TTL, verdict address, client-subnet echo, truncation) are made on a copy at
// send time, so nothing of one client reaches another.
struct GateAnswer {
  std::vector<uint8_t> packet;
  int32_t ttl = -1;  // TTL for every record at send time; negative keeps the received ones
  AnswerSource source = AnswerSource::kUpstream;
  bool soa = false;            // the answer has no address (for the audit line)
  bool dualstack_soa = false;  // ...because the other family is faster
};

class ReplyGate {
 public:
  // A queries wait for the verdict; every other type answers as soon as the answer is ready.
  explicit ReplyGate(bool waits_for_verdict = false) : waits_(waits_for_verdict) {}

  // The first answer counts; later ones are ignored. False when ignored.
  bool SetAnswer(GateAnswer answer);
  // The first decided verdict counts. False when ignored.
  bool SetVerdict(const DnsVerdict& verdict);

  bool has_answer() const { return answer_.has_value(); }
  bool verdict_pending() const { return verdict_.decision == kVerdictPending; }
  bool sent() const { return sent_; }
  const GateAnswer* answer() const { return answer_ ? &*answer_ : nullptr; }
  const DnsVerdict& verdict() const { return verdict_; }

  // True exactly once: when the answer is ready and (for A) the verdict is decided.
  bool TakeSendTurn();

  // Address for the A records of this client's copy (network order); 0 keeps them.
  uint32_t ARewrite() const;

  // The request is done: hands over the answer's packet buffer for reuse.
  std::vector<uint8_t> ReleasePacket() {
    std::vector<uint8_t> packet;
    if (answer_) packet.swap(answer_->packet);
    return packet;
  }

 private:
  bool waits_;
  std::optional<GateAnswer> answer_;
  DnsVerdict verdict_{kVerdictPending, 0};
  bool sent_ = false;
};

// Key of a merged query: every input that changes the upstream answer.
std::string MergeKey(std::string_view domain_lower, uint16_t qtype, std::string_view group,
                     std::string_view client_subnet, bool no_cache);

class MergeTable {
 public:
  // Registers `id` as the leader of `key`, or returns the existing leader (and adds `id` to
  // its waiters).
  std::optional<uint64_t> JoinOrLead(const std::string& key, uint64_t id);
  // Ends the entry of `key` led by `leader`; returns its waiters.
  std::vector<uint64_t> Finish(const std::string& key, uint64_t leader);
  size_t size() const { return entries_.size(); }
  void Clear() { entries_.clear(); }

 private:
  struct Entry {
    uint64_t leader;
    std::vector<uint64_t> waiters;
  };
  std::unordered_map<std::string, Entry> entries_;
};

}  // namespace zc::dns
