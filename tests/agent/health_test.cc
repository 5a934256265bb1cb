#include <gtest/gtest.h>

#include "main/health.h"
#include "main/uplink.h"
#include "utils/monitor.h"

namespace {

TEST(Uplink, FirstReportAfterSixSleepsThenEveryFifth) {
  int counter = 0;
  std::vector<int> reports;
  for (int sleep = 1; sleep <= 16; ++sleep) {
    UplinkTick tick = NextUplinkTick(counter);
    counter = tick.nextCounter;
    if (tick.report) reports.push_back(sleep);
  }
  EXPECT_EQ(reports, (std::vector<int>{6, 11, 16}));
}

TEST(Health, OnlyExpectedThreadsAreCheckedAndChangeMeansAlive) {
  for (const auto& t : MonitoredThreads()) t.monitor->count.store(0);
  gEventThreadMonitor.expected.store(false);
  gJournalThreadMonitor.expected.store(false);
  ThreadLivenessCheck check;
  gUplinkThreadMonitor.Tick();
  auto reason = check.Run(false);
  ASSERT_TRUE(reason);
  EXPECT_EQ(*reason, "ThreadMonitor: TelemetryThread is not running");

  gTelemetryThreadMonitor.expected.store(false);  // message connection disabled by the cloud
  gUplinkThreadMonitor.Tick();
  EXPECT_FALSE(check.Run(false));
  EXPECT_FALSE(check.Run(false) == std::nullopt) << "uplink did not count since the last report";

  gHistogramThreadMonitor.expected.store(true);  // DNS modules started the worker
  gUplinkThreadMonitor.Tick();
  auto dns = check.Run(true);
  ASSERT_TRUE(dns);
  EXPECT_EQ(*dns, "ThreadMonitor: HistogramThread is not running");
  gUplinkThreadMonitor.Tick();
  EXPECT_FALSE(check.Run(false));  // "runzundns" not "yes": not checked

  // A wrapped counter that moved is alive.
  gUplinkThreadMonitor.count.store(UINT32_MAX);
  EXPECT_FALSE(check.Run(false));
  gUplinkThreadMonitor.Tick();
  EXPECT_FALSE(check.Run(false));
  for (auto* m : {&gEventThreadMonitor, &gJournalThreadMonitor, &gTelemetryThreadMonitor}) {
    m->expected.store(true);
  }
  gHistogramThreadMonitor.expected.store(false);
}

TEST(Health, SuspendedDuringBootstrapBackoffAndBoundedFirmwareUpdate) {
  EXPECT_TRUE(LivenessCheckSuspended(1, false, 0, 1000));
  EXPECT_FALSE(LivenessCheckSuspended(0, false, 0, 1000));
  EXPECT_TRUE(LivenessCheckSuspended(0, true, 1000, 1000 + 8 * 60));
  EXPECT_FALSE(LivenessCheckSuspended(0, true, 1000, 1000 + kFirmwareWatchdogGraceSeconds));
}

}  // namespace
