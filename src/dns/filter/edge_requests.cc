#include "dns/filter/edge_requests.h"

namespace zc::filter {

EdgeRequests::EdgeRequests(uint64_t firstSeqno) : nextSeqno_(firstSeqno ? firstSeqno : 1) {}

std::optional<uint64_t> EdgeRequests::Insert(EdgeRequest request) {
  std::lock_guard lock(EdgeReqMutex);
  if (tree_.size() >= kMaxPendingLookups) return std::nullopt;
  size_t& count = perClient_[request.mac];
  if (count >= kMaxPendingPerClient) return std::nullopt;
  ++count;
  uint64_t seqno = nextSeqno_++;
  if (nextSeqno_ == 0) nextSeqno_ = 1;
  request.seqno = seqno;
  tree_.emplace(seqno, std::move(request));
  return seqno;
}

void EdgeRequests::Forget(const EdgeRequest& r) {
  auto it = perClient_.find(r.mac);
  if (it == perClient_.end()) return;
  if (--it->second == 0) perClient_.erase(it);
}

std::optional<EdgeRequest> EdgeRequests::Extract(uint64_t seqno) {
  std::lock_guard lock(EdgeReqMutex);
  auto it = tree_.find(seqno);
  if (it == tree_.end()) return std::nullopt;
  EdgeRequest r = std::move(it->second);
  tree_.erase(it);
  Forget(r);
  return r;
}

std::vector<EdgeRequest> EdgeRequests::Expire(SteadyClock::time_point cutoff) {
  std::vector<EdgeRequest> out;
  std::lock_guard lock(EdgeReqMutex);
  for (auto it = tree_.begin(); it != tree_.end();) {
    if (it->second.requested >= cutoff) {
      ++it;
      continue;
    }
    Forget(it->second);
    out.push_back(std::move(it->second));
    it = tree_.erase(it);
  }
  return out;
}

std::vector<EdgeRequest> EdgeRequests::TakeAll() {
  std::vector<EdgeRequest> out;
  std::lock_guard lock(EdgeReqMutex);
  for (auto& [seqno, r] : tree_) out.push_back(std::move(r));
  tree_.clear();
  perClient_.clear();
  return out;
}

std::vector<EdgeRequest> EdgeRequests::Purge(uint64_t generation) {
  std::vector<EdgeRequest> out;
  std::lock_guard lock(EdgeReqMutex);
  for (auto it = tree_.begin(); it != tree_.end();) {
    if (it->second.handle.generation != generation) {
      ++it;
      continue;
    }
    Forget(it->second);
    out.push_back(std::move(it->second));
    it = tree_.erase(it);
  }
  return out;
}

size_t EdgeRequests::size() const {
  std::lock_guard lock(EdgeReqMutex);
  return tree_.size();
}

size_t EdgeRequests::PendingFor(const std::string& mac) const {
  std::lock_guard lock(EdgeReqMutex);
  auto it = perClient_.find(mac);
  return it == perClient_.end() ? 0 : it->second;
}

}  // namespace zc::filter
