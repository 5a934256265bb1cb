// Liveness counters of the long-lived threads, read by the health report.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

// Longest a monitored thread sleeps between two counts: the health report runs every 300 s, so a
// thread with a longer period counts once per slice.
inline constexpr std::chrono::seconds kMonitorSlice{60};

struct ThreadMonitor {
  explicit ThreadMonitor(bool expectedAtStart = true) : expected(expectedAtStart) {}
  std::atomic<uint32_t> count{0};
  // Checked by the health report only while expected: a module that was deliberately not
  // started is not missed.
  std::atomic<bool> expected;
  void Tick() { count.fetch_add(1, std::memory_order_relaxed); }
};

extern ThreadMonitor gUplinkThreadMonitor;
extern ThreadMonitor gTelemetryThreadMonitor;
extern ThreadMonitor gEventThreadMonitor;
extern ThreadMonitor gJournalThreadMonitor;
extern ThreadMonitor gHistogramThreadMonitor;

// A stop signal for a worker thread: an atomic flag plus a condition variable, so a sleeping
// thread wakes at once when asked to stop (never cancelled asynchronously).
class StopToken {
 public:
  void RequestStop();
  bool StopRequested() const { return stop_.load(); }
  // Sleeps for the scaled duration unless stopped first; false when stopped.
  bool SleepScaled(std::chrono::milliseconds real);
  void Reset() { stop_.store(false); }

 private:
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable cv_;
};

// Sleeps a (real) period in slices of at most kMonitorSlice, counting the monitor once per slice;
// false when stopped first.
bool SleepCounting(std::chrono::milliseconds period, ThreadMonitor& monitor,
                   StopToken* stop = nullptr);
