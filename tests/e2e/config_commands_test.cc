// Commands pushed by the cloud to the real agent: diagnostics streamed as events, LED and Wi-Fi
// toggles, provisioning and management settings, restarts and reboots that answer first.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <sstream>

#include "e2e/config_lab.h"
#include "support/nats_fixture.h"
#include "support/netns.h"
#include "support/requires.h"
#include "support/wait.h"

namespace e2e {
namespace {

using Texts = std::vector<std::string>;

class E2eConfigCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!zctest::InPrivateNetwork()) ZC_MISSING() << "needs a private network namespace";
  }
};

// The records of diagnostic runs once every run's "end" event is in (events and the answer leave on
// different connections, so the answer can reach the cloud first); what is there after kShort
// otherwise.
JsonPtr RunRecords(Lab& lab, const std::string& subject, const std::string& key,
                   const std::string& since) {
  JsonPtr r;
  zctest::WaitFor(
      [&] {
        r = lab.Records("subject=" + subject + "&since=" + since);
        size_t starts = 0, ends = 0;
        for (size_t i = 0; i < Lab::Size(r); ++i) {
          std::string event = Text(Lab::Decoded(r, i), key);
          starts += event == "start";
          ends += event == "end";
        }
        return ends > 0 && ends >= starts;
      },
      kShort, 20ms);
  return r;
}

// The event names ("start", "progress", ...) of the diagnostics on a subject since a mark.
Texts Events(Lab& lab, const std::string& subject, const std::string& key,
             const std::string& since) {
  Texts out;
  JsonPtr r = RunRecords(lab, subject, key, since);
  for (size_t i = 0; i < Lab::Size(r); ++i) out.push_back(Text(Lab::Decoded(r, i), key));
  return out;
}

// Milliseconds since the epoch of a record's "YYYY-MM-DDTHH:MM:SS.mmmZ" time.
long long EpochMs(const std::string& iso) {
  struct tm t {};
  int ms = 0;
  if (sscanf(iso.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour,
             &t.tm_min, &t.tm_sec, &ms) != 7) {
    return -1;
  }
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  return static_cast<long long>(timegm(&t)) * 1000 + ms;
}

// Whether the agent (started again) answers on its command subject.
bool Subscribed(Lab& lab, size_t n) {
  const std::string id = "ready" + std::to_string(n);
  auto done = [&] {
    JsonPtr r = lab.cloud().CallJson(
        "POST", "/v1/push",
        "{\"to\": \"commandGroup:0\", \"envelope\": " + Command(id, "ON_LED") + "}");
    return Text(r.get(), "status") == "OK" &&
           lab.WaitRecords("type=CONFIGRESP&transid=" + id, 1, 5s);
  };
  return zctest::WaitFor(done, kLong);
}

