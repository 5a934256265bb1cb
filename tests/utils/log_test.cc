#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <regex>

#include "support/temp_root.h"
#include "utils/log.h"

namespace {

class LogTest : public ::testing::Test {
 protected:
  void TearDown() override { g_loglevel.store(LL_FLOW); }
  zctest::TempRoot root;
};

TEST_F(LogTest, ThresholdAndExactLevelChannels) {
  zctest::StdoutCapture out;
  LogLevelSet(LL_FLOW);
  LogOut(LL_INFO, "info %d", 7);
  LogOut(LL_PROFILE, "profile hidden");
  LogLevelSet(LL_DNS);
  LogDns(LL_DNS, "dns shown");
  LogDns(LL_PROTO, "dns other level hidden");
  LogOut(LL_DEBUG, "debug hidden at 3");
  LogProto(LL_PROTO, "proto hidden at 3");
  LogLevelSet(LL_DEBUG);
  LogDns(LL_DNS, "dns hidden at 2");
  LogProto(LL_PROTO, "proto hidden at 2");
  LogLevelSet(12);
  LogOut(LL_CRIT, "crit hidden at 12");
  std::string text = out.Text();
  EXPECT_NE(text.find("info 7"), std::string::npos);
  EXPECT_NE(text.find("dns shown"), std::string::npos);
  for (const char* hidden : {"profile hidden", "dns other level", "debug hidden", "proto hidden",
                             "dns hidden at 2", "crit hidden"}) {
    EXPECT_EQ(text.find(hidden), std::string::npos) << hidden;
  }
}

TEST_F(LogTest, PrefixesAreSecondsWithinHourAndMicroseconds) {
  zctest::StdoutCapture out;
  LogOut(LL_ERR, "plain");
  LogFlowTag tag{"FLOW", "0123abcd-0000-0000-0000-000000000000", "GET_ZUNCORE",
                 "02:5A:00:00:00:01"};
  LogFlow(LL_FLOW, tag, "flow %s", "line");
  std::string text = out.Text();
  std::smatch m;
  ASSERT_TRUE(std::regex_search(text, m, std::regex(R"((\d+)\.(\d{6}): plain\n)")));
  EXPECT_LT(std::stol(m[1]), 3600);
  EXPECT_TRUE(std::regex_search(
      text, std::regex(R"(\d+\.\d{6}:FLOW 0123abcd-0000-0000-0000-000000000000 GET_ZUNCORE )"
                       R"(02:5A:00:00:00:01 flow line\n)")));
}

// Cloud text with a line break stays on the agent's line: no forged second line.
TEST_F(LogTest, ValuesWithControlCharactersStayOnOneLine) {
  zctest::StdoutCapture out;
  LogOut(LL_INFO, "value:%s", LogText("a\nprovisioningCode=X").c_str());
  std::string text = out.Text();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
  EXPECT_NE(text.find("value:a\\nprovisioningCode=X\n"), std::string::npos) << text;
  EXPECT_EQ(LogText("tab\there\r\x01\x7f"), "tab\\there\\r\\x01\\x7f");
  EXPECT_EQ(LogText("plain $(text) = ok"), "plain $(text) = ok");
  EXPECT_EQ(LogText(std::string_view("a\0b", 3)), "a\\x00b");
}

TEST_F(LogTest, LevelFileAndCloudTextAsArgument) {
  LogLevelSet(LL_INFO);
  EXPECT_EQ(
      root.Read("/tmp/zuncore_loglevel"),
      "zuncore current-log-level :7 [ level info LL_CRIT=11, LL_ERR=10, LL_WARN=9, "
      "LL_NOTICE=8, LL_INFO=7, LL_FLOW=6, LL_PROFILE=5, LL_PROTO=4, LL_DNS=3, LL_DEBUG=2 ]\n");
  zctest::StdoutCapture out;
  const char* transid = "%s%s%n%s";
  LogOut(LL_INFO, "%s", transid);
  EXPECT_NE(out.Text().find("%s%s%n%s"), std::string::npos);
  EXPECT_STREQ(LogLevelName(LL_CRIT), "CRITICAL");
  EXPECT_STREQ(LogLevelName(0), "UNKNOWN2");
  EXPECT_STREQ(LogActionName(ACTION_FW_UPGRADE_RESULT), "FW_UPGRADE_RESULT");
}

TEST_F(LogTest, SystemLogGetsMessageWithPriority) {
  // The log socket lives under the root, where the journal binds it.
  int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string path = root("/dev/log");
  strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  LogOpen("zuncore");
  LogOut(LL_INFO, "to syslog %d", 1);
  LogOut(LL_CRIT, "critical");
  char buf[512];
  ssize_t n = recv(fd, buf, sizeof buf - 1, MSG_DONTWAIT);
  ASSERT_GT(n, 0);
  buf[n] = 0;
  EXPECT_TRUE(std::string(buf).starts_with("<31>")) << buf;  // daemon facility | info
  EXPECT_TRUE(std::string(buf).ends_with("zuncore[" + std::to_string(getpid()) + "]: to syslog 1"));
  n = recv(fd, buf, sizeof buf - 1, MSG_DONTWAIT);
  ASSERT_GT(n, 0);
  buf[n] = 0;
  EXPECT_TRUE(std::string(buf).starts_with("<11>")) << buf;  // levels above 7 go unchanged
  LogClose();
  close(fd);
}

}  // namespace
