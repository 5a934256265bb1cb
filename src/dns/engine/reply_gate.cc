#include "dns/engine/reply_gate.h"

#include <arpa/inet.h>

namespace zc::dns {

bool ReplyGate::SetAnswer(GateAnswer answer) {
  if (answer_ || sent_) return false;
  answer_ = std::move(answer);
  return true;
}

bool ReplyGate::SetVerdict(const DnsVerdict& verdict) {
  if (verdict_.decision != kVerdictPending || verdict.decision == kVerdictPending) return false;
  verdict_ = verdict;
  return true;
}

bool ReplyGate::TakeSendTurn() {
  if (sent_ || !answer_) return false;
  if (waits_ && verdict_.decision == kVerdictPending) return false;
  sent_ = true;
  return true;
}

uint32_t ReplyGate::ARewrite() const {
  if (verdict_.decision == kVerdictPending) return 0;
  if (verdict_.decision != kVerdictAllowed) return htonl(kBlockAddressHostOrder);
  return verdict_.safe_ipv4;
}

std::string MergeKey(std::string_view domain_lower, uint16_t qtype, std::string_view group,
                     std::string_view client_subnet, bool no_cache) {
  std::string key;
  key.reserve(domain_lower.size() + group.size() + client_subnet.size() + 8);
  key.append(domain_lower);
  key.push_back('\0');
  key.push_back(static_cast<char>(qtype >> 8));
  key.push_back(static_cast<char>(qtype & 0xFF));
  key.append(group);
  key.push_back('\0');
  key.append(client_subnet);
  key.push_back(no_cache ? '1' : '0');
  return key;
}

std::optional<uint64_t> MergeTable::JoinOrLead(const std::string& key, uint64_t id) {
  auto [it, inserted] = entries_.try_emplace(key, Entry{id, {}});
  if (inserted) return std::nullopt;
  it->second.waiters.push_back(id);
  return it->second.leader;
}

std::vector<uint64_t> MergeTable::Finish(const std::string& key, uint64_t leader) {
  auto it = entries_.find(key);
  if (it == entries_.end() || it->second.leader != leader) return {};
  std::vector<uint64_t> waiters = std::move(it->second.waiters);
  entries_.erase(it);
  return waiters;
}

}  // namespace zc::dns
