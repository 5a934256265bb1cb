// The speed test against a loopback server: honest figures (64-bit totals, measured time), the
// event sequence, and bounded ends when the server is missing or stops reading.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/config.h"
#include "config/config_internal.h"
#include "support/speed_server.h"
#include "support/temp_root.h"
#include "utils/json.h"
#include "utils/kvp.h"
#include "utils/timescale.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct SpeedEvent {
  std::string subject, event, testType;
  int64_t value = 0, speed = 0;
};

class SpeedCapture {
 public:
  SpeedCapture() {
    SetConfigPublisherForTest([this](const std::string& subject, const void* data, size_t n,
                                     const std::vector<ConfigHeader>&) {
      std::string text(static_cast<const char*>(data), n);
      std::lock_guard lock(mutex_);
      if (subject == "zt.configresp") {
        ++answers_;
        return 0;
      }
      zc::JsonPtr o = zc::JsonParse(text);
      SpeedEvent e;
      e.subject = subject;
      json_object* v = nullptr;
      if (json_object_object_get_ex(o.get(), "event", &v)) e.event = json_object_get_string(v);
      if (json_object_object_get_ex(o.get(), "test_type", &v))
        e.testType = json_object_get_string(v);
      if (json_object_object_get_ex(o.get(), "value", &v)) e.value = json_object_get_int64(v);
      if (json_object_object_get_ex(o.get(), "speed", &v)) e.speed = json_object_get_int64(v);
      events_.push_back(e);
      return 0;
    });
  }
  ~SpeedCapture() { SetConfigPublisherForTest(nullptr); }
  std::vector<SpeedEvent> Events() {
    std::lock_guard lock(mutex_);
    return events_;
  }
  int Answers() {
    std::lock_guard lock(mutex_);
    return answers_;
  }
  // The event on the test subject with that name and type (value -1 when none).
  SpeedEvent Find(const std::string& event, const std::string& type) {
    for (const SpeedEvent& e : Events()) {
      if (e.subject == "zt.speed" && e.event == event && e.testType == type) return e;
    }
    return SpeedEvent{"", "", "", -1, -1};
  }

 private:
  std::mutex mutex_;
  std::vector<SpeedEvent> events_;
  int answers_ = 0;
};

bool WaitIdle(std::chrono::milliseconds limit) {
  auto deadline = Clock::now() + limit;
  while (SpeedTestRunning()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

class SpeedTestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetKVPForTest();
    SetStringKVP("device_mac_addr", "02:5A:00:00:00:01");
    SetStringKVP("nats.publishSubject.configResponse", "zt.configresp");
    SetStringKVP("nats.publishSubject.speedTest", "zt.speed");
    SetStringKVP("nats.publishSubject.speedtestResult", "zt.speed.result");
    SetStringKVP("logicalLocation", "zt.dll");
    SetStringKVP("subscriberId", "sub-1");
    SetStringKVP("speedtransactionid", "st-1");
  }
  void TearDown() override {
    EXPECT_TRUE(WaitIdle(30s));
    zc::SetTimeScaleForTest(1);
  }
  zctest::TempRoot root_;
};

TEST(SpeedFigures, ThreeGibibytesGiveAPositiveExactSpeed) {
  const uint64_t total = 3ull << 30;
  EXPECT_DOUBLE_EQ(SpeedMbps(total, 15.0), 3072.0 * 8 / 15);
  EXPECT_DOUBLE_EQ(SpeedMbps(total, 1.0), 24576.0);
  EXPECT_GT(SpeedMbps(40ull << 30, 15.0), 0);
  EXPECT_EQ(SpeedMbps(total, 0), 0);
}

TEST(SpeedFigures, EventsCarryTheirKeysInOrder) {
  SpeedEventFields f;
  f.event = "finish";
  f.testType = "download";
  f.value = 1638;
  f.speed = 1638;
  f.server = "127.0.0.1:8080";
  std::string text = BuildSpeedEvent(f, "t", "dll", "mac", "2026-01-01T00:00:00Z", "sub");
  std::vector<std::string> keys;
  zc::JsonPtr o = zc::JsonParse(text);
  json_object_object_foreach(o.get(), key, val) {
    (void)val;
    keys.push_back(key);
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"transactionid", "dll", "deviceid", "local_time",
                                            "event", "server_id", "server_location", "test_type",
                                            "value", "duration", "speed", "subscriber_id"}));
  f.event = "bogus";
  EXPECT_EQ(BuildSpeedEvent(f, "t", "d", "m", "x", "s"), "{\n}\n");
}

