#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "support/temp_root.h"
#include "utils/files.h"
#include "utils/kvp.h"

namespace {

class KvpTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(InitKVP(), 0); }
  zctest::TempRoot root;
};

TEST_F(KvpTest, SelfTestLeavesSnapshotLines) {
  std::string snap = root.Read("/tmp/kvp_settings.txt");
  EXPECT_NE(snap.find("teststring=teststringvalue\n"), std::string::npos);
  EXPECT_NE(snap.find("testinteger=42\n"), std::string::npos);
}

TEST_F(KvpTest, TypesSwitchAndKeysAreCaseSensitive) {
  EXPECT_FALSE(GetStringKVP("device_mac_addr"));
  EXPECT_EQ(SetStringKVP("device_mac_addr", "AA:BB:CC:DD:EE:FF"), 0);
  EXPECT_FALSE(GetStringKVP("Device_mac_addr"));
  EXPECT_EQ(*GetStringKVP("device_mac_addr"), "AA:BB:CC:DD:EE:FF");

  EXPECT_EQ(*GetIntKVP("counter"), 0);  // created on first use
  SetIntKVP("counter", 5);
  EXPECT_FALSE(GetStringKVP("counter"));  // an integer entry reads as no string
  SetStringKVP("counter", "five");
  EXPECT_EQ(*GetStringKVP("counter"), "five");
  EXPECT_EQ(*GetIntKVP("counter"), 5);  // switched back: integer field unchanged

  EXPECT_EQ(RemoveKVP("absent"), -1);
  EXPECT_EQ(RemoveKVP("counter"), 0);
  EXPECT_FALSE(GetStringKVP("counter"));

  SetStringKVP("wan", "NA");
  EXPECT_FALSE(GetUsableKVP("wan"));
  EXPECT_EQ(GetStringKVPOr("nothing", "fallback"), "fallback");
}

TEST_F(KvpTest, ConcurrentWritersReadersAndDumps) {
  constexpr int kThreads = 8;
  constexpr int kOps = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kOps; ++i) {
        std::string key = "shared." + std::to_string(i % 7);
        switch ((i + t) % 5) {
          case 0:
            SetStringKVP(key, std::string(i % 50, 'x'));
            break;
          case 1: {
            auto v = GetStringKVP(key);
            if (v) {
              ASSERT_LE(v->size(), 50u);
            }
            break;
          }
          case 2:
            RemoveKVP(key);
            break;
          case 3:
            SetIntKVP(key, i);
            break;
          default:
            if (i % 500 == 0) DumpKVP();
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  // Read as the writers' last dump left it (no quiet rewrite first): the snapshot is always
  // whole, the self-test line survives every rewrite and every line is one key and its value.
  std::string snapshot = root.Read("/tmp/kvp_settings.txt");
  EXPECT_NE(snapshot.find("teststring=teststringvalue\n"), std::string::npos);
  ASSERT_FALSE(snapshot.empty());
  EXPECT_EQ(snapshot.back(), '\n');
  std::istringstream lines(snapshot);
  for (std::string line; std::getline(lines, line);) {
    if (line == "teststring=teststringvalue" || line == "testinteger=42") continue;
    EXPECT_TRUE(std::regex_match(line, std::regex(R"(shared\.[0-6]=(x*|\d+))"))) << line;
  }
}

}  // namespace
