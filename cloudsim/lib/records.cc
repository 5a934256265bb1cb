#include "lib/records.h"

#include <sys/time.h>

#include <cstdio>
#include <ctime>

#include "utils/timescale.h"

namespace cloudsim {

bool RecordFilter::Matches(const json_object* record) const {
  auto same = [&](const char* key, const std::string& want) {
    if (want.empty()) return true;
    auto have = StringMember(record, key);
    return have && *have == want;
  };
  if (!same("kind", kind) || !same("subject", subject) || !same("type", type)) return false;
  if (since > 0) {
    auto seq = IntMember(record, "seq");
    if (!seq || *seq <= since) return false;
  }
  if (!transid.empty()) {
    json_object* t = PathGet(record, "decoded.transid");
    if (!t || ScalarText(t) != transid) return false;
  }
  for (const auto& [path, value] : match) {
    json_object* v = PathGet(record, path);
    if (!v || ScalarText(v) != value) return false;
  }
  return true;
}

RecordStore::RecordStore(std::string jsonlPath)
    : path_(std::move(jsonlPath)), start_(std::chrono::steady_clock::now()) {}

int64_t RecordStore::Add(JsonPtr record) {
  auto mono = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start_)
                  .count();
  timeval now{};
  gettimeofday(&now, nullptr);
  struct tm utc {};
  gmtime_r(&now.tv_sec, &utc);
  char iso[40];
  size_t n = strftime(iso, sizeof iso, "%Y-%m-%dT%H:%M:%S", &utc);
  snprintf(iso + n, sizeof iso - n, ".%03dZ", static_cast<int>(now.tv_usec / 1000));

  int64_t seq;
  std::function<void()> listener;
  {
    std::lock_guard lock(mutex_);
    seq = nextSeq_++;
    json_object_object_add(record.get(), "seq", json_object_new_int64(seq));
    json_object_object_add(record.get(), "time", json_object_new_string(iso));
    json_object_object_add(record.get(), "mono_ms", json_object_new_int64(mono));
    json_object_object_add(
        record.get(), "agent_ms",
        json_object_new_int64(static_cast<int64_t>(static_cast<double>(mono) / zc::TimeScale())));
    if (!path_.empty()) {
      if (FILE* f = fopen(path_.c_str(), "ae")) {
        fprintf(f, "%s\n", JsonText(record.get()).c_str());
        fclose(f);
      }
    }
    records_.push_back(std::move(record));
    listener = listener_;
  }
  if (listener) listener();
  return seq;
}

JsonPtr RecordStore::Query(const RecordFilter& filter, size_t limit) const {
  JsonPtr out(json_object_new_array());
  std::lock_guard lock(mutex_);
  for (const JsonPtr& r : records_) {
    if (!filter.Matches(r.get())) continue;
    json_object_array_add(out.get(), json_object_get(r.get()));
    if (limit && json_object_array_length(out.get()) >= limit) break;
  }
  return out;
}

size_t RecordStore::Count(const RecordFilter& filter) const {
  std::lock_guard lock(mutex_);
  size_t n = 0;
  for (const JsonPtr& r : records_) n += filter.Matches(r.get()) ? 1 : 0;
  return n;
}

void RecordStore::Clear() {
  std::lock_guard lock(mutex_);
  records_.clear();
}

void RecordStore::SetListener(std::function<void()> listener) {
  std::lock_guard lock(mutex_);
  listener_ = std::move(listener);
}

}  // namespace cloudsim