TEST_F(E2eConfigCommands, DiagnosticsLedWifiAndSettings) {
  Lab lab;
  ASSERT_TRUE(lab.ok()) << lab.error();
  StartSignedOn(lab);
  zctest::AgentRun& agent = lab.agent();
  const std::string r = agent.root();

  // Ping: start, the tool's output as progress, end, then the answer.
  std::string since = std::to_string(lab.cloud().LastSeq());
  EXPECT_EQ(Ask(lab, "commandGroup:0", Command("p1", "PING", "127.0.0.1")), Texts{"NA"});
  Texts events = Events(lab, "zt.ping", "ping", since);
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events.front(), "start");
  EXPECT_EQ(events.back(), "end");
  for (size_t i = 1; i + 1 < events.size(); ++i) EXPECT_EQ(events[i], "progress");
  JsonPtr first = lab.Records("subject=zt.ping&since=" + since);
  EXPECT_EQ(Text(Lab::Decoded(first, 0), "deviceid"), kDeviceMac);
  EXPECT_NE(Text(Lab::Decoded(first, 1), "pingdata").find("PING 127.0.0.1"), std::string::npos);

  // Trace: the same with "End of Trace" before the end.
  since = std::to_string(lab.cloud().LastSeq());
  EXPECT_EQ(Ask(lab, "commandGroup:0", Command("t1", "TRACE", "127.0.0.1")), Texts{"NA"});
  JsonPtr trace = RunRecords(lab, "zt.trace", "trace", since);
  size_t n = Lab::Size(trace);
  ASSERT_GE(n, 4u);
  EXPECT_EQ(Text(Lab::Decoded(trace, 0), "trace"), "start");
  EXPECT_EQ(Text(Lab::Decoded(trace, n - 2), "tracedata"), "End of Trace");
  EXPECT_EQ(Text(Lab::Decoded(trace, n - 1), "trace"), "end");

  // Targets that are not addresses or host names never reach a tool.
  for (const std::string& target :
       {"127.0.0.1;touch " + r + "/pwned1", std::string("-f"), "$(touch " + r + "/pwned2)"}) {
    EXPECT_EQ(Ask(lab, "commandGroup:0", Command("bad", "PING", target), For("bad")),
              Texts{"PING_ERR_STATE"});
    EXPECT_EQ(Ask(lab, "commandGroup:0", Command("badt", "TRACE", target), For("badt")),
              Texts{"TRACEROUTE_ERR_STATE"});
  }

  // Two pings on two subjects at once: each run keeps its own state and its own answer.
  agent.Zunsim("knob tools.ping_interval_ms 2000");
  since = std::to_string(lab.cloud().LastSeq());
  lab.Push("commandGroup:0", Command("p2", "PING", "127.0.0.1"));
  lab.Push("commandGroup:1", Command("p3", "PING", "localhost"));
  ASSERT_TRUE(lab.WaitRecords("type=CONFIGRESP&transid=p2"));
  ASSERT_TRUE(lab.WaitRecords("type=CONFIGRESP&transid=p3"));
  events = Events(lab, "zt.ping", "ping", since);
  EXPECT_EQ(std::count(events.begin(), events.end(), "start"), 2);
  EXPECT_EQ(std::count(events.begin(), events.end(), "end"), 2);
  EXPECT_EQ(AnswersOf(lab, "p2"), 1u);
  EXPECT_EQ(AnswersOf(lab, "p3"), 1u);
  EXPECT_EQ(Text(Lab::Decoded(lab.Records("type=CONFIGRESP&transid=p3"), 0), "err_msg"), "NA");

  // LED and Wi-Fi toggle; a command in the wrong case is unknown.
  EXPECT_EQ(Ask(lab, "commandGroup:0", Command("l1", "OFF_LED")), Texts{"NA"});
  EXPECT_NE(agent.Read("/sim/state/led").find("state=off"), std::string::npos);
  EXPECT_EQ(Ask(lab, "commandGroup:0", Command("l2", "ON_LED")), Texts{"NA"});
  EXPECT_NE(agent.Read("/sim/state/led").find("state=restore"), std::string::npos);
  EXPECT_EQ(Ask(lab, "commandGroup:0", Command("l3", "BLINK_LED")), Texts{"NA"});
  EXPECT_GE(CountLines(agent.Read("/sim/state/led"), " on"), 1u);
  EXPECT_EQ(Ask(lab, "commandGroup:0", Command("x1", "reboot")), Texts{"Invalid config command"});
  EXPECT_EQ(Ask(lab, "commandGroup:0", Command("tw", "TOGGLE_WIFI")), Texts{"NA"});
  EXPECT_TRUE(lab.WaitLog("after toggle wlan[3] status:"));
  // Two radio commands on two subjects at once run one after the other.
  lab.Push("commandGroup:0", Command("tw1", "TOGGLE_WIFI"));
  lab.Push("commandGroup:1", Command("tw2", "TOGGLE_WIFI"));
  ASSERT_TRUE(lab.WaitRecords("type=CONFIGRESP&transid=tw1"));
  ASSERT_TRUE(lab.WaitRecords("type=CONFIGRESP&transid=tw2"));
  std::string toggles;
  std::istringstream out(agent.Output());
  for (std::string line; std::getline(out, line);) {
    if (line.find("before toggle wlan[0]") != std::string::npos) toggles += "B";
    if (line.find("after toggle wlan[3]") != std::string::npos) toggles += "A";
  }
  EXPECT_EQ(toggles, "BABABA");

  // Provisioning code: replaced in the boot configuration, other lines unchanged; a code with a
  // line break is refused and nothing is written.
  const std::string boot = lab.BootConfig();
  EXPECT_EQ(Ask(lab, "commandGroup:0", Command("pc1", "SET_PROV_CODE", "MNGD.MULT.PROV")),
            Texts{"NA"});
  std::string expected = boot;
  size_t at = expected.find("provisioningCode=");
  ASSERT_NE(at, std::string::npos);
  expected.replace(at, expected.find('\n', at) - at, "provisioningCode=MNGD.MULT.PROV");
  EXPECT_EQ(lab.BootConfig(), expected);
  EXPECT_EQ(Ask(lab, "commandGroup:0", Command("pc2", "SET_PROV_CODE", "X\nlogicalLocation=evil")),
            Texts{"InvaildConfig"});
  EXPECT_EQ(lab.BootConfig(), expected);

  // Management server: values taken at item starts, written as bytes; too long: refused.
  EXPECT_EQ(Ask(lab, "commandGroup:0",
                Command("mm1", "ENABLE_MULTIMODE",
                        "uname:u1,pwd:p'$(touch " + r + "/pwned3)url:y,url:http://acs.test/x")),
            Texts{"NA"});
  // Answered first, applied right after.
  EXPECT_TRUE(
      zctest::WaitFor([&] { return Flash(lab, "CWMP_ACS_URL") == "http://acs.test/x"; }, kShort));
  const std::string password = "p'$(touch " + r + "/pwned3)url:y";
  EXPECT_TRUE(zctest::WaitFor([&] { return Flash(lab, "CWMP_ACS_PASSWORD") == password; }, kShort));
  EXPECT_EQ(Ask(lab, "commandGroup:0",
                Command("mm2", "ENABLE_MULTIMODE", "url:http://" + std::string(300, 'u'))),
            Texts{"InvaildConfig"});
  EXPECT_EQ(Flash(lab, "CWMP_ACS_URL"), "http://acs.test/x");

  // Radio commands on the simulated driver; an interface the platform refuses is an error.
  EXPECT_EQ(Ask(lab, "commandGroup:0", Command("ss", "SITE_SURVEY", "wlan0")), Texts{"NA"});
  EXPECT_EQ(Ask(lab, "commandGroup:0", Command("ss2", "SITE_SURVEY", "eth9")),
            Texts{"SITE_SURVEY_ERR_STATE"});
  EXPECT_EQ(Ask(lab, "commandGroup:0", Command("so", "SCAN_AND_OPTIMIZE_WIFI", "wlan0")),
            Texts{"NA"});
  EXPECT_EQ(Ask(lab, "commandGroup:0", Command("ow", "OPTIMIZE_WIFI", "wlan0")), Texts{"NA"});
  EXPECT_EQ(Ask(lab, "commandGroup:0", Command("ow2", "OPTIMIZE_WIFI", "eth9")),
            Texts{"OPTIMIZE_WIFI_ERR_STATE"});
  EXPECT_EQ(Ask(lab, "commandGroup:0", Command("st", "SPEED_TEST")), Texts{"NA"});
  EXPECT_EQ(Ask(lab, "commandGroup:0", Command("cli", "CLIDEBUG", "connect")), Texts{"NA"});

  EXPECT_EQ(Pwned(r), 0u);
  EXPECT_TRUE(agent.Running());
}

