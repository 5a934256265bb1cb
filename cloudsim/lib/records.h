// What the simulator saw: one JSON record per event, kept in memory for queries and appended to
// records.jsonl as one line each.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "lib/json_util.h"

namespace cloudsim {

struct RecordFilter {
  std::string kind;
  std::string subject;
  std::string type;
  std::string transid;
  int64_t since = 0;  // records with seq > since
  // "path=value" pairs on the record ("decoded.mac=02:..", "headers.zun-proto=v1").
  std::vector<std::pair<std::string, std::string>> match;

  bool Matches(const json_object* record) const;
};

class RecordStore {
 public:
  explicit RecordStore(std::string jsonlPath);

  // Completes the record (seq, time, mono_ms, agent_ms), stores and appends it; returns seq.
  int64_t Add(JsonPtr record);
  // Matching records in order, at most limit (0: all).
  JsonPtr Query(const RecordFilter& filter, size_t limit = 0) const;
  size_t Count(const RecordFilter& filter) const;
  void Clear();
  // Called after every Add, on the adding thread.
  void SetListener(std::function<void()> listener);

 private:
  std::string path_;
  std::chrono::steady_clock::time_point start_;
  mutable std::mutex mutex_;
  std::vector<JsonPtr> records_;
  int64_t nextSeq_ = 1;
  std::function<void()> listener_;
};

}  // namespace cloudsim
