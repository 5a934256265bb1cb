// Per-client and per-interface data usage: the platform reports cumulative byte counters; these
// stores turn each reading into the traffic of the last telemetry period, across counter
// restarts, and hand telemetry a bounded snapshot.
//
// Deltas accumulate until a message that carried them was published (Commit), so a period whose
// message was skipped is reported in the next one instead of being lost; an element that got no
// reading reports nothing new.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/device_ops.h"

namespace zc::usage {

// What one message carries at most (the platform's input arrays have the same sizes).
inline constexpr size_t kClientSnapshotMax = kMaxDataUsage;
inline constexpr size_t kIfSnapshotMax = kMaxInterfaceStats;
// Elements kept at most; beyond, the one refreshed longest ago goes.
inline constexpr size_t kClientStoreMax = 256;
inline constexpr size_t kIfStoreMax = 32;
// An element without a reading for this long (agent seconds) is forgotten.
inline constexpr int64_t kStaleSeconds = 24 * 3600;

// Clients: both counters must grow for a difference; interfaces accept an unchanged counter.
enum class Rule { kClient, kInterface };

struct UsageEntry {
  std::string key;  // client MAC or interface name
  std::string ip;   // clients only
  uint32_t connType = 0;
  std::string connName;
  uint64_t cumulativeRx = 0;
  uint64_t deltaRx = 0;
  uint64_t cumulativeTx = 0;
  uint64_t deltaTx = 0;
  int64_t refreshedAt = 0;  // agent seconds of the last reading
  bool refreshed = false;   // a reading arrived in the current pass
};

// The outcome of one reading against the stored counters.
struct Reading {
  uint64_t deltaRx = 0;
  uint64_t deltaTx = 0;
  bool store = false;  // the new counters replace the stored ones
};
// r0/t0 stored, r1/t1 read now.
Reading ApplyReading(Rule rule, uint64_t r0, uint64_t t0, uint64_t r1, uint64_t t1);

class UsageStore {
 public:
  UsageStore(Rule rule, size_t capacity) : rule_(rule), capacity_(capacity) {}

  // Starts a refresh pass at `now` (agent seconds): nothing counts as refreshed yet, and elements
  // without a reading for kStaleSeconds are dropped.
  void BeginPass(int64_t now);
  // Applies one reading. 0, or -1 for an empty key.
  int Update(const std::string& key, const std::string& ip, uint32_t connType,
             const std::string& connName, uint64_t rx, uint64_t tx);
  // At most `max` elements in key order: those with traffic to report first, then the ones
  // refreshed most recently.
  std::vector<UsageEntry> Snapshot(size_t max) const;
  // The deltas of these elements went out: start counting afresh.
  void Commit(const std::vector<UsageEntry>& sent);

  const UsageEntry* Find(const std::string& key) const;
  size_t size() const { return entries_.size(); }
  void Clear() { entries_.clear(); }

 private:
  void MakeRoom();

  Rule rule_;
  size_t capacity_;
  int64_t now_ = 0;
  std::map<std::string, UsageEntry> entries_;
};

}  // namespace zc::usage

// The two stores of the process (telemetry thread).
zc::usage::UsageStore& ClientDataUsageDB();
zc::usage::UsageStore& IfDataUsageDB();
void InitClientDataUsageDB();
void InitIfDataUsageDB();

// Apply one platform reading. 0 or -1.
int UpdateClientDataUsageEntryInDB(const DataUsageRecord& record);
int UpdateIfDataUsageEntryInDB(const InterfaceStatsRecord& record);

// Refresh the stores from the platform (one pass each, at the start of every telemetry pass).
// 0, or -1 when a platform read failed (what was read before still counts).
int GetClientDataUsageWorker();
int GetIfDataUsageWorker();
