// Sign-on: failures that end the process, the restart from bootstrap into the idle state, the
// single-connection choice, and a messaging server restarted while sign-on waits.
#include <gtest/gtest.h>

#include "e2e/e2e_lab.h"
#include "support/nats_fixture.h"
#include "support/netns.h"
#include "support/requires.h"

namespace e2e {
namespace {

class E2eSignon : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!zctest::InPrivateNetwork()) ZC_MISSING() << "needs a private network namespace";
  }
};

long long AgentMs(const JsonPtr& records, size_t i) {
  return std::stoll(Text(json_object_array_get_idx(records.get(), i), "agent_ms"));
}

TEST_F(E2eSignon, FailuresRestartFromBootstrapIntoTheIdleStateTheCloudCanReach) {
  Lab lab;
  ASSERT_TRUE(lab.ok()) << lab.error();
  zctest::AgentRun& agent = lab.agent();
  agent.WriteBootConfig(lab.natsUrl(), "zt.fw.validate", 1);
  // First start: sign-on is never answered. Second: the subscriber is not provisioned.
  ASSERT_TRUE(lab.Put("/v1/services/signon", R"({"mode": "drop", "count": 1})"));
  ASSERT_TRUE(lab.Put("/v1/signon", R"({"provisioning_code": "MNGD.AGNT.NONE"})"));
  // Third: the bootstrap answer says the same, with the idle location.
  ASSERT_TRUE(lab.Put("/v1/bootstrap", R"({"then": {"status": 200, "body": {
      "provisioningCode": "MNGD.AGNT.NONE",
      "connectionInfo": {"url": ")" + lab.natsUrl() +
                                           R"(", "tlsEnabled": "TRUE",
                         "idleDeviceSubject": "zt.idle.025a00000001"}}}})"));
  lab.StartLauncher();
  ASSERT_TRUE(lab.WaitExits(2)) << agent.Output();
  ExpectIdle(lab, 2, "zt.idle.025a00000001");

  EXPECT_EQ(lab.ExitReasons(),
            (std::vector<std::string>{
                "Signon fail: reply fail",
                "Signon provisioning_code is ZUN_PROV_NOK,so restart from bootstrap"}));
  // The unanswered attempt waited its time-out and the back-off before giving up.
  JsonPtr signons = lab.Records("subject=zt.signon");
  ASSERT_EQ(Lab::Size(signons), 2u);
  EXPECT_GE(AgentMs(signons, 1) - AgentMs(signons, 0), 130000);
  EXPECT_EQ(lab.Count("kind=http&match=service=bootstrap"), 1u);
  // The idle state's connection follows the answer's TLS setting.
  EXPECT_NE(
      lab.agent().Read("/tmp/kvp_settings.txt").find("nats.natsConnectionInfoCMD.tlsEnabled=1\n"),
      std::string::npos);
  EXPECT_EQ(lab.LauncherStarts(), 3);
}

TEST_F(E2eSignon, MessagingServerRestartedDuringSignOnIsRidden) {
  Lab lab;
  ASSERT_TRUE(lab.ok()) << lab.error();
  zctest::AgentRun& agent = lab.agent();
  agent.WriteBootConfig(lab.natsUrl(), "zt.fw.validate");
  ASSERT_TRUE(lab.Put("/v1/services/signon", R"({"mode": "drop", "count": 1})"));
  agent.Start();
  ASSERT_TRUE(lab.WaitRecords("subject=zt.signon")) << agent.Output();
  ASSERT_TRUE(lab.Post("/v1/nats/restart", R"({"down_ms": 400})"));
  ASSERT_TRUE(lab.WaitRecords("subject=zt.signon", 2, kLong)) << agent.Output();
  auto done = [&] { return lab.CountLog("ZUNCORE_SUBMODULE_INIT_DONE") >= 1; };
  ASSERT_TRUE(zctest::WaitFor(done, kLong)) << agent.Output();
  // The bootstrap connection is in no operational record: its reconnection is logged as such.
  EXPECT_GE(lab.CountLog("disconnCB: nats disconnected"), 1u);
  EXPECT_GE(lab.CountLog("nats UNKNOWN Reconnection Success"), 1u);
  EXPECT_EQ(lab.CountLog("Signon: Response TimedOut!!! retry count:0"), 1u);
  EXPECT_EQ(lab.Count("kind=nats.server&match=event=start"), 1u);
  EXPECT_TRUE(agent.Running());
  EXPECT_EQ(lab.ExitReasons().size(), 0u) << lab.LastExit();
}

