// Diagnostics pushed by the cloud to the real agent: site survey of the simulated neighbours and
// the CLI debug channel (greeting, replacement of a command that never ends, a level change).
#include <gtest/gtest.h>

#include <string>

#include "e2e/config_lab.h"
#include "lib/profile.h"
#include "support/netns.h"
#include "support/requires.h"
#include "support/speed_server.h"

namespace e2e {
namespace {

using Texts = std::vector<std::string>;

class E2eConfigDiag : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!zctest::InPrivateNetwork()) ZC_MISSING() << "needs a private network namespace";
  }
};

// Texts of the CLI replies since a mark, in order.
Texts CliReplies(Lab& lab, const std::string& since) {
  Texts out;
  JsonPtr r = lab.Records("since=" + since);
  for (size_t i = 0; i < Lab::Size(r); ++i) {
    json_object* record = json_object_array_get_idx(r.get(), i);
    std::string subject = Text(record, "subject");
    if (subject.rfind("zt.cli.", 0) != 0 || subject.find(".resp") == std::string::npos) continue;
    json_object* decoded = Lab::Decoded(r, i);
    out.push_back(decoded && json_object_is_type(decoded, json_type_string)
                      ? json_object_get_string(decoded)
                      : std::string(json_object_to_json_string(decoded)));
  }
  return out;
}

TEST_F(E2eConfigDiag, SurveyMatchesTheSimulatedNeighboursAndTheCliChannelAnswers) {
  Lab lab;
  ASSERT_TRUE(lab.ok()) << lab.error();
  StartSignedOn(lab);
  zctest::AgentRun& agent = lab.agent();
  ASSERT_EQ(agent.Zunsim("ap add 00:11:22:33:44:55 --ssid home-net --channel 6 --signal 70"), 0);
  ASSERT_EQ(agent.Zunsim("ap add 66:77:88:99:aa:bb --ssid cafe-net --channel 11 --signal 30"), 0);

  std::string since = std::to_string(lab.cloud().LastSeq());
  EXPECT_EQ(Ask(lab, "commandGroup:0", Command("ss", "SITE_SURVEY", "wlan0")), Texts{"NA"});
  JsonPtr survey = lab.WaitRecords("subject=zt.wifi.survey&since=" + since, 1, kLong);
  ASSERT_TRUE(survey);
  std::string text = std::string(json_object_to_json_string(Lab::Decoded(survey, 0)));
  EXPECT_NE(text.find("home-net"), std::string::npos) << text;
  EXPECT_NE(text.find("cafe-net"), std::string::npos) << text;
  EXPECT_NE(text.find("\"ss\""), std::string::npos) << text;

  // Greeting; a command that never ends replaced by a level change; every run ends with EOC.
  since = std::to_string(lab.cloud().LastSeq());
  EXPECT_EQ(Ask(lab, "commandGroup:0", Command("c1", "CLIDEBUG", "Connect")), Texts{"NA"});
  ASSERT_TRUE(zctest::WaitFor([&] { return CliReplies(lab, since).size() >= 2; }, kLong));
  EXPECT_EQ(CliReplies(lab, since), (Texts{"Welcome to Remote CLI", "EOC"}));
  since = std::to_string(lab.cloud().LastSeq());
  EXPECT_EQ(Ask(lab, "commandGroup:0", Command("c2", "CLIDEBUG", "sleep 1000")), Texts{"NA"});
  EXPECT_EQ(Ask(lab, "commandGroup:0", Command("c3", "CLIDEBUG", "zuncore-log-level 99")),
            Texts{"NA"});
  ASSERT_TRUE(zctest::WaitFor([&] { return CliReplies(lab, since).size() >= 3; }, kLong));
  Texts replies = CliReplies(lab, since);
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[0], "EOC");
  EXPECT_EQ(replies[1].rfind("[Error] zuncore invalid Log Level :99", 0), 0u) << replies[1];
  EXPECT_EQ(replies[2], "EOC");
  EXPECT_TRUE(agent.Running());
}

TEST_F(E2eConfigDiag, SpeedTestAgainstAThrottledServerReportsItsRate) {
  constexpr double kMbps = 40;
  zctest::SpeedServer server(static_cast<uint64_t>(kMbps * 1024 * 1024 / 8));
  LabOptions o;
  o.scale = 0.2;  // 3 s phases: long enough for a steady rate
  o.profile = cloudsim::DefaultProfileText();
  const std::string from = "\"speed_server_ip\": \"127.0.0.1:{P}\"";
  size_t at = o.profile.find(from);
  ASSERT_NE(at, std::string::npos);
  o.profile.replace(at, from.size(),
                    "\"speed_server_ip\": \"127.0.0.1:" + std::to_string(server.port()) + "\"");
  Lab lab(o);
  ASSERT_TRUE(lab.ok()) << lab.error();
  StartSignedOn(lab);
  std::string since = std::to_string(lab.cloud().LastSeq());
  EXPECT_EQ(Ask(lab, "commandGroup:0", Command("sp", "SPEED_TEST")), Texts{"NA"});
  // ping, download and upload results, each also on the result subject.
  JsonPtr results = lab.WaitRecords("subject=zt.speed.result&since=" + since, 3, kLong);
  ASSERT_TRUE(results);
  int checked = 0;
  for (size_t i = 0; i < Lab::Size(results); ++i) {
    json_object* e = Lab::Decoded(results, i);
    std::string type = Text(e, "test_type");
    if (type != "download" && type != "upload") continue;
    json_object* speed = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(e, "speed", &speed)) << type;
    EXPECT_NEAR(static_cast<double>(json_object_get_int64(speed)), kMbps, kMbps * 0.1) << type;
    ++checked;
  }
  EXPECT_EQ(checked, 2);
  EXPECT_GE(server.pings(), 1);
  EXPECT_TRUE(lab.agent().Running());
}

}  // namespace
}  // namespace e2e