TEST_F(E2eConfigCommands, RebootRestartAndLanAnswerBeforeTheProcessEnds) {
  Lab lab;
  ASSERT_TRUE(lab.ok()) << lab.error();
  StartSignedOn(lab);
  zctest::AgentRun& agent = lab.agent();

  // A LAN that would strand its clients is refused and nothing is written.
  const std::string lanIp = Flash(lab, "LAN_IP_ADDR");
  const std::string lan = R"({"_lanconfig": {"transid": "lan1", "_landhcpconfig": {
      "lanipaddr": "10.1.0.1", "subnetmask": "255.0.255.0", "startip": "10.1.0.10",
      "endip": "10.1.0.99", "landhcpgwip": "10.1.0.1", "leasetime": 3600}}})";
  EXPECT_EQ(Ask(lab, "commandGroup:0", lan), Texts{"InvaildConfig"});
  EXPECT_EQ(Flash(lab, "LAN_IP_ADDR"), lanIp);

  // REBOOT: the answer leaves, the file systems are synced, then the reboot is asked for.
  EXPECT_EQ(Ask(lab, "commandGroup:0", Command("rb", "REBOOT")), Texts{"NA"});
  ASSERT_TRUE(agent.WaitExit(kLong));
  EXPECT_EQ(lab.LastExit(), "ExecuteCommand: Requested reboot from the admin");
  std::string calls = agent.Read("/sim/log/calls.log");
  size_t sync = calls.find(" guard sync ");
  ASSERT_NE(sync, std::string::npos) << calls;
  size_t reboot = calls.find(" guard reboot ", sync);
  ASSERT_NE(reboot, std::string::npos) << calls;
  // The cloud had the answer before the reboot was asked for (both wall-clock milliseconds).
  size_t lineStart = calls.rfind('\n', reboot);
  long long rebootMs = std::stoll(calls.substr(calls.find(' ', lineStart + 1) + 1));
  EXPECT_LE(
      EpochMs(Text(json_object_array_get_idx(lab.Records("type=CONFIGRESP&transid=rb").get(), 0),
                   "time")),
      rebootMs);

  // A valid LAN: written, answered, then the reboot.
  agent.Start();
  ASSERT_TRUE(Subscribed(lab, 2));
  const std::string good = R"({"_lanconfig": {"transid": "lan2", "_landhcpconfig": {
      "lanipaddr": "10.1.0.1", "subnetmask": "255.255.0.0", "startip": "10.1.0.10",
      "endip": "10.1.0.99", "landhcpgwip": "10.1.0.1", "leasetime": 3600},
      "_landnsconfig": {"landnsmode": "DNS_STATIC", "primarydnsserver": "9.9.9.9",
                        "secondarydnsserver": "1.1.1.1"}}})";
  EXPECT_EQ(Ask(lab, "commandGroup:0", good), Texts{"NA"});
  ASSERT_TRUE(agent.WaitExit(kLong));
  EXPECT_EQ(Flash(lab, "LAN_IP_ADDR"), "10.1.0.1");
  EXPECT_EQ(Flash(lab, "DHCPS_DNS1"), "9.9.9.9");

  // Restart commands: answered, then the launcher's kill; FORCE-BOOTSTRAP drops the boot file.
  agent.Start();
  ASSERT_TRUE(Subscribed(lab, 3));
  EXPECT_EQ(Ask(lab, "commandGroup:0", Command("fb", "FORCE-BOOTSTRAP")), Texts{"NA"});
  ASSERT_TRUE(agent.WaitExit(kLong));
  EXPECT_FALSE(agent.Exists("/etc/config/zunbootconfig"));
  EXPECT_NE(agent.Read("/sim/log/calls.log").find("killall"), std::string::npos);
}

