// The uplink and health thread: internet probe every minute, task health report every five.
#pragma once

#include <chrono>

inline constexpr const char* kUplinkStatusFile = "/tmp/zuncore_uplink_status";
inline constexpr std::chrono::seconds kUplinkProbePeriod{60};
// Seconds of sleeps between two health reports.
inline constexpr int kHealthReportPeriodSeconds = 300;

// Starts the thread (once). Failures are logged; the agent carries on without it.
void CheckUplink();
// Asks the thread to stop at its next wake-up (idle state) and forgets it.
void StopUplinkThread();
// True while the thread runs.
bool UplinkThreadRunning();

// The counter rule of the thread: given the seconds counted before a wake-up, whether the health
// report runs now, and the new count.
struct UplinkTick {
  bool report;
  int nextCounter;
};
UplinkTick NextUplinkTick(int counter);
