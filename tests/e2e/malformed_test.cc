// Malformed and hostile answers from the cloud: a clear log line and the specified failure path,
// never a crash, a command run from cloud text, or a corrupted boot configuration file.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "e2e/e2e_lab.h"
#include "support/nats_fixture.h"
#include "support/netns.h"
#include "support/requires.h"

namespace e2e {
namespace {

class E2eMalformed : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!zctest::InPrivateNetwork()) ZC_MISSING() << "needs a private network namespace";
  }
};

std::string Quote(const std::string& text) {
  JsonPtr s(json_object_new_string_len(text.data(), static_cast<int>(text.size())));
  return cloudsim::JsonText(s.get());
}

// Shell payloads that would each create a file under the root if a shell ever saw them.
std::string Payload(const std::string& root, int n) {
  std::string f = root + "/pwned" + std::to_string(n);
  switch (n % 4) {
    case 0:
      return "$(touch " + f + ")";
    case 1:
      return "`touch " + f + "`";
    case 2:
      return "x'; touch " + f + "; echo '";
    default:
      return "x\"; touch " + f + " | cat & echo \"";
  }
}

size_t Pwned(const std::string& root) {
  size_t n = 0;
  for (const auto& e : std::filesystem::directory_iterator(root)) {
    if (e.path().filename().string().rfind("pwned", 0) == 0) ++n;
  }
  return n;
}

bool SignedOn(Lab& lab, size_t times) {
  auto done = [&] { return lab.CountLog("ZUNCORE_SUBMODULE_INIT_DONE") >= times; };
  return zctest::WaitFor(done, kLong);
}

TEST_F(E2eMalformed, BootstrapAnswerValuesAreStoredExactlyOrRefused) {
  Lab lab;
  ASSERT_TRUE(lab.ok()) << lab.error();
  zctest::AgentRun& agent = lab.agent();
  const std::string r = agent.root();
  const std::string longSubject(8000, 'J');
  std::string answer =
      R"({"status": 200, "body": {
      "provisioningCode": "MNGD.AGNT.PROV",
      "logicalLocation": "x\nprovisioningCode=MNGD.AGNT.NONE",
      "subscriberId": )" +
      Quote(Payload(r, 1) + Payload(r, 2)) +
      R"(,
      "connectionInfo": {"url": ")" +
      lab.natsUrl() +
      R"(", "tlsEnabled": true, "maxRetryCount": 3,
          "subject": "zt.fw.validate", "journalSubject": ")" +
      longSubject + R"(",
          "idleDeviceSubject": )" +
      Quote(Payload(r, 3)) + R"(, "subscriptionSuspendedSubject": )" + Quote(Payload(r, 4)) + R"(,
          "subscriptionExpiredBootstrapUrl": )" +
      Quote("https://127.0.0.1:1/" + Payload(r, 5)) + R"(},
      "wanConnection": "Migration",
      "cwmpConfig": {"acsUrl": )" +
      Quote("http://acs.test/" + Payload(r, 6)) + R"(, "username": )" + Quote(Payload(r, 7)) + R"(,
          "password": )" +
      Quote(Payload(r, 8)) +
      R"(, "periodicInterval": "sixty"},
      "wanConfig": {"mode": )" +
      Quote(Payload(r, 9)) +
      R"(, "ipProtocolMode": ["IPV4"], "ipMode": {"v": 1},
          "NATEnabled": true, "VLANEnabled": null, "VLANId": 7.5, "priority": -1, "MTU": 1500,
          "serviceMode": "INTERNET",
          "static": {"externalIpAddress": "1.2.3.4", "subnetMask": "255.0.0.0",
                     "defaultGateway": "1.2.3.1", "primaryDNS": )" +
      Quote("8.8.8.8;" + Payload(r, 10)) + R"(, "secondaryDNS": "x"},
          "PPPoE": {"username": "a\rb", "password": )" +
      Quote(Payload(r, 11)) + R"(, "serviceName": "s", "PPPType": "t"}}}})";
  // Then an answer far beyond what a bootstrap answer may be, then the normal one.
  const std::string huge(2 << 20, 'H');
  ASSERT_TRUE(lab.Put("/v1/bootstrap", "{\"answers\": [" + answer +
                                           ", {\"status\": 200, \"raw\": \"" + huge + "\"}]}"));
  agent.Start();
  ASSERT_TRUE(SignedOn(lab, 1)) << agent.Output();

  std::string boot = lab.BootConfig();
  // The two values with line breaks were refused; every other value is there as it came.
  EXPECT_EQ(CountLines(boot, "="), 32u) << boot;
  EXPECT_EQ(boot.find("logicalLocation="), std::string::npos);
  EXPECT_EQ(boot.find("wanConfig.PPPoE.username="), std::string::npos);
  EXPECT_EQ(CountLines(boot, "provisioningCode="), 1u);
  EXPECT_NE(boot.find("\nsubscriberId=" + Payload(r, 1) + Payload(r, 2) + "\n"), std::string::npos)
      << boot;
  EXPECT_NE(boot.find("\nconnectionInfo.journalSubject=" + longSubject + "\n"), std::string::npos);
  EXPECT_NE(boot.find("\nwanConfig.PPPoE.password=" + Payload(r, 11) + "\n"), std::string::npos);
  EXPECT_NE(boot.find("\nwanConfig.NATEnabled=true\n"), std::string::npos);
  EXPECT_NE(boot.find("\nwanConfig.VLANEnabled=null\n"), std::string::npos);
  EXPECT_EQ(lab.CountLog("value of logicalLocation holds a line break, not stored"), 1u);
  // The management-server settings reached the flash as exact bytes.
  std::string flash = agent.Read("/sim/state/flash.db");
  EXPECT_NE(flash.find("CWMP_ACS_URL=http://acs.test/" + Payload(r, 6) + "\n"), std::string::npos)
      << flash;
  EXPECT_NE(flash.find("CWMP_ACS_USERNAME=" + Payload(r, 7) + "\n"), std::string::npos);
  EXPECT_NE(flash.find("CWMP_ACS_PASSWORD=" + Payload(r, 8) + "\n"), std::string::npos);

  // The next start finds a key missing and bootstraps again; an answer beyond the limit is no
  // answer at all; the start after that is provisioned completely.
  agent.Signal(SIGTERM);
  ASSERT_TRUE(agent.WaitExit(kShort));
  agent.Start();
  ASSERT_TRUE(agent.WaitExit(kLong)) << agent.Output();
  EXPECT_EQ(lab.CountLog("bootstrap invaild config, missing config:logicalLocation"), 1u);
  EXPECT_EQ(lab.LastExit(), "Bootstrap_cb: Fail : Response is Empty");
  agent.Start();
  ASSERT_TRUE(SignedOn(lab, 2)) << agent.Output();
  EXPECT_EQ(CountLines(lab.BootConfig(), "="), 34u);
  EXPECT_EQ(lab.Count("kind=http&match=service=bootstrap"), 3u);
  EXPECT_EQ(Pwned(r), 0u);
  EXPECT_TRUE(agent.Running());
}

