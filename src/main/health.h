// The task health report of the uplink thread: which monitored threads still count.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "utils/monitor.h"

// Soft limit of open files, read once at start.
extern int gProcFdMax;

// Longest a firmware download and flash may suspend the liveness check (a leaked flag must not
// disable the watchdog for good).
inline constexpr int64_t kFirmwareWatchdogGraceSeconds = 45 * 60;

struct MonitoredThread {
  const char* name;  // "TelemetryThread": logged as "ThreadMonitor: TelemetryThread Exist"
  ThreadMonitor* monitor;
  bool onlyWithDns;  // checked only when "runzundns" is "yes"
};

// The monitored threads in report order.
const std::vector<MonitoredThread>& MonitoredThreads();

// Remembers the counter values of the previous report and decides.
class ThreadLivenessCheck {
 public:
  // Checks every expected counter; a counter that has not changed since the previous report
  // yields its missing reason. Logs the "Exist" lines of the live ones.
  std::optional<std::string> Run(bool runDns);

 private:
  std::vector<uint32_t> lastSeen_;
};

// Whether the liveness check is suspended now: a bootstrap back-off is pending, or a firmware
// update has been running for less than the grace period.
bool LivenessCheckSuspended(int bootstrapFailures, bool firmwareInProgress, int64_t firmwareSince,
                            int64_t now);

// The liveness part of the report at wall-clock second now (the clock seam): the reason the
// process must end, or nothing (all alive, or the check suspended).
std::optional<std::string> TaskHealthVerdict(ThreadLivenessCheck& check, int64_t now);

// Runs the whole report (memory, elapsed, descriptors, liveness, connection statistics); ends
// the process through ExitLog when a monitored thread stopped.
void RunTaskHealthReport(ThreadLivenessCheck& check);
