// Malformed and hostile answers from the cloud: a clear log line and the specified failure path,
// never a crash, a command run from cloud text, or a corrupted boot configuration file.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

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

// A subject far longer than any the cloud uses: stored exactly as it came (the journal's publishes
// on it are refused before sending, so the bootstrap connection stays up).
std::string LongSubject() {
  return std::string(3000, 'J');
}

// A bootstrap answer with the given logicalLocation, ACS URL and ACS password (JSON texts) and
// hostile but storable values everywhere else.
std::string HostileAnswer(Lab& lab, const std::string& location, const std::string& acsUrl,
                          const std::string& acsPassword, const std::string& pppoeUser) {
  const std::string r = lab.agent().root();
  return R"({"status": 200, "body": {
      "provisioningCode": "MNGD.AGNT.PROV",
      "logicalLocation": )" +
         location + R"(,
      "subscriberId": )" +
         Quote(Payload(r, 1) + Payload(r, 2)) +
         R"(,
      "connectionInfo": {"url": ")" +
         lab.natsUrl() +
         R"(", "tlsEnabled": true, "maxRetryCount": 3,
          "subject": "zt.fw.validate", "journalSubject": ")" +
         LongSubject() + R"(",
          "idleDeviceSubject": )" +
         Quote(Payload(r, 3)) + R"(, "subscriptionSuspendedSubject": "zt.suspended")" +
         R"(,
          "subscriptionExpiredBootstrapUrl": )" +
         Quote("https://127.0.0.1:1/" + Payload(r, 5)) + R"(},
      "wanConnection": "Migration",
      "cwmpConfig": {"acsUrl": )" +
         acsUrl + R"(, "username": )" + Quote(Payload(r, 7)) + R"(,
          "password": )" +
         acsPassword +
         R"(, "periodicInterval": "sixty"},
      "wanConfig": {"mode": )" +
         Quote(Payload(r, 9)) +
         R"(, "ipProtocolMode": ["IPV4"], "ipMode": {"v": 1},
          "NATEnabled": true, "VLANEnabled": null, "VLANId": 7.5, "priority": -1, "MTU": 1500,
          "serviceMode": "INTERNET",
          "static": {"externalIpAddress": "1.2.3.4", "subnetMask": "255.0.0.0",
                     "defaultGateway": "1.2.3.1", "primaryDNS": )" +
         Quote("8.8.8.8;" + Payload(r, 10)) + R"(, "secondaryDNS": "x"},
          "PPPoE": {"username": )" +
         pppoeUser + R"(, "password": )" + Quote(Payload(r, 11)) +
         R"(, "serviceName": "s", "PPPType": "t"}}}})";
}

