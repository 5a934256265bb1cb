// Every answer of the bootstrap endpoint: exits the launcher turns into new attempts, the
// subscription renewal URL, the status-500 back-off on a timer, and the idle recovery state.
#include <gtest/gtest.h>

#include <regex>

#include "e2e/e2e_lab.h"
#include "support/nats_fixture.h"
#include "support/netns.h"
#include "support/requires.h"

namespace e2e {
namespace {

class E2eBootstrap : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!zctest::InPrivateNetwork()) ZC_MISSING() << "needs a private network namespace";
  }
};

std::vector<std::string> Prefixes(Lab& lab) {
  std::vector<std::string> out;
  JsonPtr posts = lab.Records("kind=http&match=service=bootstrap");
  for (size_t i = 0; i < Lab::Size(posts); ++i) {
    out.push_back(Text(json_object_array_get_idx(posts.get(), i), "prefix"));
  }
  return out;
}

TEST_F(E2eBootstrap, AnswersThatEndTheProcessRenewalAndSuspension) {
  Lab lab;
  ASSERT_TRUE(lab.ok()) << lab.error();
  // A renewal file left empty must not strand the router: it bootstraps at the factory URL.
  lab.agent().Write("/etc/config/zunexpdbootstrapurl", "");
  const std::string renew = lab.httpsUrl("/renew");
  ASSERT_TRUE(lab.Put("/v1/bootstrap", R"({"answers": [
      {"status": 504},
      {"close": true},
      {"tls": "rogue"},
      {"status": 200, "delay_ms": 3600000},
      {"status": 200, "raw": "{\"provisioningCode\": "},
      {"status": 201, "body": {"provisioningCode": "MNGD.AGNT.EXPD",
                               "connectionInfo": {"subscriptionExpiredBootstrapUrl": "NA"}}},
      {"status": 202, "body": {"provisioningCode": "mngd.agnt.expd",
                               "connectionInfo": {"subscriptionExpiredBootstrapUrl": ")" +
                                           renew + R"("}}},
      {"status": 200, "body": {"provisioningCode": "mngd.agnt.spnd", "logicalLocation": "x",
          "connectionInfo": {"url": ")" + lab.natsUrl() +
                                           R"(", "tlsEnabled": "false",
                             "idleDeviceSubject": "zt.idle.025a00000001"}}}]})"));
  lab.StartLauncher();
  ASSERT_TRUE(lab.WaitExits(7)) << lab.agent().Output();
  ExpectIdle(lab, 2, "zt.idle.025a00000001");

  EXPECT_EQ(lab.ExitReasons(), (std::vector<std::string>{
                                   "Bootstrap_cb: Fail : Endpoint request timed out",
                                   "Bootstrap_cb: Fail : Response is Empty",
                                   "Bootstrap_cb: Fail : Response is Empty",
                                   "Bootstrap_cb: Fail : Response is Empty",
                                   "Bootstrap_cb: Fail : Empty config",
                                   "Bootstrap_cb: Subscription expired",
                                   "Bootstrap_cb: Subscription expired",
                               }));
  // The handshake with the unknown CA never became a request; the renewal URL was used once it
  // was a real one, and only then.
  EXPECT_EQ(Prefixes(lab), (std::vector<std::string>{"", "", "", "", "", "", "/renew"}));
  EXPECT_EQ(lab.agent().Read("/etc/config/zunexpdbootstrapurl"), renew);
  EXPECT_TRUE(lab.agent().Output().find("no usable expired-subscription bootstrap URL") !=
              std::string::npos);
  // The suspended answer was stored before going idle.
  EXPECT_NE(lab.BootConfig().find("provisioningCode=mngd.agnt.spnd\n"), std::string::npos);
  EXPECT_EQ(lab.LauncherStarts(), 8);
}

TEST_F(E2eBootstrap, ServerErrorsBackOffOnATimerThenTheRouterGoesIdle) {
  LabOptions o;
  o.scale = 0.01;
  Lab lab(o);
  ASSERT_TRUE(lab.ok()) << lab.error();
  std::string answers;
  for (int i = 0; i < 12; ++i) answers += std::string(i ? "," : "") + R"({"status": 500})";
  ASSERT_TRUE(lab.Put("/v1/bootstrap", "{\"answers\": [" + answers + "]}"));
  lab.agent().Start();
  ASSERT_TRUE(lab.WaitRecords("kind=http&match=service=bootstrap", 12, kLong))
      << lab.agent().Output();
  ExpectIdle(lab, 1, "zuncore.idle.dll.025a00000001");

  // Each delay is 2^n + (0..9) s and the next request waits for it on a timer: the main timer
  // keeps ticking in between and the health report does not end the process.
  std::string out = lab.agent().Output();
  std::regex delayLine(R"(gBootstrapFailureCount = (\d+) maxDelay = (\d+), sleepTime = (\d+))");
  std::vector<int> delays;
  for (std::sregex_iterator it(out.begin(), out.end(), delayLine), end; it != end; ++it) {
    int n = std::stoi((*it)[1]);
    int delay = std::stoi((*it)[3]);
    EXPECT_EQ(n, static_cast<int>(delays.size()));
    EXPECT_EQ(std::stoi((*it)[2]), 1 << n);
    EXPECT_GE(delay, 1 << n);
    EXPECT_LE(delay, (1 << n) + 9);
    delays.push_back(delay);
  }
  ASSERT_EQ(delays.size(), 11u) << out;
  JsonPtr posts = lab.Records("kind=http&match=service=bootstrap");
  for (size_t i = 1; i < Lab::Size(posts); ++i) {
    auto at = [&](size_t k) {
      return std::stoll(Text(json_object_array_get_idx(posts.get(), k), "agent_ms"));
    };
    EXPECT_GE(at(i) - at(i - 1), delays[i - 1] * 1000LL - 200) << "retry " << i;
  }
  size_t last = out.rfind("sleepTime = ");
  size_t ticks = CountLines(out.substr(last), "ZUNCORE_SUBMODULE_INIT_PROGRESS");
  EXPECT_GE(ticks, 1024u / 5 / 2) << "the main timer stalled during the last back-off";
  EXPECT_NE(out.find("Zuncore Task Health ---> START"), std::string::npos);
  EXPECT_EQ(out.find("ThreadMonitor: TelemetryThread is not running"), std::string::npos);
  EXPECT_TRUE(lab.agent().Running());
  EXPECT_FALSE(lab.agent().Exists("/etc/config/zunbootconfig"));
}

}  // namespace
}  // namespace e2e
