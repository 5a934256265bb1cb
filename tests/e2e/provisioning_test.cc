// A fresh router provisioned end to end, and a restart that reuses the boot configuration.
#include <gtest/gtest.h>
#include <signal.h>

#include "e2e/e2e_lab.h"
#include "support/netns.h"
#include "support/requires.h"

namespace e2e {
namespace {

class E2eProvisioning : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!zctest::InPrivateNetwork()) ZC_MISSING() << "needs a private network namespace";
  }
};

const char* const kBootstrapKeys[] = {
    "provisioningCode=MNGD.AGNT.PROV",
    "logicalLocation=zt.dll.025a00000001",
    "subscriberId=sub-0001",
    "connectionInfo.tlsEnabled=true",
    "connectionInfo.maxRetryCount=3",
    "connectionInfo.subject=zt.fw.validate",
    "connectionInfo.journalSubject=zt.journal.boot",
    "connectionInfo.idleDeviceSubject=zt.idle.025a00000001",
    "connectionInfo.subscriptionSuspendedSubject=zt.suspended.025a00000001",
    "wanConnection=NONE",
    "cwmpConfig.acsUrl=https://acs.test/cwmp",
    "cwmpConfig.periodicInterval=3600",
    "wanConfig.NATEnabled=1",
    "wanConfig.MTU=1500",
    "wanConfig.static.secondaryDNS=0.0.0.0",
    "wanConfig.PPPoE.PPPType=none",
};

TEST_F(E2eProvisioning, FreshRouterIsProvisionedAndARestartSkipsTheBootstrap) {
  Lab lab;
  ASSERT_TRUE(lab.ok()) << lab.error();
  zctest::AgentRun& agent = lab.agent();
  agent.Start();
  ASSERT_TRUE(lab.WaitLog("ZUNCORE_SUBMODULE_INIT_DONE")) << agent.Output();

  // The bootstrap request describes the router.
  JsonPtr posts = lab.Records("kind=http&match=service=bootstrap");
  ASSERT_EQ(Lab::Size(posts), 1u);
  json_object* post = json_object_array_get_idx(posts.get(), 0);
  EXPECT_EQ(Text(post, "path"), "/device/register");
  EXPECT_EQ(Text(post, "headers.Content-Type"), "application/json");
  EXPECT_EQ(Text(post, "headers.Accept"), "application/json");
  EXPECT_EQ(Text(post, "body_json.mac"), "02:5A:00:00:00:01");
  EXPECT_EQ(Text(post, "body_json.transactionId"), "");
  EXPECT_EQ(Text(post, "body_json.productClass"), Text(post, "body_json.model"));
  EXPECT_EQ(Text(post, "body_json.platformModel"), "ZSIM-GW1");
  EXPECT_EQ(Text(post, "body_json.agentVersion"), "2.1.9");
  EXPECT_EQ(Text(post, "body_json.launcherVersion"), "1.4.2");
  EXPECT_EQ(Text(post, "body_json.managementProtocol"), "AGENT");
  EXPECT_EQ(Text(post, "body_json.profile"), "AGENT");
  EXPECT_EQ(Text(post, "body_json.provisioningCode"), "");
  EXPECT_EQ(Text(post, "body_json.wanSettings.connectionType"), "DHCP");
  EXPECT_EQ(Text(post, "body_json.wlanSettings.0.ssid"), "ZunSim-0001");
  EXPECT_EQ(Text(post, "body_json.wlanSettings.3.interfaceName"), "wlan0-vap2");
  EXPECT_EQ(Text(post, "body_json.wlanSettings.4.ssid"), "<absent>");
  EXPECT_EQ(Text(post, "body_json.lanSettings.1.interfaceName"), "eth0.3");

  // The answer is in the boot configuration file, one line per key.
  std::string boot = lab.BootConfig();
  for (const char* line : kBootstrapKeys) {
    EXPECT_EQ(CountLines(boot, line), 1u) << line;
    EXPECT_NE(boot.find(std::string(line) + "\n"), std::string::npos) << line << "\n" << boot;
  }
  EXPECT_NE(boot.find("connectionInfo.url=" + lab.natsUrl() + "\n"), std::string::npos);
  EXPECT_EQ(CountLines(boot, "="), 34u) << boot;

  // Firmware validation and sign-on over the bootstrap connection, with the client headers.
  JsonPtr validate = Distinct(lab.Records("subject=zt.fw.validate"));
  ASSERT_EQ(Lab::Size(validate), 1u);
  json_object* v = json_object_array_get_idx(validate.get(), 0);
  EXPECT_EQ(Text(v, "decoded.mac"), "02:5A:00:00:00:01");
  EXPECT_EQ(Text(v, "decoded.version"), "2.1.9");
  EXPECT_EQ(Text(v, "decoded.launcher_version"), "1.4.2");
  EXPECT_EQ(Text(v, "header_error"), "<absent>");
  JsonPtr signon = Distinct(lab.Records("subject=zt.signon"));
  ASSERT_EQ(Lab::Size(signon), 1u);
  json_object* s = json_object_array_get_idx(signon.get(), 0);
  EXPECT_EQ(Text(s, "decoded.mac"), "02:5A:00:00:00:01");
  EXPECT_EQ(Text(s, "header_error"), "<absent>");
  EXPECT_NE(Text(s, "headers.x-zun-client-trace-id"), Text(v, "headers.x-zun-client-trace-id"));

  // The three connections came up and the bootstrap connection went away.
  std::string conns = agent.Read("/tmp/zuncorenatsconn");
  for (const char* name : {"nats_bootstrap_connection cid:", "nats_msg_connection cid:",
                           "nats_cmd_connection cid:", "nats_edge_connection cid:"}) {
    EXPECT_NE(conns.find(name), std::string::npos) << name << "\n" << conns;
  }
  EXPECT_EQ(CountLines(conns, ":destroyed"), 1u) << conns;
  EXPECT_EQ(CountLines(conns, "nats_bootstrap_connection"), 2u) << conns;
  EXPECT_TRUE(lab.WaitLog("destroy bootstarp nats"));
  EXPECT_TRUE(agent.Exists("/tmp/zuninitcomplete"));
  EXPECT_EQ(agent.Read("/tmp/zuncore-rundoh"), "1\n");
  EXPECT_EQ(agent.Read("/etc/config/reboot_interval"), "7\n");
  EXPECT_FALSE(agent.Exists("/tmp/next_reboot_time"));

  // The command connection answers the cloud and reports flow (once those modules are built).
  if (lab.Built("ConfigInit")) {
    lab.Push("commandGroup:0",
             R"({"_cmd": {"transid": "t-led", "command": "ON_LED", "data": ""}})");
    EXPECT_TRUE(lab.WaitRecords("type=CONFIGRESP&transid=t-led"));
  }
  if (lab.Built("EventInit")) {
    EXPECT_TRUE(lab.WaitRecords("subject=zt.event&type=APEvent"));
  }
  if (lab.Built("TelemetryInit")) {
    EXPECT_TRUE(lab.WaitRecords("subject=zt.telemetry"));
  }
  // The first health report passes.
  ASSERT_TRUE(lab.WaitLog("Zuncore Task Health <--- END")) << agent.Output();
  EXPECT_TRUE(agent.Running());
  EXPECT_EQ(lab.ExitReasons().size(), 0u) << lab.LastExit();

  // A restart finds the complete boot configuration: no HTTPS request, straight to validation.
  agent.Signal(SIGTERM);
  ASSERT_TRUE(agent.WaitExit(kShort));
  agent.Start();
  ASSERT_TRUE(lab.WaitRecords("subject=zt.fw.validate", 2));
  EXPECT_TRUE(lab.WaitRecords("subject=zt.signon", 2));
  ASSERT_TRUE(lab.WaitLog("bootstrap prefetch success"));
  EXPECT_EQ(lab.Count("kind=http&match=service=bootstrap"), 1u);
  auto done = [&] { return lab.CountLog("ZUNCORE_SUBMODULE_INIT_DONE") >= 2; };
  EXPECT_TRUE(zctest::WaitFor(done, kLong)) << agent.Output();
  EXPECT_EQ(lab.BootConfig(), boot);
}

