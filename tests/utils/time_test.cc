#include <gtest/gtest.h>

#include <regex>

#include "utils/monitor.h"
#include "utils/timescale.h"
#include "utils/timesync.h"
#include "utils/timeutil.h"

namespace {

TEST(Time, SubtractNormalisesMicroseconds) {
  timeval x{5, 100}, y{3, 200}, r{};
  EXPECT_EQ(timeval_subtract(&r, &x, &y), 0);
  EXPECT_EQ(r.tv_sec, 1);
  EXPECT_EQ(r.tv_usec, 999900);
  EXPECT_EQ(timeval_subtract(&r, &y, &x), 1);
  EXPECT_EQ(r.tv_sec, -2);
  EXPECT_EQ(r.tv_usec, 100);
}

TEST(Time, TextForms) {
  std::string iso, local;
  ASSERT_EQ(GetISOTime(iso), 0);
  EXPECT_TRUE(std::regex_match(iso, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")))
      << iso;
  ASSERT_EQ(GetLocalTime(local), 0);
  EXPECT_TRUE(std::regex_match(local, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)"))) << local;
  int jitter = 0;
  for (int i = 0; i < 100; ++i) {
    GetRandomTimeJitter(10, &jitter);
    EXPECT_GE(jitter, 1);
    EXPECT_LE(jitter, 10);
  }
  GetRandomTimeJitter(-1, &jitter);
  EXPECT_EQ(jitter, 1);
  EXPECT_EQ(GetRandomTimeJitter(5, nullptr), 0);
}

TEST(Time, TimeServiceBody) {
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(ParseTimeServiceBody("2026-12-06T20:18:07"), 1796588287L);
  EXPECT_EQ(ParseTimeServiceBody("not a time"), -1);
}

TEST(Time, ScaledDurations) {
  zc::SetTimeScaleForTest(0.01);
  EXPECT_EQ(zc::Scaled(std::chrono::seconds(60)).count(), 600);
  EXPECT_EQ(zc::Scaled(std::chrono::milliseconds(10)).count(), 1);  // never zero
  EXPECT_EQ(zc::ScaledTimeval(std::chrono::seconds(300)).tv_sec, 3);
  zc::SetTimeScaleForTest(1);
}

TEST(Monitor, WrappedCounterStillCountsAsAlive) {
  ThreadMonitor m;
  m.count.store(UINT32_MAX - 1);
  uint32_t before = m.count.load();
  m.Tick();
  m.Tick();
  EXPECT_NE(m.count.load(), before);
  EXPECT_EQ(m.count.load(), 0u);
}

TEST(Monitor, LongPeriodsCountOncePerSlice) {
  zc::SetTimeScaleForTest(0.0001);
  ThreadMonitor m;
  EXPECT_TRUE(SleepCounting(std::chrono::seconds(900), m));
  EXPECT_EQ(m.count.load(), 14u);  // 15 slices of 60 s, counted between them
  StopToken stop;
  stop.RequestStop();
  EXPECT_FALSE(SleepCounting(std::chrono::seconds(900), m, &stop));
  zc::SetTimeScaleForTest(1);
}

}  // namespace