TEST_F(E2eMalformed, BootstrapAnswerValuesAreStoredExactlyOrRefused) {
  Lab lab;
  ASSERT_TRUE(lab.ok()) << lab.error();
  zctest::AgentRun& agent = lab.agent();
  const std::string r = agent.root();
  const std::string acsUrl = Quote("http://acs.test/" + Payload(r, 6));
  const std::string acsPassword = Quote(Payload(r, 8));
  // The logical location is a subject the command connection subscribes to: it must be one.
  const std::string location = Quote("zt.dll.hostile");
  const std::string pppoeUser = Quote("a b");
  // Refused whole, before anything is written: a line break in any value; when the answer
  // migrates the WAN, a control character in an ACS value or an ACS value the flash cannot hold.
  const std::vector<std::string> refused = {
      HostileAnswer(lab, Quote("x\nprovisioningCode=MNGD.AGNT.NONE"), acsUrl, acsPassword,
                    pppoeUser),
      HostileAnswer(lab, location, acsUrl, acsPassword, Quote("a\rb")),
      HostileAnswer(lab, location, acsUrl, Quote("pass\nword"), pppoeUser),
      HostileAnswer(lab, location, acsUrl, Quote("pass\tword"), pppoeUser),
      HostileAnswer(lab, location, Quote("http://acs.test/" + std::string(4096, 'u')), acsPassword,
                    pppoeUser),
  };
  std::string answers;
  for (const auto& a : refused) answers += a + ", ";
  // Then storable cloud text, then an answer far beyond what a bootstrap answer may be, then the
  // normal one.
  const std::string huge(2 << 20, 'H');
  answers += HostileAnswer(lab, location, acsUrl, acsPassword, pppoeUser) +
             ", {\"status\": 200, \"raw\": \"" + huge + "\"}";
  ASSERT_TRUE(lab.Put("/v1/bootstrap", "{\"answers\": [" + answers + "]}"));
  auto acsFlash = [&] {
    std::string lines;
    std::istringstream in(agent.Read("/sim/state/flash.db"));
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("CWMP_", 0) == 0) lines += line + "\n";
    }
    return lines;
  };
  for (size_t i = 0; i < refused.size(); ++i) {
    agent.Start();
    ASSERT_TRUE(agent.WaitExit(kLong)) << agent.Output();
    EXPECT_EQ(lab.LastExit(), "Bootstrap_cb: Fail : Response Fail") << i;
    EXPECT_FALSE(agent.Exists("/etc/config/zunbootconfig")) << i;
    EXPECT_EQ(acsFlash().find("acs.test"), std::string::npos) << i;
    EXPECT_EQ(acsFlash().find(Payload(r, 7)), std::string::npos) << i;
  }
  EXPECT_EQ(lab.CountLog("value of logicalLocation holds a line break, answer refused"), 1u);
  EXPECT_EQ(lab.CountLog("value of wanConfig.PPPoE.username holds a line break, answer refused"),
            1u);
  EXPECT_EQ(lab.CountLog("value of cwmpConfig.password holds a line break, answer refused"), 1u);
  EXPECT_EQ(lab.CountLog("value of cwmpConfig.password holds a control character, answer refused"),
            1u);
  EXPECT_EQ(lab.CountLog("value of cwmpConfig.acsUrl is longer than 255 bytes, answer refused"),
            1u);
  // The refused values never reached the log as lines of their own.
  EXPECT_EQ(agent.Output().find("\nprovisioningCode=MNGD.AGNT.NONE"), std::string::npos);

  agent.Start();
  ASSERT_TRUE(SignedOn(lab, 1)) << agent.Output();
  std::string boot = lab.BootConfig();
  // Every value is there as it came.
  EXPECT_EQ(CountLines(boot, "="), 34u) << boot;
  EXPECT_EQ(CountLines(boot, "provisioningCode="), 1u);
  EXPECT_NE(boot.find("\nlogicalLocation=zt.dll.hostile\n"), std::string::npos);
  EXPECT_NE(boot.find("\nsubscriberId=" + Payload(r, 1) + Payload(r, 2) + "\n"), std::string::npos)
      << boot;
  EXPECT_NE(boot.find("\nconnectionInfo.journalSubject=" + LongSubject() + "\n"),
            std::string::npos);
  EXPECT_NE(boot.find("\nwanConfig.PPPoE.username=a b\n"), std::string::npos);
  EXPECT_NE(boot.find("\nwanConfig.PPPoE.password=" + Payload(r, 11) + "\n"), std::string::npos);
  EXPECT_NE(boot.find("\nwanConfig.NATEnabled=true\n"), std::string::npos);
  EXPECT_NE(boot.find("\nwanConfig.VLANEnabled=null\n"), std::string::npos);
  // The management-server settings reached the flash as exact bytes.
  std::string flash = agent.Read("/sim/state/flash.db");
  EXPECT_NE(flash.find("CWMP_ACS_URL=http://acs.test/" + Payload(r, 6) + "\n"), std::string::npos)
      << flash;
  EXPECT_NE(flash.find("CWMP_ACS_USERNAME=" + Payload(r, 7) + "\n"), std::string::npos);
  EXPECT_NE(flash.find("CWMP_ACS_PASSWORD=" + Payload(r, 8) + "\n"), std::string::npos);

  // Without a boot configuration the next start bootstraps again; an answer beyond the limit is
  // no answer at all; the start after that is provisioned completely.
  agent.Signal(SIGTERM);
  ASSERT_TRUE(agent.WaitExit(kShort));
  std::filesystem::remove(r + "/etc/config/zunbootconfig");
  agent.Start();
  ASSERT_TRUE(agent.WaitExit(kLong)) << agent.Output();
  EXPECT_EQ(lab.LastExit(), "Bootstrap_cb: Fail : Response is Empty");
  agent.Start();
  ASSERT_TRUE(SignedOn(lab, 2)) << agent.Output();
  EXPECT_EQ(CountLines(lab.BootConfig(), "="), 34u);
  EXPECT_EQ(lab.Count("kind=http&match=service=bootstrap"), refused.size() + 3);
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