TEST_F(E2eProvisioning, TimeServiceThatNeverAnswersEndsTheStartWithinItsBound) {
  Lab lab;
  ASSERT_TRUE(lab.ok()) << lab.error();
  zctest::AgentRun& agent = lab.agent();
  agent.Write("/tmp/timeStatus", "0\n");  // NTP has not synchronised: the clock comes over HTTP
  ASSERT_TRUE(lab.Put("/v1/http/routes", R"([{"path": "/now", "hold": true}])"));
  agent.Start();
  ASSERT_TRUE(agent.WaitExit(kShort)) << agent.Output();
  EXPECT_EQ(lab.LastExit(), "TimeSync using HTTP FAIL!!!");
  EXPECT_EQ(lab.Count("kind=http&match=path=/now"), 1u);
  EXPECT_EQ(lab.Count("kind=http&match=service=bootstrap"), 0u);

  // A time service that answers sets the clock (recorded by the simulated router) and the start
  // goes on to the bootstrap.
  ASSERT_TRUE(lab.Put("/v1/http/routes", "[]"));
  agent.Start();
  ASSERT_TRUE(lab.WaitRecords("kind=http&match=service=bootstrap", 1, kLong)) << agent.Output();
  EXPECT_TRUE(lab.WaitLog("System time set successfully"));
  // 2025-03-01T12:00:00 UTC.
  EXPECT_NE(agent.Read("/sim/state/clock").find("settimeofday 1740830400\n"), std::string::npos)
      << agent.Read("/sim/state/clock");
}

}  // namespace
}  // namespace e2e
