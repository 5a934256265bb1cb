#include "utils/monitor.h"

#include <thread>

#include "utils/timescale.h"

ThreadMonitor gUplinkThreadMonitor;
ThreadMonitor gTelemetryThreadMonitor;
ThreadMonitor gEventThreadMonitor;
ThreadMonitor gJournalThreadMonitor;
// Expected only once the DNS modules start the histogram worker.
ThreadMonitor gHistogramThreadMonitor{false};

void StopToken::RequestStop() {
  {
    std::lock_guard lock(mutex_);
    stop_.store(true);
  }
  cv_.notify_all();
}

bool StopToken::SleepScaled(std::chrono::milliseconds real) {
  std::unique_lock lock(mutex_);
  return !cv_.wait_for(lock, zc::Scaled(real), [this] { return stop_.load(); });
}

bool SleepCounting(std::chrono::milliseconds period, ThreadMonitor& monitor, StopToken* stop) {
  auto left = period;
  while (left.count() > 0) {
    auto slice = std::min<std::chrono::milliseconds>(left, kMonitorSlice);
    if (stop) {
      if (!stop->SleepScaled(slice)) return false;
    } else {
      zc::SleepScaled(slice);
    }
    left -= slice;
    if (left.count() > 0) monitor.Tick();
  }
  return true;
}