TEST_F(E2eConfigCommands, SubscriptionCommandsRestartTheAgent) {
  Lab lab;
  ASSERT_TRUE(lab.ok()) << lab.error();
  StartSignedOn(lab);
  zctest::AgentRun& agent = lab.agent();

  // Expired: the renewal URL is written as sent, answered, then the agent restarts.
  const std::string url = lab.httpsUrl("/renew");
  EXPECT_EQ(Ask(lab, "commandGroup:0", Command("se", "SUB-EXPIRED", url)), Texts{"NA"});
  ASSERT_TRUE(agent.WaitExit(kLong));
  EXPECT_EQ(agent.Read("/etc/config/zunexpdbootstrapurl"), url);
  EXPECT_NE(agent.Read("/sim/log/calls.log").find("killall [\"-9\",\"zuncore\"]"),
            std::string::npos);

  // Active: answered, restarted, the boot configuration kept.
  std::remove(agent.Path("/etc/config/zunexpdbootstrapurl").c_str());
  agent.Start();
  ASSERT_TRUE(Subscribed(lab, 2));
  EXPECT_EQ(Ask(lab, "commandGroup:1", Command("sa", "SUB-ACTIVE")), Texts{"NA"});
  ASSERT_TRUE(agent.WaitExit(kLong));
  EXPECT_TRUE(agent.Exists("/etc/config/zunbootconfig"));

  // Subscriber deleted: no answer, the boot configuration removed, the process ends.
  agent.Start();
  ASSERT_TRUE(Subscribed(lab, 3));
  Ask(lab, "commandGroup:0", Command("sd", "subscriber-del"), NoAnswer());
  ASSERT_TRUE(agent.WaitExit(kLong));
  EXPECT_EQ(lab.LastExit(), "ExecuteCommand deleting subscriber and restart from bootstrap");
  EXPECT_FALSE(agent.Exists("/etc/config/zunbootconfig"));
  EXPECT_EQ(AnswersOf(lab, "sd"), 0u);
}

