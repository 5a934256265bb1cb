#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <thread>
#include <vector>

#include "support/temp_root.h"
#include "utils/exitlog.h"
#include "utils/files.h"
#include "utils/kvp.h"

namespace {

// A root with stand-ins for pidof (finds nothing) and dnsmasq (records that it started), and the
// root's bin first on PATH as on the router.
class ExitLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root.Write("/bin/pidof", "#!/bin/sh\nexit 1\n", true);
    root.Write("/bin/dnsmasq", "#!/bin/sh\necho dnsmasq \"$@\" >> " + root("/tmp/order") + "\n",
               true);
    savedPath = getenv("PATH");
    setenv("PATH", (root("/bin") + ":" + savedPath).c_str(), 1);
  }
  void TearDown() override { setenv("PATH", savedPath.c_str(), 1); }

  // Runs body in a child process and returns its wait status.
  template <typename Body>
  int InChild(Body body) {
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
      body();
      _exit(99);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
  }

  // Waits until the file holds the text (the dnsmasq stand-in runs detached).
  std::string WaitForText(const std::string& routerPath, const std::string& text) {
    for (int i = 0; i < 500 && root.Read(routerPath).find(text) == std::string::npos; ++i) {
      usleep(10000);
    }
    return root.Read(routerPath);
  }

  zctest::TempRoot root;
  std::string savedPath;
};

TEST_F(ExitLogTest, ReasonIsWrittenLiterallyAndNothingRuns) {
  std::string reason = "x'; touch " + root("/tmp/p") + "; echo '$(id) `id` \"q\"";
  root.Write("/tmp/zuninitcomplete", "");
  int status = InChild([&] {
    InitKVP();
    ExitLog(reason);
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  std::string line = root.Read("/tmp/zuncore_exit");
  EXPECT_TRUE(std::regex_match(
      line, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d PID:\d+ TimeElapsed:\d+seconds )"
                       R"(ExitStatus:.*\n)")))
      << line;
  EXPECT_NE(line.find("ExitStatus:" + reason + "\n"), std::string::npos);
  EXPECT_FALSE(root.Exists("/tmp/p"));
  EXPECT_FALSE(root.Exists("/tmp/zuninitcomplete"));
  EXPECT_NE(
      WaitForText("/tmp/order", "dnsmasq")
          .find("dnsmasq -C " + root("/var/dnsmasq.conf") + " -r " + root("/var/resolv.conf")),
      std::string::npos);
}

TEST_F(ExitLogTest, ListenersCloseBeforeDnsmasqStarts) {
  InChild([&] {
    RegisterExitHook([&] { zc::AppendLine(root("/tmp/order"), "hook"); });
    ExitLog("order");
  });
  std::string order = WaitForText("/tmp/order", "dnsmasq");
  EXPECT_TRUE(order.starts_with("hook\ndnsmasq")) << order;
}

TEST_F(ExitLogTest, ConcurrentCallersLeaveOneExitLine) {
  root.Write("/tmp/zuncore_exit", "");
  InChild([&] {
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
      threads.emplace_back([i] { ExitLog("thread " + std::to_string(i)); });
    }
    for (auto& t : threads) t.join();
  });
  EXPECT_EQ(zc::CountLines(root("/tmp/zuncore_exit")), 1);
}

TEST_F(ExitLogTest, CrashLineIsWrittenFromTheSignalHandler) {
  int status = InChild([&] {
    InstallCrashHandler();
    raise(SIGSEGV);
  });
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGSEGV);
  EXPECT_TRUE(std::regex_search(
      root.Read("/tmp/zuncore_exit"),
      std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d PID:\d+ TimeElapsed:\d+seconds )"
                 R"(ExitStatus:SigSegvHandler: got SIGSEGV\n)")));
}

TEST(ExitLogElapsed, ClockSetBackwardsMovesTheStartMark) {
  gZuncoreTimeStart.store(1000);
  EXPECT_EQ(ElapsedSecondsSinceStart(1600), 600);
  EXPECT_EQ(ElapsedSecondsSinceStart(500), 500);  // start lies in the future
  EXPECT_EQ(gZuncoreTimeStart.load(), 500);
  gZuncoreTimeStart.store(0);
  EXPECT_EQ(ExitLineText("2026-01-01 00:00:00", 7, 3, "a\nb"),
            "2026-01-01 00:00:00 PID:7 TimeElapsed:3seconds ExitStatus:a b");
}

}  // namespace
