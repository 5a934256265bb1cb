#include "telemetry/data_usage.h"

#include <algorithm>
#include <cstring>
#include <tuple>

#include "utils/log.h"

namespace zc::usage {

Reading ApplyReading(Rule rule, uint64_t r0, uint64_t t0, uint64_t r1, uint64_t t1) {
  const bool rxBack = r1 < r0;
  const bool txBack = t1 < t0;
  if (rxBack || txBack) {
    // A counter that went back restarted (re-association, driver reload, or its own 32-bit wrap):
    // its new reading is what it counted since; the other direction is its plain difference.
    return {rxBack ? r1 : r1 - r0, txBack ? t1 : t1 - t0, true};
  }
  const bool grew = rule == Rule::kClient ? (r1 > r0 && t1 > t0) : true;
  if (!grew) return {};  // one counter unchanged: measured later from the stored values
  return {r1 - r0, t1 - t0, true};
}

void UsageStore::BeginPass(int64_t now) {
  now_ = now;
  for (auto it = entries_.begin(); it != entries_.end();) {
    it->second.refreshed = false;
    if (now - it->second.refreshedAt >= kStaleSeconds) {
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
}

void UsageStore::MakeRoom() {
  // The element refreshed longest ago goes; one with traffic still to report only when every
  // element has some.
  auto victim = entries_.end();
  auto rank = [](const UsageEntry& e) {
    return std::make_tuple(e.deltaRx != 0 || e.deltaTx != 0, e.refreshedAt);
  };
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (victim == entries_.end() || rank(it->second) < rank(victim->second)) victim = it;
  }
  if (victim != entries_.end()) entries_.erase(victim);
}

int UsageStore::Update(const std::string& key, const std::string& ip, uint32_t connType,
                       const std::string& connName, uint64_t rx, uint64_t tx) {
  if (key.empty()) return -1;
  auto it = entries_.find(key);
  if (it == entries_.end()) {
    if (entries_.size() >= capacity_) MakeRoom();
    UsageEntry e;
    e.key = key;
    e.ip = ip;
    e.connType = connType;
    e.connName = connName;
    e.cumulativeRx = rx;
    e.cumulativeTx = tx;
    e.refreshedAt = now_;
    e.refreshed = true;
    entries_.emplace(key, std::move(e));
    return 0;
  }
  UsageEntry& e = it->second;
  Reading r = ApplyReading(rule_, e.cumulativeRx, e.cumulativeTx, rx, tx);
  e.refreshedAt = now_;
  e.refreshed = true;
  if (r.store) {
    e.deltaRx += r.deltaRx;
    e.deltaTx += r.deltaTx;
    e.cumulativeRx = rx;
    e.cumulativeTx = tx;
    e.ip = ip;
    e.connType = connType;
    e.connName = connName;
  }
  return 0;
}

std::vector<UsageEntry> UsageStore::Snapshot(size_t max) const {
  std::vector<const UsageEntry*> all;
  all.reserve(entries_.size());
  for (const auto& [key, e] : entries_) all.push_back(&e);
  if (all.size() > max) {
    auto rank = [](const UsageEntry* e) {
      return std::make_tuple(e->deltaRx != 0 || e->deltaTx != 0, e->refreshedAt);
    };
    std::stable_sort(all.begin(), all.end(),
                     [&](const UsageEntry* a, const UsageEntry* b) { return rank(a) > rank(b); });
    all.resize(max);
    std::sort(all.begin(), all.end(),
              [](const UsageEntry* a, const UsageEntry* b) { return a->key < b->key; });
  }
  std::vector<UsageEntry> out;
  out.reserve(all.size());
  for (const UsageEntry* e : all) out.push_back(*e);
  return out;
}

void UsageStore::Commit(const std::vector<UsageEntry>& sent) {
  for (const UsageEntry& s : sent) {
    auto it = entries_.find(s.key);
    if (it == entries_.end()) continue;
    // Only what went out is taken off: a reading applied since stays for the next message.
    it->second.deltaRx -= std::min(it->second.deltaRx, s.deltaRx);
    it->second.deltaTx -= std::min(it->second.deltaTx, s.deltaTx);
  }
}

const UsageEntry* UsageStore::Find(const std::string& key) const {
  auto it = entries_.find(key);
  return it == entries_.end() ? nullptr : &it->second;
}

}  // namespace zc::usage

zc::usage::UsageStore& ClientDataUsageDB() {
  static zc::usage::UsageStore store(zc::usage::Rule::kClient, zc::usage::kClientStoreMax);
  return store;
}

zc::usage::UsageStore& IfDataUsageDB() {
  static zc::usage::UsageStore store(zc::usage::Rule::kInterface, zc::usage::kIfStoreMax);
  return store;
}

void InitClientDataUsageDB() {
  ClientDataUsageDB().Clear();
}

void InitIfDataUsageDB() {
  IfDataUsageDB().Clear();
}

int UpdateClientDataUsageEntryInDB(const DataUsageRecord& r) {
  std::string mac(r.mac, strnlen(r.mac, sizeof r.mac));
  if (!ClientDataUsageDB().Find(mac)) {
    LogOut(LL_DEBUG, "UpdateClientDataUsageEntryInDB: Entry not available for the mac :%s",
           mac.c_str());
  }
  int rc = ClientDataUsageDB().Update(
      mac, std::string(r.ip, strnlen(r.ip, sizeof r.ip)), r.connType,
      std::string(r.connName, strnlen(r.connName, sizeof r.connName)), r.rxBytes, r.txBytes);
  if (const auto* e = ClientDataUsageDB().Find(mac)) {
    LogOut(LL_DEBUG,
           "cumulative_client_rxbytes   : %llu cumulative_client_txbytes   : %llu "
           "delta_client_rxbytes      : %llu delta_client_txbytes      : %llu",
           static_cast<unsigned long long>(e->cumulativeRx),
           static_cast<unsigned long long>(e->cumulativeTx),
           static_cast<unsigned long long>(e->deltaRx),
           static_cast<unsigned long long>(e->deltaTx));
  }
  return rc;
}

int UpdateIfDataUsageEntryInDB(const InterfaceStatsRecord& r) {
  std::string name(r.connName, strnlen(r.connName, sizeof r.connName));
  if (!IfDataUsageDB().Find(name)) {
    LogOut(LL_DEBUG,
           "UpdateIfDataUsageEntryInDB: Entry not available in the avl tree for interface:%s",
           name.c_str());
  }
  int rc = IfDataUsageDB().Update(name, "", r.connType, name, r.rxBytes, r.txBytes);
  if (const auto* e = IfDataUsageDB().Find(name)) {
    LogOut(LL_DEBUG,
           "cumulative_if_rxbytes : %llu cumulative_if_txbytes : %llu delta_if_rxbytes      : "
           "%llu delta_if_txbytes      : %llu",
           static_cast<unsigned long long>(e->cumulativeRx),
           static_cast<unsigned long long>(e->cumulativeTx),
           static_cast<unsigned long long>(e->deltaRx),
           static_cast<unsigned long long>(e->deltaTx));
  }
  return rc;
}