TEST_F(E2eSignon, SingleConnectionIsChosenBeforeTheConnectionsOpen) {
  Lab lab;
  ASSERT_TRUE(lab.ok()) << lab.error();
  zctest::AgentRun& agent = lab.agent();
  agent.WriteBootConfig(lab.natsUrl(), "zt.fw.validate");
  // With profiles the old order set the flag only after the main timer had opened the command
  // connection; the answer also carries a next reboot time and no reboot settings.
  ASSERT_TRUE(lab.Put("/v1/signon", R"({"use_single_nats": true, "next_reboot_time": 3600,
      "reboot_config": null,
      "dns_profile": [{"transid": "p1", "client_mac": ["02:5a:00:00:00:17"],
                       "has_scheduled_pause": false, "profile_name": "kids"}]})"));
  agent.Start();
  auto done = [&] { return lab.CountLog("ZUNCORE_SUBMODULE_INIT_DONE") >= 1; };
  ASSERT_TRUE(zctest::WaitFor(done, kLong)) << agent.Output();
  ASSERT_TRUE(lab.WaitLog("Signon process DNS profile config[1]")) << agent.Output();
  std::string conns = agent.Read("/tmp/zuncorenatsconn");
  EXPECT_NE(conns.find("nats_msg_connection"), std::string::npos) << conns;
  EXPECT_EQ(conns.find("nats_cmd_connection"), std::string::npos) << conns;
  EXPECT_EQ(agent.Output().find("nats CMD connection Success"), std::string::npos);
  EXPECT_TRUE(agent.Exists("/tmp/next_reboot_time"));
  EXPECT_FALSE(agent.Exists("/etc/config/reboot_interval"));
  // The profiles were handed over only once every connection was up.
  std::string out = agent.Output();
  EXPECT_LT(out.find("ZUNCORE_SUBMODULE_INIT_DONE"), out.find("process DNS profile config[1]"));
}

// The cloud may leave the message connection out: event reporting and telemetry then never run,
// and the health report must not count them as stopped (the agent stays up over three reports).
TEST_F(E2eSignon, WithoutTheMessageConnectionTheHealthReportsPass) {
  Lab lab;
  ASSERT_TRUE(lab.ok()) << lab.error();
  zctest::AgentRun& agent = lab.agent();
  agent.WriteBootConfig(lab.natsUrl(), "zt.fw.validate");
  const std::string port = lab.natsUrl().substr(lab.natsUrl().rfind(':') + 1);
  auto cluster = [&](const char* name) {
    return std::string(R"({"cluster_name": ")") + name +
           R"(", "url": "127.0.0.1", "ip": "127.0.0.1", "port": )" + port +
           R"(, "ping_interval_in_seconds": 30, "max_ping": 4, "tls_enabled": true})";
  };
  ASSERT_TRUE(lab.Put("/v1/signon", "{\"connection_info\": [" + cluster("COMMAND") + ", " +
                                        cluster("EDGE") + "]}"));
  agent.Start();
  ASSERT_TRUE(lab.WaitLog("UpdateMainTimer: nats_msg_url is Disabled")) << agent.Output();
  auto reports = [&] { return lab.CountLog("Zuncore Task Health <--- END") >= 3; };
  ASSERT_TRUE(zctest::WaitFor(reports, kLong)) << lab.LastExit() << "\n" << agent.Output();
  EXPECT_TRUE(agent.Running());
  EXPECT_EQ(lab.CountLog("is not running"), 0u);
  EXPECT_EQ(lab.ExitReasons().size(), 0u) << lab.LastExit();
}

}  // namespace
}  // namespace e2e
