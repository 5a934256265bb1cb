#include "main/uplink.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "main/health.h"
#include "utils/files.h"
#include "utils/log.h"
#include "utils/monitor.h"
#include "utils/netprobe.h"
#include "utils/paths.h"
#include "utils/timeutil.h"

namespace {

struct UplinkThread {
  StopToken stop;
};

std::mutex gUplinkMutex;
// The running thread's state; shared with the thread so a stop never touches freed memory.
std::shared_ptr<UplinkThread> tPublisher;

void WriteOomAdjZero() {
  if (zc::ResetOomAdj() != 0) {
    // Not fatal: only the kernel's choice of victim under memory pressure changes.
    LogOut(LL_DEBUG, "%s: unable to reset /proc/self/oom_adj", "CheckUplinkThread");
  }
}

void CheckUplinkThread(std::shared_ptr<UplinkThread> self) {
  WriteOomAdjZero();
  LogOut(LL_INFO, "%s: Entering thread tid:%lu thread-gdb-pid:%d", "CheckUplinkThread",
         static_cast<unsigned long>(pthread_self()), static_cast<int>(gettid()));
  std::string statusFile = zc::RootPath(kUplinkStatusFile);
  ThreadLivenessCheck liveness;
  int counter = 0;
  while (!self->stop.StopRequested()) {
    LogOut(LL_DEBUG, "%s: awake", "CheckUplinkThread");
    gUplinkThreadMonitor.Tick();
    zc::TrimLogFile(statusFile);
    std::string localTime;
    if (GetLocalTime(localTime) != 0) {
      LogOut(LL_ERR, "%s: Unable to get the local time", "CheckUplinkThread");
      return;
    }
    if (is_internet_online() != 0) {
      LogOut(LL_DEBUG, "echo uplink offline at %s >> %s", localTime.c_str(), kUplinkStatusFile);
      if (zc::AppendLine(statusFile, "uplink offline at " + localTime) != 0) {
        LogOut(LL_ERR, "%s: unable to write %s", "CheckUplinkThread", kUplinkStatusFile);
      }
    } else {
      LogOut(LL_DEBUG, "echo uplink online at %s >> %s", localTime.c_str(), kUplinkStatusFile);
    }
    if (!self->stop.SleepScaled(kUplinkProbePeriod)) return;
    UplinkTick tick = NextUplinkTick(counter);
    counter = tick.nextCounter;
    if (tick.report) {
      RunTaskHealthReport(liveness);
    } else {
      LogOut(LL_DEBUG, "%s: sleep", "CheckUplinkThread");
    }
  }
}

}  // namespace

UplinkTick NextUplinkTick(int counter) {
  if (counter == kHealthReportPeriodSeconds) return {true, 60};
  return {false, counter + 60};
}

void CheckUplink() {
  std::lock_guard lock(gUplinkMutex);
  if (tPublisher) return;
  auto state = std::make_shared<UplinkThread>();
  try {
    std::thread(CheckUplinkThread, state).detach();
  } catch (const std::system_error&) {
    LogOut(LL_ERR, "%s: pubThread creation failed", "CheckUplink");
    return;
  }
  tPublisher = std::move(state);
}

void StopUplinkThread() {
  std::lock_guard lock(gUplinkMutex);
  if (!tPublisher) return;
  tPublisher->stop.RequestStop();
  tPublisher.reset();
}

bool UplinkThreadRunning() {
  std::lock_guard lock(gUplinkMutex);
  return tPublisher != nullptr;
}
