// One time scale for every wait, period, back-off and time-out of the agent.
//
// ZUNCORE_TIME_SCALE (default 1) multiplies every duration the agent waits, so tests and the
// demo run the real flows in seconds. Values that are logged or reported stay in real units.
#pragma once

#include <sys/time.h>

#include <chrono>
#include <functional>

namespace zc {

double TimeScale();
void SetTimeScaleForTest(double scale);

// A real duration scaled for waiting; never below 1 ms for a positive input.
std::chrono::milliseconds Scaled(std::chrono::milliseconds real);
inline std::chrono::milliseconds ScaledSeconds(long seconds) {
  return Scaled(std::chrono::seconds(seconds));
}
// The scaled duration as a timeval, for libevent timers.
timeval ScaledTimeval(std::chrono::milliseconds real);
int ScaledMs(long realMs);

// Sleeps for the scaled duration.
void SleepScaled(std::chrono::milliseconds real);

// The clock seam of blocking waits: a test's sleep receives the real (unscaled) duration instead
// of sleeping, so back-off rules are checked without waiting. An empty function restores the real
// sleep.
using SleepFn = std::function<void(std::chrono::milliseconds real)>;
void SetSleepForTest(SleepFn sleep);

}  // namespace zc
