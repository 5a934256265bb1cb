#include "utils/timescale.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace zc {
namespace {

double ScaleFromEnv() {
  const char* env = std::getenv("ZUNCORE_TIME_SCALE");
  if (!env || !*env) return 1.0;
  char* end = nullptr;
  double v = std::strtod(env, &end);
  if (end == env || !std::isfinite(v) || v <= 0 || v > 1000) return 1.0;
  return v;
}

std::atomic<double> gScale{-1.0};

std::mutex gSleepMutex;
SleepFn gSleep;

}  // namespace

double TimeScale() {
  double s = gScale.load(std::memory_order_relaxed);
  if (s < 0) {
    s = ScaleFromEnv();
    gScale.store(s, std::memory_order_relaxed);
  }
  return s;
}

void SetTimeScaleForTest(double scale) {
  gScale.store(scale);
}

std::chrono::milliseconds Scaled(std::chrono::milliseconds real) {
  if (real.count() <= 0) return std::chrono::milliseconds(0);
  auto ms = static_cast<long long>(std::llround(static_cast<double>(real.count()) * TimeScale()));
  return std::chrono::milliseconds(ms < 1 ? 1 : ms);
}

int ScaledMs(long realMs) {
  return static_cast<int>(Scaled(std::chrono::milliseconds(realMs)).count());
}

timeval ScaledTimeval(std::chrono::milliseconds real) {
  auto ms = Scaled(real).count();
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(ms / 1000);
  tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
  return tv;
}

void SleepScaled(std::chrono::milliseconds real) {
  SleepFn sleep;
  {
    std::lock_guard lock(gSleepMutex);
    sleep = gSleep;
  }
  if (sleep) {
    sleep(real);
    return;
  }
  std::this_thread::sleep_for(Scaled(real));
}

void SetSleepForTest(SleepFn sleep) {
  std::lock_guard lock(gSleepMutex);
  gSleep = std::move(sleep);
}

}  // namespace zc