TEST_F(E2eConfigCommands, IdleStateDiagnosticsAnswerTheirFailureAndTheAgentStays) {
  LabOptions o;
  o.profile = R"({"base": "default", "bootstrap": {"answer": {"status": 200, "body": {
      "provisioningCode": "MNGD.AGNT.NONE", "logicalLocation": "zt.dll.025a00000001",
      "subscriberId": "s", "connectionInfo": {"url": "nats://127.0.0.1:{N}", "tlsEnabled": true,
      "maxRetryCount": 3, "subject": "zt.fw.validate", "journalSubject": "zt.journal.boot",
      "idleDeviceSubject": "zt.idle.025a00000001"}}}}})";
  Lab lab(o);
  ASSERT_TRUE(lab.ok()) << lab.error();
  lab.agent().Start();
  ASSERT_TRUE(lab.WaitLog("Listening on 'zt.idle.025a00000001'")) << lab.agent().Output();
  for (const char* cmd : {"PING", "TRACE"}) {
    std::vector<std::string> got =
        Ask(lab, "idle.location", Command("i1", cmd, "127.0.0.1"), For("i1"));
    ASSERT_EQ(got.size(), 1u) << cmd;
    EXPECT_EQ(got[0], std::string(cmd) == "PING" ? "PING_ERR_STATE" : "TRACEROUTE_ERR_STATE");
  }
  EXPECT_EQ(lab.Count("subject=zuncore.idle.configResponse.025a00000001&transid=i1"), 2u);
  // No speed server is known in this state: the test ends as unable to connect, and the next
  // request starts a new one.
  EXPECT_EQ(Ask(lab, "idle.location", Command("s1", "SPEED_TEST"), For("s1")), Texts{"NA"});
  EXPECT_TRUE(lab.WaitLog("Can't Resolve IP")) << lab.agent().Output();
  EXPECT_TRUE(zctest::WaitFor(
      [&] {
        return Ask(lab, "idle.location", Command("s2", "SPEED_TEST"), For("s2")) == Texts{"NA"};
      },
      kLong));
  EXPECT_TRUE(lab.agent().Running());
}

}  // namespace
}  // namespace e2e
