// Configuration members pushed by the cloud to the real agent: each answered once with its text,
// the router changed only as asked, malformed and hostile envelopes answered with their failure
// text while nothing runs and the agent stays up.
#include <gtest/gtest.h>

#include "e2e/config_lab.h"
#include "support/nats_fixture.h"
#include "support/netns.h"
#include "support/requires.h"

namespace e2e {
namespace {

using Texts = std::vector<std::string>;

class E2eConfigMembers : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!zctest::InPrivateNetwork()) ZC_MISSING() << "needs a private network namespace";
  }
};

TEST_F(E2eConfigMembers, ScriptsWifiFirmwareAndUnsupportedMembers) {
  Lab lab;
  ASSERT_TRUE(lab.ok()) << lab.error();
  StartSignedOn(lab);
  zctest::AgentRun& agent = lab.agent();
  const std::string r = agent.root();

  // Scripts: one final answer each; a failed run restores the backup; the script is kept.
  EXPECT_EQ(Ask(lab, "commandGroup:0", R"({"_conf": {"transid": "c1", "script": "echo hi"}})"),
            Texts{"NA"});
  EXPECT_EQ(agent.Read("/tmp/config.sh"), "echo hi");
  EXPECT_EQ(Ask(lab, "commandGroup:0", R"({"_conf": {"transid": "c2", "script": "exit 3"}})"),
            Texts{"Config Error"});
  agent.Zunsim("fail xml.save --times 1");
  EXPECT_EQ(Ask(lab, "subject:dll.test",
                R"({"_conf": {"transid": "c3", "script": "touch )" + r + R"(/ran"}})"),
            Texts{"Backup FAIL"});
  EXPECT_FALSE(agent.Exists("/ran"));
  std::string calls = agent.Read("/sim/log/calls.log");
  EXPECT_EQ(CountLines(calls, "config_xmlconfig.sh"), 4u) << calls;  // -s, -s -l, -s
  EXPECT_EQ(CountLines(calls, "\"-l\""), 1u);

  // SSID through the router's own interface name; a refused passphrase changes nothing.
  EXPECT_EQ(Ask(lab, "commandGroup:1",
                R"({"_ssidpwd": {"transid": "w1", "config": [
                    {"wlan_interface": "WLAN0-VAP1", "ssid": "Guest-Net"}]}})"),
            Texts{"NA"});
  EXPECT_EQ(Flash(lab, "WLAN_MBSSIB_TBL.2.ssid"), "Guest-Net");
  EXPECT_EQ(CountLines(agent.Read("/sim/log/calls.log"), "WLAN0-VAP1"), 0u);
  EXPECT_GE(CountLines(agent.Read("/sim/log/calls.log"), "wlan0-vap1"), 2u);
  const std::string flash = agent.Read("/sim/state/flash.db");
  EXPECT_EQ(Ask(lab, "commandGroup:0",
                R"({"_ssidpwd": {"transid": "w2", "config": [
                    {"wlan_interface": "wlan0", "ssid": "Fine"},
                    {"wlan_interface": "wlan0-vap1", "passphrase": "short"}]}})"),
            Texts{"InvaildConfig"});
  EXPECT_EQ(agent.Read("/sim/state/flash.db"), flash);
  // An SSID with a NUL byte would be applied cut short: refused. Built on the wire by hand
  // (field 7 _ssidpwd {1 transid "w4", 2 config {1 ssid "ab\0cd", 2 wlan_interface "wlan0"}}).
  const std::string entry = std::string(
                                "\x0a\x05"
                                "ab\0cd",
                                7) +
                            "\x12\x05wlan0";
  const std::string ssidpwd = "\x0a\x02w4\x12" + std::string(1, char(entry.size())) + entry;
  const std::string nulEnvelope = "\x3a" + std::string(1, char(ssidpwd.size())) + ssidpwd;
  EXPECT_EQ(Ask(lab, "commandGroup:0", "", Raw(cloudsim::Base64Encode(nulEnvelope), "w4")),
            Texts{"InvaildConfig"});
  EXPECT_EQ(agent.Read("/sim/state/flash.db"), flash);
  // Shell text in an SSID and a passphrase reaches the flash as bytes, never a shell.
  const std::string ssid = ShellPayload(r, 0).substr(0, 32);
  const std::string pass = "pass'`touch " + r + "/pwned9`'";
  if (pass.size() <= 63) {
    EXPECT_EQ(
        Ask(lab, "commandGroup:0",
            R"({"_ssidpwd": {"transid": "w3", "config": [{"wlan_interface": "wlan0", "ssid": )" +
                Quote(ssid) + R"(, "passphrase": )" + Quote(pass) + "}]}}"),
        Texts{"NA"});
    EXPECT_EQ(Flash(lab, "WLAN_MBSSIB_TBL.0.ssid"), ssid);
    EXPECT_EQ(Flash(lab, "WLAN_MBSSIB_TBL.0.wpaPSK"), pass);
  }

  // Firmware of the running version: answered under the centralised id, nothing downloaded.
  EXPECT_EQ(Ask(lab, "immediateFirmware:0",
                R"({"_fw": {"transid": "f1", "fwurl": "https://x/", "version": "2.1.9"}})",
                For(std::string("f1.") + kDeviceMac)),
            Texts{"NA"});
  EXPECT_TRUE(lab.WaitLog("Firmware is uptodate, skip fw upgrade request for 2.1.9"));
  // Any other member on a firmware subject is refused under its own transaction.
  EXPECT_EQ(Ask(lab, "stableFirmware:0", Command("fwc", "ON_LED")), Texts{"InvaildConfig"});

  // ACS is refused; a Wi-Fi profile is skipped without an answer (the next answer on the same
  // subject shows it was handled).
  EXPECT_EQ(Ask(lab, "commandGroup:0", R"({"_acs": {"transid": "a1", "radio": "2g"}})"),
            Texts{"InvaildConfig"});
  const std::string since = std::to_string(lab.cloud().LastSeq());
  Ask(lab, "commandGroup:0", R"({"_wifi": {}})", NoAnswer());
  EXPECT_EQ(Ask(lab, "commandGroup:0", Command("after-wifi", "ON_LED")), Texts{"NA"});
  EXPECT_EQ(lab.Count("type=CONFIGRESP&since=" + since), 1u);

  EXPECT_EQ(Pwned(r), 0u);
  EXPECT_TRUE(agent.Running());
  for (const char* t : {"c1", "c2", "c3", "w1", "w2", "a1"}) EXPECT_EQ(AnswersOf(lab, t), 1u) << t;
}

