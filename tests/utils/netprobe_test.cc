#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/http_server.h"
#include "utils/netprobe.h"
#include "utils/timescale.h"
#include "utils/timesync.h"

namespace {

class ProbeTest : public ::testing::Test {
 protected:
  void SetUp() override { zc::SetTimeScaleForTest(0.02); }  // 10 s -> 200 ms
  void TearDown() override {
    zc::SetTimeScaleForTest(1);
    unsetenv("ZUNCORE_PROBE_HOST");
    unsetenv("ZUNCORE_PROBE_PORT");
    unsetenv("ZUNCORE_TIME_URL");
  }
};

TEST_F(ProbeTest, AnsweringHostIsOnlineSilentHostTimesOut) {
  setenv("ZUNCORE_PROBE_HOST", "127.0.0.1", 1);
  {
    zctest::HttpServer answering(
        [](const std::string&) { return zctest::HttpScript{{"HTTP/1.1 200 OK\r\n\r\n"}}; });
    setenv("ZUNCORE_PROBE_PORT", std::to_string(answering.port()).c_str(), 1);
    EXPECT_EQ(is_internet_online(), 0);
  }
  zctest::HttpServer silent([](const std::string&) { return zctest::HttpScript{}; }, true);
  setenv("ZUNCORE_PROBE_PORT", std::to_string(silent.port()).c_str(), 1);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(is_internet_online(), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(550));
}

TEST_F(ProbeTest, SilentTimeServiceFailsWithinTheBound) {
  zctest::HttpServer silent([](const std::string&) { return zctest::HttpScript{}; }, true);
  setenv("ZUNCORE_TIME_URL", ("http://127.0.0.1:" + std::to_string(silent.port()) + "/now").c_str(),
         1);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(xsettimeofday(), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(580));
}

}  // namespace
