// The periods of the main and idle timers and the bound of the health check's suspension, on the
// timers' and the report's clock seams: nothing waits for real.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "main/health.h"
#include "main/timers.h"
#include "support/temp_root.h"
#include "utils/agent_state.h"
#include "utils/kvp.h"
#include "utils/monitor.h"
#include "utils/timescale.h"

namespace {

using std::chrono::seconds;

class TimerRules : public ::testing::Test {
 protected:
  void SetUp() override {
    InitKVP();
    ResetKVPForTest();
    SetTimerArmForTest([this](seconds period) { armed.push_back(period.count()); });
  }
  void TearDown() override {
    SetTimerArmForTest(nullptr);
    gIdleState.store(false);
    gZunCoreInitStatus.store(0);
  }
  zctest::TempRoot root;
  std::vector<int64_t> armed;
};

TEST_F(TimerRules, MainTimerTicksEveryFiveSecondsUntilTheThreeStepsAreDone) {
  UpdateMainTimer(-1, 0, nullptr);
  UpdateMainTimer(-1, 0, nullptr);
  EXPECT_EQ(armed, (std::vector<int64_t>{5, 5}));
  gZunCoreInitStatus.store(kSubmoduleSteps);
  UpdateMainTimer(-1, 0, nullptr);
  EXPECT_EQ(armed.size(), 2u) << "done: not armed again";
  EXPECT_TRUE(ZunModuleInitDone.load());
}

TEST_F(TimerRules, IdleStateOwnsTheTimerAndTicksHourly) {
  gIdleState.store(true);
  UpdateMainTimer(-1, 0, nullptr);
  EXPECT_TRUE(armed.empty()) << "a main tick already due does nothing in the idle state";
  UpdateIdleTimer(-1, 0, nullptr);
  UpdateIdleTimer(-1, 0, nullptr);
  EXPECT_EQ(armed, (std::vector<int64_t>{3600, 3600}));
}

// A firmware update suspends the liveness check for at most 45 minutes of router time, however
// long the flag stays set; a pending bootstrap back-off suspends it while it lasts.
TEST(HealthReport, SuspensionIsBoundedOnTheReportsClock) {
  zctest::TempRoot root;
  InitKVP();
  ResetKVPForTest();
  zc::SetTimeScaleForTest(1.0);
  for (const auto& t : MonitoredThreads()) {
    t.monitor->count.store(0);
    t.monitor->expected.store(false);
  }
  gTelemetryThreadMonitor.expected.store(true);  // a stopped thread the check would find
  ThreadLivenessCheck check;
  const int64_t since = 1'000'000;
  FW_PROGRESS.store(true);
  gFwProgressSince.store(since);
  EXPECT_FALSE(TaskHealthVerdict(check, since));
  EXPECT_FALSE(TaskHealthVerdict(check, since + kFirmwareWatchdogGraceSeconds - 1));
  auto reason = TaskHealthVerdict(check, since + kFirmwareWatchdogGraceSeconds);
  ASSERT_TRUE(reason);
  EXPECT_EQ(*reason, "ThreadMonitor: TelemetryThread is not running");
  gBootstrapFailureCount.store(1);
  EXPECT_FALSE(TaskHealthVerdict(check, since + 10 * kFirmwareWatchdogGraceSeconds));
  gBootstrapFailureCount.store(0);
  FW_PROGRESS.store(false);
  gFwProgressSince.store(0);
  EXPECT_TRUE(TaskHealthVerdict(check, since));
  gTelemetryThreadMonitor.expected.store(false);
}

}  // namespace
