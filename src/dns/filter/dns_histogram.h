// DNS latency histograms: upstream (DoH) and edge round trips in 10 ms buckets, published as one
// DNSHISTOGRAM every interval by a worker thread (which also runs the edge health check).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace zc::histogram {

inline constexpr size_t kBuckets = 11;
inline constexpr int64_t kDefaultIntervalSeconds = 60;
inline constexpr const char* kDohDumpFile = "/tmp/zuncore_doh_histogram";
inline constexpr const char* kEdgeDumpFile = "/tmp/zuncore_edge_histogram";

using Counts = std::array<uint32_t, kBuckets>;

// 0-10 ms -> 0, 11-20 -> 1, ..., 91-100 -> 9, above -> 10; negative round trips count as 0.
size_t BucketOf(int64_t ms);

class Histogram {
 public:
  void Add(int64_t ms) { counters_[BucketOf(ms)].fetch_add(1, std::memory_order_relaxed); }
  Counts Snapshot() const;
  void Clear();

 private:
  std::array<std::atomic<uint32_t>, kBuckets> counters_{};
};

// "<label> --> 10c:%d 20c:%d ... >100c:%d"
std::string DumpLine(const char* label, const Counts& counts);

// The worker: publishes every `interval` on `subject` (message connection) and runs `cycle` (the
// health check) each time. Started once; a second start only replaces the settings.
struct WorkerSettings {
  std::string subject;
  std::chrono::seconds interval{kDefaultIntervalSeconds};
  std::function<void()> cycle;
};
void StartWorker(WorkerSettings settings);
void StopWorker();
bool WorkerRunning();

}  // namespace zc::histogram

extern zc::histogram::Histogram DohHistoGram;
extern zc::histogram::Histogram EdgeHistoGram;

// Builds and publishes one DNSHISTOGRAM on the metrics subject. 0 or -1.
int UpdateDnsHistogram();
void DumpDohHistoGram();
void DumpEdgeHistoGram();