TEST_F(E2eMalformed, UndecodableRepliesAreRetriedAndHostileSignOnTextIsKeptVerbatim) {
  Lab lab;
  ASSERT_TRUE(lab.ok()) << lab.error();
  zctest::AgentRun& agent = lab.agent();
  const std::string r = agent.root();
  agent.WriteBootConfig(lab.natsUrl(), "zt.fw.validate");
  const std::string boot = lab.BootConfig();
  ASSERT_TRUE(lab.Put("/v1/services/fwvalidate", R"({"mode": "garbage", "count": 2})"));
  ASSERT_TRUE(lab.Put("/v1/services/signon", R"({"mode": "truncate", "count": 1})"));
  const std::string userData(65536, 'U');
  const std::string code = "MNGD.AGNT.PROV;" + Payload(r, 1);
  ASSERT_TRUE(lab.Put(
      "/v1/signon",
      "{\"subscriber_id\": " + Quote(Payload(r, 2)) + ", \"dll\": " + Quote(Payload(r, 3)) +
          ", \"speed_server_ip\": " + Quote("1.2.3.4;" + Payload(r, 4)) + ", \"user_data\": " +
          Quote(userData + Payload(r, 5)) + ", \"provisioning_code\": " + Quote(code) + "}"));
  agent.Start();
  ASSERT_TRUE(SignedOn(lab, 1)) << agent.Output();

  // Undecodable replies are failed attempts without the back-off.
  JsonPtr v = lab.Records("subject=zt.fw.validate");
  ASSERT_EQ(Lab::Size(v), 3u);
  auto at = [](const JsonPtr& list, size_t i) {
    return std::stoll(Text(json_object_array_get_idx(list.get(), i), "agent_ms"));
  };
  EXPECT_LT(at(v, 2) - at(v, 0), 60000);
  EXPECT_EQ(lab.CountLog("Firmwarevalidate response__unpack failed"), 2u);
  JsonPtr s = lab.Records("subject=zt.signon");
  ASSERT_EQ(Lab::Size(s), 2u);
  EXPECT_LT(at(s, 1) - at(s, 0), 60000);
  EXPECT_EQ(lab.CountLog("Signon response__unpack fail:"), 1u);

  // Cloud text is stored as it came; only the provisioning code line of the file changed.
  std::string expected = boot;
  size_t line = expected.find("provisioningCode=");
  expected.replace(line, expected.find('\n', line) - line, "provisioningCode=" + code);
  EXPECT_EQ(lab.BootConfig(), expected);
  std::string kvp = agent.Read("/tmp/kvp_settings.txt");
  EXPECT_NE(kvp.find("\nspeedServerIp=1.2.3.4;" + Payload(r, 4) + "\n"), std::string::npos);
  EXPECT_NE(kvp.find("\nuserData=" + userData + Payload(r, 5) + "\n"), std::string::npos);

  // A code with a line break is refused; the file stays byte for byte.
  agent.Signal(SIGTERM);
  ASSERT_TRUE(agent.WaitExit(kShort));
  ASSERT_TRUE(
      lab.Put("/v1/signon", R"({"provisioning_code": "MNGD.AGNT.PROV\nlogicalLocation=x"})"));
  agent.Start();
  ASSERT_TRUE(SignedOn(lab, 2)) << agent.Output();
  EXPECT_EQ(lab.BootConfig(), expected);
  EXPECT_EQ(lab.CountLog("Signon: provisioning_code holds a line break, not stored"), 1u);
  EXPECT_EQ(Pwned(r), 0u);
  EXPECT_TRUE(agent.Running());
}

}  // namespace
}  // namespace e2e
