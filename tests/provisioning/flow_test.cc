// The provisioning flow's transitions and its waits, on a fake clock: the steps are stand-ins
// (or the real bootstrap answer handling), the waits are recorded instead of slept.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bstrap/bstrap.h"
#include "bstrap/bstrap_keys.h"
#include "provision/provision.h"
#include "signon/signon.h"
#include "support/temp_root.h"
#include "utils/agent_state.h"
#include "utils/https_client.h"
#include "utils/kvp.h"
#include "utils/timescale.h"

namespace {

using std::chrono::seconds;

// Stand-in steps that record what the flow ran; waits go to a queue the test runs by hand.
struct FakeFlow {
  std::vector<std::string> ran;
  std::vector<int64_t> waits;  // real seconds
  std::deque<std::function<void()>> due;
  std::function<void()> bootstrap = [] {};
  int validationResult = 0;

  ProvisionSteps Steps() {
    ProvisionSteps s;
    s.bootstrap = [this] {
      ran.push_back("bootstrap");
      bootstrap();
    };
    s.prefetch = [this] { ran.push_back("prefetch"); };
    s.startFirmwareValidation = [this] {
      ran.push_back("validate");
      return validationResult;
    };
    s.signon = [this] { ran.push_back("signon"); };
    s.idle = [this](int reason) { ran.push_back("idle " + std::to_string(reason)); };
    s.idleTimer = [this] { ran.push_back("idle timer"); };
    s.after = [this](seconds delay, std::function<void()> fn) {
      waits.push_back(delay.count());
      due.push_back(std::move(fn));
    };
    return s;
  }
  // Lets the fake clock run until nothing is pending.
  void RunDue() {
    while (!due.empty()) {
      auto fn = std::move(due.front());
      due.pop_front();
      fn();
    }
  }
};

class ProvisionFlow : public ::testing::Test {
 protected:
  void SetUp() override {
    InitKVP();
    ResetKVPForTest();
    gBootstrapFailureCount.store(0);
    gIdleState.store(false);
  }
  void TearDown() override { gBootstrapFailureCount.store(0); }
  zctest::TempRoot root;
  FakeFlow flow;
};

std::unique_ptr<HttpRequest> Answer(long status, const std::string& body = "") {
  auto r = std::make_unique<HttpRequest>();
  r->status = status;
  r->response = body;
  return r;
}

TEST_F(ProvisionFlow, StartsWithTheBootstrapRequestOrTheStoredConfiguration) {
  ProvisionStart(nullptr, flow.Steps());
  EXPECT_EQ(flow.ran, (std::vector<std::string>{"bootstrap"}));
  EXPECT_EQ(CurrentProvisionState(), ProvisionState::kBootstrap);
  root.Write(kBootConfigFile, "provisioningCode=MNGD.AGNT.PROV\n");
  ProvisionStart(nullptr, flow.Steps());
  EXPECT_EQ(flow.ran, (std::vector<std::string>{"bootstrap", "prefetch"}));
}

// Eleven status-500 answers are retried after 2^n s (+ up to 9 s of jitter); the twelfth sends
// the router idle. Nothing waits for real: the back-off goes to the fake clock.
TEST_F(ProvisionFlow, TwelfthServerErrorGoesIdleAfterElevenBackOffs) {
  flow.bootstrap = [] { Bootstrap_cb(Answer(500)); };
  ProvisionStart(nullptr, flow.Steps());
  EXPECT_EQ(CurrentProvisionState(), ProvisionState::kBootstrapRetryWait);
  EXPECT_TRUE(gBootstrapFailureCount.load() > 0) << "the health check is suspended meanwhile";
  flow.RunDue();
  ASSERT_EQ(flow.waits.size(), 11u);
  for (int n = 0; n < 11; ++n) {
    EXPECT_GE(flow.waits[n], int64_t{1} << n) << n;
    EXPECT_LE(flow.waits[n], (int64_t{1} << n) + 9) << n;
  }
  std::vector<std::string> expected(12, "bootstrap");
  expected.push_back("idle 1");
  expected.push_back("idle timer");
  EXPECT_EQ(flow.ran, expected);
  EXPECT_EQ(CurrentProvisionState(), ProvisionState::kIdle);
}

TEST_F(ProvisionFlow, OtherFailedAnswersGoIdleAtOnceAndSuccessResetsTheCount) {
  flow.bootstrap = [] { Bootstrap_cb(Answer(403)); };
  gBootstrapFailureCount.store(3);
  ProvisionStart(nullptr, flow.Steps());
  EXPECT_TRUE(flow.waits.empty());
  EXPECT_EQ(flow.ran, (std::vector<std::string>{"bootstrap", "idle 1", "idle timer"}));

  flow.ran.clear();
  gBootstrapFailureCount.store(3);
  flow.bootstrap = [] { Bootstrap_cb(Answer(200, R"({"provisioningCode": "MNGD.AGNT.SPND"})")); };
  ProvisionStart(nullptr, flow.Steps());
  EXPECT_EQ(flow.ran, (std::vector<std::string>{"bootstrap", "idle 2", "idle timer"}));
  EXPECT_EQ(gBootstrapFailureCount.load(), 0);
}

TEST_F(ProvisionFlow, ProvisionedRouterValidatesFirmwareThenSignsOn) {
  flow.bootstrap = [] { Bootstrap_cb(Answer(200, R"({"provisioningCode": "MNGD.AGNT.PROV"})")); };
  ProvisionStart(nullptr, flow.Steps());
  EXPECT_EQ(flow.ran, (std::vector<std::string>{"bootstrap", "validate"}));
  EXPECT_EQ(CurrentProvisionState(), ProvisionState::kFirmwareValidation);
  ProvisionOnFirmware(FirmwareNext::kSignon);
  EXPECT_EQ(flow.ran.back(), "signon");
  EXPECT_EQ(CurrentProvisionState(), ProvisionState::kSignedOn);
  // A failed update signs on with the running firmware; in the idle state it stays idle.
  ProvisionOnFirmware(FirmwareNext::kFallback);
  EXPECT_EQ(flow.ran.size(), 4u);
  gIdleState.store(true);
  ProvisionOnFirmware(FirmwareNext::kFallback);
  EXPECT_EQ(flow.ran.size(), 4u);
}

// Sign-on waits 60 x 2^n s after failed attempt n, never more than an hour; checked for forty
// attempts on the sleep seam (the bootstrap connection is down, so every attempt fails at once).
TEST(SignonRetry, DelayAfterEachOfFortyFailedAttempts) {
  zctest::TempRoot root;
  InitKVP();
  ResetKVPForTest();
  SetStringKVP(kKeyConnectionMaxRetryCount, "40");
  struct Stop {};
  std::vector<int64_t> delays;
  zc::SetSleepForTest([&](std::chrono::milliseconds real) {
    delays.push_back(std::chrono::duration_cast<seconds>(real).count());
    if (delays.size() == 40) throw Stop{};  // before the last failure ends the process
  });
  EXPECT_THROW(Signon(), Stop);
  zc::SetSleepForTest(nullptr);
  ASSERT_EQ(delays.size(), 40u);
  const std::vector<int64_t> first = {120, 240, 480, 960, 1920};
  for (int n = 1; n <= 40; ++n) {
    int64_t want = n <= 5 ? first[n - 1] : 3600;
    EXPECT_EQ(delays[n - 1], want) << "attempt " << n;
    EXPECT_EQ(RequestBackoffSeconds(n), want);
  }
}

}  // namespace
