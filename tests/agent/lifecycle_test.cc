// The real agent on a fresh simulated router: start-up files, signals, the exit path and the
// provisioning watchdog.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <regex>

#include "support/agent_harness.h"
#include "support/http_server.h"
#include "support/nats_fixture.h"
#include "support/netns.h"
#include "support/requires.h"

namespace {

using namespace std::chrono_literals;
using zctest::AgentOptions;
using zctest::AgentRun;

constexpr auto kStartTimeout = 30s;
const std::regex kExitLine(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d PID:\d+ TimeElapsed:\d+seconds )"
                           R"(ExitStatus:(.*)\n)");

class LifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!zctest::InPrivateNetwork()) ZC_MISSING() << "needs a private network namespace";
  }
  // A bootstrap endpoint that accepts and never answers: the agent stays in its bootstrap.
  zctest::HttpServer silentBootstrap{[](const std::string&) { return zctest::HttpScript{}; },
                                     /*holdOpen=*/true};

  void StartAndWait(AgentRun& agent) {
    agent.SetBootstrapUrl(silentBootstrap.Url(""));
    agent.Start();
    ASSERT_TRUE(agent.WaitFor("main: JournalInit Success", kStartTimeout)) << agent.Output();
  }
  static std::string ExitReason(const AgentRun& agent) {
    std::smatch m;
    std::string text = agent.Read("/tmp/zuncore_exit");
    return std::regex_search(text, m, kExitLine) ? m[1].str() : "<no exit line: " + text + ">";
  }
};

TEST_F(LifecycleTest, StartUpWritesItsFilesAndSigintEndsThroughTheExitPath) {
  AgentRun agent(AgentOptions::Scale(0.1));
  std::string lines;
  for (int i = 0; i < 51; ++i) lines += "old line\n";
  agent.Write("/tmp/zuncore_pid", lines);
  agent.Write("/tmp/zuninitcomplete", "");
  agent.Write("/tmp/zuncore-rundoh", "1\n");
  agent.Write("/tmp/zuncorenatsconn", "stale\n");
  StartAndWait(agent);

  // 51 lines were emptied before the new line went in.
  EXPECT_TRUE(std::regex_match(agent.Read("/tmp/zuncore_pid"),
                               std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d zunCore PID:)" +
                                          std::to_string(agent.pid()) + "\n")))
      << agent.Read("/tmp/zuncore_pid");
  EXPECT_FALSE(agent.Exists("/tmp/zuninitcomplete"));
  EXPECT_FALSE(agent.Exists("/tmp/zuncore-rundoh"));
  EXPECT_EQ(agent.Read("/tmp/zuncorenatsconn"), "");
  std::string snapshot = agent.Read("/tmp/kvp_settings.txt");
  EXPECT_NE(snapshot.find("teststring=teststringvalue\n"), std::string::npos) << snapshot;
  EXPECT_NE(snapshot.find("testinteger=42\n"), std::string::npos);
  EXPECT_NE(snapshot.find("device_mac_addr=02:5A:00:00:00:01\n"), std::string::npos);
  EXPECT_NE(agent.Read("/tmp/zuncore_loglevel").find("zuncore current-log-level :6 ["),
            std::string::npos);
  std::string out = agent.Output();
  EXPECT_NE(out.find("bootstrap is NOT configured /etc/config/zunbootconfig file not present"),
            std::string::npos);
  EXPECT_NE(out.find("ZUNCORE_SUBMODULE_INIT_PROGRESS"), std::string::npos);
  EXPECT_NE(agent.Read("/sim/log/calls.log").find("pidof"), std::string::npos);

  agent.Signal(SIGINT);
  auto status = agent.WaitExit(10s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
  EXPECT_EQ(ExitReason(agent), "SigIntHandler: got SIGINT");
  EXPECT_NE(agent.Output().find("KVP_DUMP: teststring=teststringvalue"), std::string::npos);
}

TEST_F(LifecycleTest, SigtermAndCrashBothLeaveTheirExitLine) {
  AgentRun term(AgentOptions::Scale(0.1));
  StartAndWait(term);
  term.Signal(SIGTERM);
  ASSERT_TRUE(term.WaitExit(10s));
  EXPECT_EQ(ExitReason(term), "SigTermHandler: got SIGTERM");

  AgentRun crash(AgentOptions::Scale(0.1));
  StartAndWait(crash);
  crash.Signal(SIGSEGV);
  auto status = crash.WaitExit(2s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGSEGV);
  EXPECT_EQ(ExitReason(crash), "SigSegvHandler: got SIGSEGV");
}

TEST_F(LifecycleTest, UnansweredProvisioningIsEndedByTheWatchdogAndOthersLiveOn) {
  zctest::NatsServerFixture nats;
  ASSERT_TRUE(nats.ok()) << nats.error();
  // Firmware validation is never answered: the agent keeps retrying until its first health
  // report (after six probe periods) finds the telemetry thread missing.
  AgentRun watched(AgentOptions::Scale(0.005));
  ASSERT_TRUE(zctest::NatsServerFixture::InstallCa(watched.root()));
  watched.WriteBootConfig(nats.url(), "validate.nobody.listens");
  AgentRun other(AgentOptions::Scale(1));
  watched.Start();
  StartAndWait(other);
  auto status = watched.WaitExit(60s);
  ASSERT_TRUE(status) << watched.Output();
  EXPECT_EQ(ExitReason(watched), "ThreadMonitor: TelemetryThread is not running")
      << watched.Output();
  std::string out = watched.Output();
  EXPECT_NE(out.find("bootstrap prefetch success"), std::string::npos);
  EXPECT_NE(out.find("Zuncore Task Health ---> START"), std::string::npos);
  EXPECT_NE(out.find("ThreadMonitor: UplinkThreadMonitor Exist"), std::string::npos);
  EXPECT_NE(watched.Read("/tmp/zuncore_uplink_status").find("uplink offline at "),
            std::string::npos);
  EXPECT_TRUE(other.Running());
}

}  // namespace