TEST_F(SpeedTestTest, MissingServerIsUnableToConnectAndNoAlarmHandlerIsUsed) {
  zc::SetTimeScaleForTest(0.01);
  SpeedCapture capture;
  StartSpeedTest("st-1");
  struct sigaction during {};
  sigaction(SIGALRM, nullptr, &during);
  ASSERT_TRUE(WaitIdle(5s));
  EXPECT_EQ(during.sa_handler, SIG_DFL);
  std::vector<SpeedEvent> events = capture.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].subject, "zt.speed.result");
  EXPECT_EQ(events[1].subject, "zt.speed");
  EXPECT_EQ(events[1].event, "unable-to-connect");
  EXPECT_EQ(events[1].testType, "init");
  EXPECT_NE(root_.Read("/tmp/zuncorespeedlog").find("unable-to-connect"), std::string::npos);
}

TEST_F(SpeedTestTest, ThrottledServerGivesItsRateBothWaysAndASecondRequestIsRefused) {
  constexpr double kMbps = 40;
  zctest::SpeedServer server(static_cast<uint64_t>(kMbps * 1024 * 1024 / 8));
  SetStringKVP("speedServerIp", "127.0.0.1:" + std::to_string(server.port()));
  zc::SetTimeScaleForTest(0.3);  // 4.5 s phases
  SpeedCapture capture;
  StartSpeedTest("st-1");
  StartSpeedTest("st-2");
  EXPECT_EQ(capture.Find("test-in-proress", "init").event, "test-in-proress");
  ASSERT_TRUE(WaitIdle(30s));
  EXPECT_EQ(capture.Answers(), 2);
  EXPECT_GE(capture.Find("finish", "ping").value, 0);
  EXPECT_EQ(capture.Find("start", "download").event, "start");
  EXPECT_EQ(capture.Find("progress", "upload").event, "progress");
  SpeedEvent down = capture.Find("finish", "download");
  SpeedEvent up = capture.Find("finish", "upload");
  EXPECT_NEAR(static_cast<double>(down.speed), kMbps, kMbps * 0.1);
  EXPECT_NEAR(static_cast<double>(up.speed), kMbps, kMbps * 0.1);
  EXPECT_EQ(down.value, down.speed);
}

TEST_F(SpeedTestTest, ServerThatStopsReadingEndsTheTestInBoundAndTheNextRuns) {
  zctest::SpeedServer server(0, zctest::SpeedServer::Stall::kUpload);
  SetStringKVP("speedServerIp", "127.0.0.1:" + std::to_string(server.port()));
  zc::SetTimeScaleForTest(0.05);  // 0.75 s phases, 0.15 s socket waits
  SpeedCapture capture;
  auto start = Clock::now();
  StartSpeedTest("st-1");
  ASSERT_TRUE(WaitIdle(10s));
  EXPECT_LT(Clock::now() - start, 5s);
  EXPECT_EQ(capture.Find("finish", "upload").event, "finish");
  StartSpeedTest("st-2");
  EXPECT_EQ(capture.Find("test-in-proress", "init").event, "");
  ASSERT_TRUE(WaitIdle(10s));
  EXPECT_EQ(capture.Answers(), 2);
}

TEST_F(SpeedTestTest, ServerThatNeverAnswersIsUnableToConnect) {
  zctest::SpeedServer server(0, zctest::SpeedServer::Stall::kAll);
  SetStringKVP("speedServerIp", "127.0.0.1:" + std::to_string(server.port()));
  zc::SetTimeScaleForTest(0.05);  // 0.5 s transfer time-out
  SpeedCapture capture;
  StartSpeedTest("st-1");
  ASSERT_TRUE(WaitIdle(10s));
  EXPECT_EQ(capture.Find("unable-to-connect", "init").event, "unable-to-connect");
  EXPECT_EQ(capture.Find("finish", "download").event, "");
}

}  // namespace
