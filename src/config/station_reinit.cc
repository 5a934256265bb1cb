// Station re-initialisation after a profile change: the station is blocked, disconnected and,
// after a pause, unblocked, so it reconnects under its new profile. One worker serves every
// request: the MACs queued meanwhile share one pause, and a MAC queued again while it waits is
// not unblocked early.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <thread>

#include "config/config.h"
#include "config/config_internal.h"
#include "platform/device_ops.h"
#include "utils/files.h"
#include "utils/log.h"
#include "utils/timescale.h"

namespace {

class ReInitWorker {
 public:
  void Enqueue(std::string mac) {
    std::lock_guard lock(mutex_);
    pending_.insert(std::move(mac));
    if (!running_) {
      running_ = true;
      threads_.fetch_add(1);
      LogOut(LL_INFO, "creating the Sta reinit thread for %s", pending_.begin()->c_str());
      try {
        std::thread([this] { Run(); }).detach();
      } catch (const std::system_error&) {
        running_ = false;
        threads_.fetch_sub(1);
        LogOut(LL_ERR, "StationReInitOnProfileChange: Sta reinit thread creation failed");
      }
    }
  }

  int Threads() const { return threads_.load(); }

  void Drain() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return !running_; });
  }

 private:
  void Run() {
    // The agent's own score: the kernel should not pick this thread's process first.
    (void)zc::ResetOomAdj();  // not fatal: only the kernel's choice of victim changes
    std::unique_lock lock(mutex_);
    while (!pending_.empty()) {
      std::set<std::string> batch;
      batch.swap(pending_);
      lock.unlock();
      for (const std::string& mac : batch) {
        RouterDeviceOps.BlockStation(mac.c_str());
        RouterDeviceOps.DisconnectStation(mac.c_str());
      }
      zc::SleepScaled(kStationReInitWait);
      lock.lock();
      for (const std::string& mac : batch) {
        // Queued again meanwhile: the next round blocks it anew and unblocks it after its pause.
        if (pending_.count(mac)) continue;
        RouterDeviceOps.UnblockStation(mac.c_str());
      }
    }
    running_ = false;
    threads_.fetch_sub(1);
    idle_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable idle_;
  std::set<std::string> pending_;
  bool running_ = false;
  std::atomic<int> threads_{0};
};

ReInitWorker& Worker() {
  static ReInitWorker* worker = new ReInitWorker();  // outlives its detached thread
  return *worker;
}

}  // namespace

void StationReInitOnProfileChange(std::string mac) {
  if (mac.empty()) return;
  Worker().Enqueue(std::move(mac));
}

int StationReInitThreadsForTest() {
  return Worker().Threads();
}

void StationReInitDrainForTest() {
  Worker().Drain();
}