TEST_F(E2eConfigMembers, MalformedEnvelopesAreAnsweredAndNothingRuns) {
  Lab lab;
  ASSERT_TRUE(lab.ok()) << lab.error();
  StartSignedOn(lab);
  zctest::AgentRun& agent = lab.agent();
  const std::string r = agent.root();
  const std::string led = agent.Read("/sim/state/led");

  // Undecodable: cut short, a required field missing, a field of the wrong wire type.
  const std::string cmd = Command("m1", "OFF_LED");
  for (const char* mutate : {R"({"truncate": 9})", R"({"drop_field": "_cmd.transid"})",
                             R"({"set_field": {"path": "_cmd.command", "wire_type": 0,
                                               "value": 5}})",
                             R"({"append_b64": "/w=="})"}) {
    EXPECT_EQ(Ask(lab, "commandGroup:0", cmd, Mutated(mutate, "protobuf-error")),
              Texts{"protobuf-error"})
        << mutate;
  }
  EXPECT_EQ(agent.Read("/sim/state/led"), led);
  // No member at all (also zero bytes): refused under "NA".
  EXPECT_EQ(Ask(lab, "commandGroup:0", "", Raw("", "NA")), Texts{"InvaildConfig"});
  // A field the schema does not know is ignored.
  EXPECT_EQ(
      Ask(lab, "commandGroup:0", Command("m2", "ON_LED"), Mutated(R"({"unknown_field": 99})")),
      Texts{"NA"});
  // Two members on the wire: the last one counts.
  EXPECT_EQ(Ask(lab, "commandGroup:0", Command("m3", "ON_LED"),
                Mutated(R"({"duplicate_member": "_acs"})", "protobuf-error")),
            Texts{"protobuf-error"});

  // Shell text in every field of a command: answered as an unknown command under its own id.
  const std::string hostile =
      Command("m4" + ShellPayload(r, 1), ShellPayload(r, 2), ShellPayload(r, 3));
  EXPECT_EQ(Ask(lab, "commandGroup:0", hostile, For("m4" + ShellPayload(r, 1))),
            Texts{"Invalid config command"});
  // A long transaction id gets a complete stage log.
  const std::string longId(2000, 'L');
  EXPECT_EQ(Ask(lab, "commandGroup:0", Command(longId, "ON_LED"), For(longId)), Texts{"NA"});
  EXPECT_TRUE(lab.WaitLog("\"transactionId\":\"" + longId + "\""));

  EXPECT_EQ(Pwned(r), 0u);
  EXPECT_TRUE(agent.Running());
}

}  // namespace
}  // namespace e2e
