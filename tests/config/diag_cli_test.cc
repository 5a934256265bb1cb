// The CLI debug channel: output lines and the end marker, the agent's own command lines, and
// replacement of a running command (no stray process, no leaked descriptor, the agent alive).
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/config.h"
#include "config/config_internal.h"
#include "support/temp_root.h"
#include "utils/kvp.h"
#include "utils/log.h"
#include "utils/timescale.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kCliSubject = "zt.cli.resp";

class CliCapture {
 public:
  CliCapture() {
    SetConfigPublisherForTest([this](const std::string& subject, const void* data, size_t n,
                                     const std::vector<ConfigHeader>&) {
      std::lock_guard lock(mutex_);
      if (subject == kCliSubject) lines_.emplace_back(static_cast<const char*>(data), n);
      if (subject == "zt.configresp") ++answers_;
      return 0;
    });
  }
  ~CliCapture() { SetConfigPublisherForTest(nullptr); }
  std::vector<std::string> Lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  int Answers() {
    std::lock_guard lock(mutex_);
    return answers_;
  }
  // Waits until the end marker count reaches n (the worker publishes it last).
  bool WaitEnds(size_t n, std::chrono::milliseconds limit = 10s) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      size_t ends = 0;
      for (const std::string& l : Lines()) ends += l == "EOC";
      if (ends >= n) return true;
      std::this_thread::sleep_for(5ms);
    }
    return false;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
  int answers_ = 0;
};

// Processes (other than this one) whose environment carries the test's marker.
int MarkedProcesses(const std::string& marker) {
  int count = 0;
  DIR* dir = opendir("/proc");
  if (!dir) return -1;
  while (dirent* e = readdir(dir)) {
    int pid = atoi(e->d_name);
    if (pid <= 0 || pid == getpid()) continue;
    std::ifstream in("/proc/" + std::string(e->d_name) + "/environ", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    if (text.str().find(marker) != std::string::npos) ++count;
  }
  closedir(dir);
  return count;
}

int OpenDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (readdir(dir)) ++count;
  closedir(dir);
  return count;
}

class CliDebugTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetKVPForTest();
    SetStringKVP("device_mac_addr", "02:5A:00:00:00:01");
    SetStringKVP("nats.publishSubject.configResponse", "zt.configresp");
    SetStringKVP("nats.publishSubject.debugCLI", kCliSubject);
    zc::SetTimeScaleForTest(0.01);
  }
  void TearDown() override {
    CliDebugStopForTest();
    zc::SetTimeScaleForTest(1);
    LogLevelSet(savedLevel_);
  }
  zctest::TempRoot root_;
  int savedLevel_ = g_loglevel.load();
};

TEST_F(CliDebugTest, ConnectGreetsInAnyCase) {
  CliCapture capture;
  StartCliDebug("t1", "CoNnEcT");
  ASSERT_TRUE(capture.WaitEnds(1));
  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"Welcome to Remote CLI", "EOC"}));
  EXPECT_EQ(capture.Answers(), 1);
}

TEST_F(CliDebugTest, OutputIsCutAtFiftyLinesAndEndsWithTheMarker) {
  CliCapture capture;
  StartCliDebug("t1", "seq 1 60");
  ASSERT_TRUE(capture.WaitEnds(1));
  std::vector<std::string> lines = capture.Lines();
  ASSERT_EQ(lines.size(), 51u);
  EXPECT_EQ(lines[0], "1\n");
  EXPECT_EQ(lines[49], "50\n");
  EXPECT_EQ(lines[50], "EOC");
}

TEST_F(CliDebugTest, LongLinesAreSplitAndSilentCommandsOnlyEnd) {
  CliCapture capture;
  StartCliDebug("t1", "head -c 600 /dev/zero | tr '\\0' x; echo");
  ASSERT_TRUE(capture.WaitEnds(1));
  std::vector<std::string> lines = capture.Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], std::string(kCliDebugLineMax, 'x'));
  EXPECT_EQ(lines[2], std::string(600 - 2 * kCliDebugLineMax, 'x') + "\n");

  CliCapture quiet;
  StartCliDebug("t2", "true");
  ASSERT_TRUE(quiet.WaitEnds(1));
  EXPECT_EQ(quiet.Lines(), (std::vector<std::string>{"EOC"}));
}

TEST(CliLines, PiecesOfOutputBecomeWholeLinesOnlyTheEndFlushesAPartOne) {
  std::string pending = "one\ntw";
  EXPECT_EQ(TakeCliLine(pending, false), "one\n");
  EXPECT_EQ(TakeCliLine(pending, false), std::nullopt);  // "tw" may go on in the next read
  pending += "o\n\x1b[2J\r";
  EXPECT_EQ(TakeCliLine(pending, false), "two\n");
  EXPECT_EQ(TakeCliLine(pending, false), std::nullopt);
  EXPECT_EQ(TakeCliLine(pending, true), "\x1b[2J\r");  // published as the command wrote it
  EXPECT_EQ(TakeCliLine(pending, true), std::nullopt);
  pending = std::string(kCliDebugLineMax + 3, 'x');
  EXPECT_EQ(TakeCliLine(pending, false), std::string(kCliDebugLineMax, 'x'));
  EXPECT_EQ(TakeCliLine(pending, true), "xxx");
}

TEST_F(CliDebugTest, LogLevelWordsSetOrRefuseEachLevel) {
  CliCapture capture;
  StartCliDebug("t1", "zuncore-log-level 7 99");
  ASSERT_TRUE(capture.WaitEnds(1));
  std::vector<std::string> lines = capture.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(g_loglevel.load(), 7);
  std::string fileLine = root_.Read("/tmp/zuncore_loglevel");
  EXPECT_EQ(lines[0] + "\n", fileLine.substr(0, fileLine.find('\n') + 1));
  EXPECT_EQ(lines[1].rfind("[Error] zuncore invalid Log Level :99 , valid levels are LL_CRIT=2", 0),
            0u);
  EXPECT_EQ(lines[2], "EOC");
}

TEST_F(CliDebugTest, FiftyReplacementsLeaveNoProcessNoDescriptorAndEveryWorkerEnded) {
  std::string marker = "ZCDIAG_MARK=" + std::to_string(getpid());
  setenv("ZCDIAG_MARK", std::to_string(getpid()).c_str(), 1);
  zc::SetTimeScaleForTest(1);  // real line pauses: every command is still running when replaced
  int fdsBefore = OpenDescriptors();
  CliCapture capture;
  for (int i = 0; i < 50; ++i) {
    // Output forever, a background writer on the same pipe, or silence forever.
    const char* command = i % 3 == 0 ? "yes" : i % 3 == 1 ? "yes & yes" : "sleep 1000";
    StartCliDebug("t" + std::to_string(i), command);
    std::this_thread::sleep_for(10ms);
  }
  CliDebugStopForTest();
  EXPECT_EQ(CliDebugWorkersAliveForTest(), 0);
  EXPECT_EQ(capture.Answers(), 50);
  size_t ends = 0;
  for (const std::string& l : capture.Lines()) ends += l == "EOC";
  EXPECT_EQ(ends, 50u);
  // SIGKILL lands asynchronously; the reaped processes are gone at once, others within moments.
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (MarkedProcesses(marker) > 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(MarkedProcesses(marker), 0);
  EXPECT_EQ(OpenDescriptors(), fdsBefore);
  unsetenv("ZCDIAG_MARK");
}

}  // namespace
