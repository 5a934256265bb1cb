// The console's form in headless Chromium, used as a person would: a Wi-Fi change, a ping and a
// site survey sent from the page reach the real agent through the simulator's push, and the
// page shows the agent's acknowledgement, its answer, the ping's output and the neighbours found
// as recorded; with the agent gone, a hostile router's answer and output appear as text.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "e2e/config_lab.h"
#include "e2e/console_lab.h"
#include "support/wait.h"

namespace e2e {
namespace {

std::string Q(const std::string& text) {
  return Quote(text);
}

// Runs a script in the page that fills the form and sends it.
bool SendFromPage(zctest::Browser& page, const std::string& kind, const std::string& fill) {
  return static_cast<bool>(
      page.Eval("(() => { const k = document.getElementById('act-kind'); k.value = " + Q(kind) +
                "; k.dispatchEvent(new Event('change')); const set = (id, v) => "
                "document.getElementById(id).value = v; " +
                fill + "; document.getElementById('act-send').click(); return true; })()"));
}

// The push card the page made for the newest push of a kind: its transid, once it has one.
std::string NewestPush(zctest::Browser& page, const std::string& kind) {
  return page.EvalText("(document.querySelector('#pushes .push[data-kind=" + Q(kind) +
                       "]') || {dataset: {}}).dataset.transid || ''");
}

TEST(E2eConsole, WifiChangeAndPingSentFromThePageReachTheAgentAndTheirAnswersShow) {
  ZC_NEEDS_PAGE();
  zctest::TempDir dir("console-actions");
  Lab lab;
  ASSERT_TRUE(lab.ok()) << lab.error();
  StartSignedOn(lab);
  zctest::AgentRun& agent = lab.agent();
  // The router's first report and its snapshot event (the heaviest work of a start) are done
  // before the browser starts on the same machine.
  ASSERT_TRUE(lab.WaitRecords("subject=zt.telemetry", 1, kLong));
  ASSERT_TRUE(lab.WaitRecords("subject=zt.event", 1, kLong));
  // The agent listens on its command subject (a push through the API is answered).
  ASSERT_EQ(Ask(lab, "commandGroup:0", Command("warm", "ON_LED")), std::vector<std::string>{"NA"});

  zctest::Browser page(dir.path() + "/profile");
  ASSERT_TRUE(page.ok()) << page.error();
  ASSERT_TRUE(page.Open(ConsoleUrl(lab))) << page.error();
  ASSERT_TRUE(page.WaitTrue("!document.getElementById('actions').hidden", kShort));
  EXPECT_EQ(page.EvalText("document.getElementById('action-device').textContent"), kDeviceMac);
  EXPECT_EQ(page.EvalText("document.getElementById('action-subject').textContent"),
            "via zt.cmd." + lab.mac12());
  // The form offers the Wi-Fi interfaces the router reported.
  ASSERT_TRUE(page.WaitTrue("document.querySelector('#act-ifaces option[value=wlan0]')", kShort));

  // Wi-Fi: the agent answers, the page shows the answer, the router has the new name.
  ASSERT_NE(Flash(lab, "WLAN_MBSSIB_TBL.0.ssid"), "Console-Net");
  ASSERT_TRUE(SendFromPage(page, "wifi",
                           "set('act-iface', 'wlan0'); set('act-ssid', 'Console-Net'); "
                           "set('act-pass', '')"))
      << page.error();
  ASSERT_TRUE(page.WaitTrue("document.querySelector('.push[data-kind=wifi] .resp')", kLong))
      << page.EvalText("document.getElementById('pushes').textContent") << " " << lab.LastExit();
  const std::string wifi = NewestPush(page, "wifi");
  ASSERT_FALSE(wifi.empty());
  JsonPtr answers = lab.Records("type=CONFIGRESP&transid=" + wifi);
  ASSERT_EQ(Lab::Size(answers), 1u);
  EXPECT_EQ(Text(Lab::Decoded(answers, 0), "status"), "success");
  EXPECT_EQ(page.EvalText("document.querySelector('.push[data-kind=wifi] .resp').textContent"),
            "CONFIGRESP from " + Text(Lab::Decoded(answers, 0), "deviceid") + ": success");
  EXPECT_EQ(page.EvalText("document.querySelector('.push[data-kind=wifi] .ack').textContent"),
            "the agent acknowledged: ACK");
  // The push went out as the API's own record, with the envelope the form built.
  JsonPtr pushed = lab.Records("kind=sim.push&match=decoded._ssidpwd.transid=" + wifi);
  ASSERT_EQ(Lab::Size(pushed), 1u);
  EXPECT_EQ(Text(Lab::Decoded(pushed, 0), "_ssidpwd.config.0.ssid"), "Console-Net");
  EXPECT_TRUE(zctest::WaitFor([&] { return Flash(lab, "WLAN_MBSSIB_TBL.0.ssid") == "Console-Net"; },
                              kShort));

  // Ping: the streamed output appears in the page as the agent published it.
  ASSERT_TRUE(SendFromPage(page, "ping", "set('act-target', '127.0.0.1')")) << page.error();
  ASSERT_TRUE(
      page.WaitTrue("document.querySelector('.push[data-kind=ping][data-state=done]')", kLong))
      << page.EvalText("document.getElementById('pushes').textContent");
  const std::string ping = NewestPush(page, "ping");
  answers = lab.Records("type=CONFIGRESP&transid=" + ping);
  ASSERT_EQ(Lab::Size(answers), 1u);
  EXPECT_EQ(Text(Lab::Decoded(answers, 0), "err_msg"), "NA");
  JsonPtr pushRecord = lab.Records("kind=sim.push&match=decoded._cmd.transid=" + ping);
  ASSERT_EQ(Lab::Size(pushRecord), 1u);
  JsonPtr events = lab.Records("subject=zt.ping&since=" +
                               Text(json_object_array_get_idx(pushRecord.get(), 0), "seq"));
  std::string output;
  for (size_t i = 0; i < Lab::Size(events); ++i) {
    if (Text(Lab::Decoded(events, i), "ping") == "progress") {
      output += Text(Lab::Decoded(events, i), "pingdata");
    }
  }
  EXPECT_NE(output.find("127.0.0.1"), std::string::npos) << output;
  EXPECT_EQ(page.EvalText("document.querySelector('.push[data-kind=ping] pre.stream').textContent"),
            output);

  // Site survey: one row per neighbour the router found, as the result carries them.
  ASSERT_EQ(agent.Zunsim("ap add 00:11:22:33:44:55 --ssid home-net --channel 6 --signal 70"), 0);
  ASSERT_EQ(agent.Zunsim("ap add 66:77:88:99:aa:bb --ssid cafe-net --channel 11 --signal 30"), 0);
  ASSERT_TRUE(SendFromPage(page, "survey", "set('act-radio', 'wlan0')")) << page.error();
  ASSERT_TRUE(
      page.WaitTrue("document.querySelector('.push[data-kind=survey][data-state=done]')", kLong))
      << page.EvalText("document.getElementById('pushes').textContent");
  JsonPtr survey = lab.Records("subject=zt.wifi.survey&match=decoded.TransactionID=" +
                               NewestPush(page, "survey"));
  ASSERT_EQ(Lab::Size(survey), 1u);
  json_object* found = cloudsim::Member(Lab::Decoded(survey, 0), "NeighborInfo");
  JsonPtr rows = page.Eval(
      "[...document.querySelectorAll('.push[data-kind=survey] table.survey tr')].slice(1).map("
      "tr => [...tr.cells].map(td => td.textContent))");
  ASSERT_TRUE(rows && found);
  ASSERT_EQ(json_object_array_length(rows.get()), json_object_array_length(found));
  ASSERT_GE(json_object_array_length(found), 2u);
  for (size_t i = 0; i < json_object_array_length(found); ++i) {
    json_object* n = json_object_array_get_idx(found, i);
    json_object* row = json_object_array_get_idx(rows.get(), i);
    EXPECT_EQ(Text(row, "0"), Text(n, "SSID")) << i;
    EXPECT_EQ(Text(row, "1"), Text(n, "BSSID")) << i;
    EXPECT_EQ(Text(row, "2"), Text(n, "Channel")) << i;
    EXPECT_EQ(Text(row, "3"), Text(n, "RSSI")) << i;
  }

  // What comes back from a device is text in the page too: with the agent gone, a ping's
  // answer and output come from a hostile router instead.
  agent.Signal(SIGTERM);
  ASSERT_TRUE(agent.WaitExit(kShort));
  ASSERT_TRUE(SendFromPage(page, "ping", "set('act-target', '127.0.0.2')")) << page.error();
  ASSERT_TRUE(page.WaitTrue(
      "document.querySelector('.push[data-kind=ping]').dataset.transid !== " + Q(ping) +
          " && document.querySelector('.push[data-kind=ping] .ack')",
      kShort));
  const std::string lost = NewestPush(page, "ping");
  const std::string hostile = Q(kHostile);
  const int64_t mark = lab.cloud().LastSeq();
  Router router(lab.natsUrl(), agent.Path("/tmp/cacert.pem"), std::string(kDeviceMac) + "-x");
  ASSERT_TRUE(router.ok()) << router.status();
  router.PublishRaw("zt.ping",
                    R"({"ping": "progress", "time": "2026-01-01T00:00:00Z", "deviceid": ")" +
                        std::string(kDeviceMac) + R"(", "pingdata": )" + hostile + "}");
  ASSERT_TRUE(lab.WaitRecords("subject=zt.ping&since=" + std::to_string(mark)));
  router.Publish("zt.configresp", "CONFIGRESP",
                 R"({"action": "ConfigResponse", "time": "2026-01-01T00:00:00Z", "deviceid": )" +
                     hostile + R"(, "transid": )" + Q(lost) +
                     R"(, "status": "failure", "err_msg": )" + hostile + "}");
  const std::string card = ".push[data-transid=" + Q(lost) + "]";
  ASSERT_TRUE(
      page.WaitTrue("document.querySelector(" + Q(card + "[data-state=done]") + ")", kShort))
      << page.EvalText("document.getElementById('pushes').textContent");
  EXPECT_EQ(page.EvalText("document.querySelector(" + Q(card + " pre.stream") + ").textContent"),
            kHostile);
  EXPECT_EQ(page.EvalText("document.querySelector(" + Q(card + " .resp") + ").textContent"),
            "CONFIGRESP from " + std::string(kHostile) + ": failure (" + kHostile + ")");
  EXPECT_EQ(page.EvalText("document.querySelector(" + Q(card + " .ack") + ").textContent"),
            "no acknowledgement (No responders available for request)");
  EXPECT_TRUE(page.WaitTrue(kUntouched, std::chrono::seconds(3)));
}

}  // namespace
}  // namespace e2e
