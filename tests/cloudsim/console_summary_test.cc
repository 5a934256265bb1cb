// The console's summary from records and the NATS server's connection list: devices keyed by
// MAC whatever form a message gives it, the furthest provisioning step, the link from open
// connections, the last telemetry, events and blocked lookups newest first, and the connection
// log in time order across time zones. Then the numbers its pictures are drawn from, the guard
// in front of the control API, and the page's files.
#include <gtest/gtest.h>

#include <regex>

#include "lib/console.h"
#include "lib/profile.h"
#include "lib/records.h"
#include "lib/request_guard.h"

namespace cloudsim {
namespace {

void AddRecord(RecordStore& store, const std::string& json) {
  std::string error;
  JsonPtr r = ParseJson(json, &error);
  ASSERT_TRUE(r) << error << ": " << json;
  store.Add(std::move(r));
}

std::string At(const json_object* j, const std::string& path) {
  json_object* v = PathGet(j, path);
  return v ? ScalarText(v) : "<absent>";
}

TEST(ConsoleSummary, DeviceIdsAndTimes) {
  EXPECT_EQ(DeviceId("02:5a:00:00:00:01"), "02:5A:00:00:00:01");
  EXPECT_EQ(DeviceId("025a00000001"), "02:5A:00:00:00:01");
  EXPECT_EQ(DeviceId("02-5A-00-00-00-01"), "02:5A:00:00:00:01");
  EXPECT_EQ(DeviceId("02:5A:00:00:00"), "");
  EXPECT_EQ(DeviceId("cloudsim"), "");
  EXPECT_EQ(ParseTimeMs("1970-01-01T00:00:01.250Z"), 1250);
  EXPECT_EQ(ParseTimeMs("1970-01-01T01:00:01.250123456+01:00"), 1250);
  EXPECT_EQ(ParseTimeMs("1970-01-01T00:00:01-00:30"), 1000 + 30 * 60000);
  EXPECT_EQ(ParseTimeMs("yesterday"), -1);
}

TEST(ConsoleSummary, DevicesEventsBlockedAndConnectionLog) {
  RecordStore store("");
  AddRecord(store, R"({"kind": "http", "path": "/device/register",
                       "body_json": {"mac": "02:5a:00:00:00:01"}})");
  AddRecord(store, R"({"kind": "nats.request", "type": "SignOnRequest",
                       "decoded": {"mac": "02:5A:00:00:00:01"}})");
  AddRecord(store, R"({"kind": "http", "path": "/device/register",
                       "body_json": {"mac": "02:5A:00:00:00:02"}})");
  AddRecord(store, R"({"kind": "nats.request", "subject": "zt.event", "type": "APEvent",
      "answered": {"mode": "reply"}, "decoded": {"deviceId": "02:5A:00:00:00:01",
      "clientInfo": {"cmac": "02:00:00:00:00:01", "IP": "192.168.1.23", "hostName": "tab"}}})");
  AddRecord(store, R"({"kind": "nats.publish", "type": "Telemetry", "decoded": {
      "deviceId": "02:5A:00:00:00:01", "apInfo": {"uptime": 7, "cpu": {"cpuPercentage": 3},
      "mem": {"free": 10, "total": 20}}, "filterStats": {"FStats": [
      {"cmac": "02:00:00:00:00:01", "url": "ads.test", "reason": "BLOCKED_BLACKLIST"},
      {"cmac": "02:00:00:00:00:01", "url": "adult.test", "reason": "BLOCKED_PC"}]}}})");
  AddRecord(store, R"({"kind": "nats.publish", "type": "Telemetry", "decoded": {
      "deviceId": "02:5A:00:00:00:01", "apInfo": {"uptime": 9}}})");
  AddRecord(store, R"({"kind": "nats.server", "event": "stop"})");

  std::string error;
  JsonPtr connz = ParseJson(R"({"connections": [
      {"cid": 4, "name": "", "start": "2026-01-01T00:00:00Z"},
      {"cid": 6, "name": "02:5A:00:00:00:01-nats_bootstrap_connection",
       "start": "2026-01-01T01:00:01+01:00", "stop": "2026-01-01T00:00:05Z", "reason": "Read Error"},
      {"cid": 7, "name": "02:5A:00:00:00:01-nats_msg_connection",
       "start": "2026-01-01T00:00:03.5Z"}]})",
                            &error);
  ASSERT_TRUE(connz) << error;
  JsonPtr s = ConsoleSummary(store, connz.get());
  EXPECT_EQ(At(s.get(), "last_seq"), "7");

  ASSERT_EQ(json_object_array_length(Member(s.get(), "devices")), 2u);
  EXPECT_EQ(At(s.get(), "devices.0.id"), "02:5A:00:00:00:01");
  EXPECT_EQ(At(s.get(), "devices.0.stage"), "reporting");
  EXPECT_EQ(At(s.get(), "devices.0.link"), "online");
  EXPECT_EQ(At(s.get(), "devices.0.connections"), "1");
  EXPECT_EQ(At(s.get(), "devices.0.telemetry.seq"), "6");
  EXPECT_EQ(At(s.get(), "devices.0.telemetry.uptime"), "9");
  EXPECT_EQ(At(s.get(), "devices.0.telemetry_count"), "2");
  EXPECT_EQ(At(s.get(), "devices.0.blocked"), "2");
  EXPECT_EQ(At(s.get(), "devices.1.id"), "02:5A:00:00:00:02");
  EXPECT_EQ(At(s.get(), "devices.1.stage"), "bootstrapped");
  EXPECT_EQ(At(s.get(), "devices.1.link"), "offline");

  EXPECT_EQ(At(s.get(), "events.0.what"), "client");
  EXPECT_EQ(At(s.get(), "events.0.detail"), "02:00:00:00:00:01 192.168.1.23 tab");
  EXPECT_EQ(At(s.get(), "events.0.answer"), "reply");
  EXPECT_EQ(At(s.get(), "blocked.0.url"), "adult.test");  // newest first
  EXPECT_EQ(At(s.get(), "blocked.1.url"), "ads.test");

  // Newest first; the unnamed probe is left out; the server's own event is in it.
  json_object* log = Member(s.get(), "connections");
  ASSERT_EQ(json_object_array_length(log), 4u) << JsonText(s.get());
  EXPECT_EQ(At(log, "0.event"), "server stop");
  EXPECT_EQ(At(log, "1.event"), "closed: Read Error");
  EXPECT_EQ(At(log, "2.connection"), "nats_msg_connection");
  EXPECT_EQ(At(log, "2.time"), "2026-01-01T00:00:03.500Z");
  EXPECT_EQ(At(log, "3.connection"), "nats_bootstrap_connection");
  EXPECT_EQ(At(log, "3.cid"), "6");

  // Without the server's list the link is not known.
  JsonPtr bare = ConsoleSummary(store, nullptr);
  EXPECT_EQ(At(bare.get(), "devices.0.link"), "unknown");
  EXPECT_EQ(json_object_array_length(Member(bare.get(), "connections")), 1u);
}

std::string Telemetry(const std::string& mac, int cpu, const std::string& usage,
                      const std::string& blocked) {
  return R"({"kind": "nats.publish", "type": "Telemetry", "decoded": {"deviceId": ")" + mac +
         R"(", "apInfo": {"uptime": 7, "cpu": {"cpuPercentage": )" + std::to_string(cpu) +
         R"(}, "mem": {"free": 2048, "total": 4096}, "ifstats": [
             {"connType": "LAN", "connName": "eth0.2", "rxBytes": 1, "txBytes": 2},
             {"connType": "WAN", "connName": "nas0_0", "rxBytes": 300, "txBytes": 40},
             {"connType": "WAN", "connName": "ppp0", "rxBytes": 5, "txBytes": 6}],
         "dataUsage": [)" +
         usage +
         R"(]}, "Wlans": [{"ifname": "wlan0", "ssid": "home"}], "filterStats": {"FStats": [)" +
         blocked + "]}}}";
}

TEST(ConsoleSeries, OneDeviceOverTime) {
  RecordStore store("");
  AddRecord(store,
            Telemetry("02:5a:00:00:00:01", 3,
                      R"({"cmac": "aa", "IP": "192.168.1.2", "rxBytes": 100, "txBytes": 10})",
                      R"({"reason": "BLOCKED_BLACKLIST"})"));
  AddRecord(store, Telemetry("02:5A:00:00:00:02", 99, "", R"({"reason": "BLOCKED_AD"})"));
  AddRecord(store, R"({"kind": "nats.publish", "type": "DNSHISTOGRAM", "decoded": {
      "deviceId": "02:5A:00:00:00:01", "dohHisto": {"tenMilliSecCounter": 1,
      "moreThanHundredMilliSecCounter": -1}, "edgeHisto": {"fortyMilliSecCounter": 2}}})");
  AddRecord(store, Telemetry("02:5A:00:00:00:01", 5,
                             R"({"cmac": "aa", "IP": "192.168.1.3", "rxBytes": 200, "txBytes": 20},
                                {"cmac": "bb", "IP": "192.168.1.4", "rxBytes": 5, "txBytes": 6})",
                             R"({"reason": "BLOCKED_PC"}, {"reason": "BLOCKED_BLACKLIST"})"));
  AddRecord(store, R"({"kind": "nats.publish", "type": "DNSHISTOGRAM", "decoded": {
      "deviceId": "02:5A:00:00:00:01", "dohHisto": {"tenMilliSecCounter": 3,
      "moreThanHundredMilliSecCounter": -1}, "edgeHisto": {"fortyMilliSecCounter": 2}}})");

  JsonPtr d = ConsoleDevice(store, "02:5A:00:00:00:01");
  EXPECT_EQ(At(d.get(), "last_seq"), "5");
  json_object* tel = Member(d.get(), "telemetry");
  ASSERT_EQ(json_object_array_length(tel), 2u) << JsonText(d.get());
  EXPECT_EQ(At(tel, "0.seq"), "1");
  EXPECT_EQ(At(tel, "0.cpu"), "3");
  EXPECT_EQ(At(tel, "1.cpu"), "5");
  EXPECT_EQ(At(tel, "1.mem_free"), "2048");
  EXPECT_EQ(At(tel, "1.mem_total"), "4096");
  EXPECT_EQ(At(tel, "1.wan_rx"), "305");  // both WAN interfaces, no LAN port
  EXPECT_EQ(At(tel, "1.wan_tx"), "46");
  // Per client, in the order they appeared; what the router sent is the client's download.
  EXPECT_EQ(At(d.get(), "clients.0.mac"), "aa");
  EXPECT_EQ(At(d.get(), "clients.0.ip"), "192.168.1.3");
  EXPECT_EQ(At(d.get(), "clients.0.points.0.down"), "100");
  EXPECT_EQ(At(d.get(), "clients.0.points.0.up"), "10");
  EXPECT_EQ(At(d.get(), "clients.0.points.1.down"), "200");
  EXPECT_EQ(At(d.get(), "clients.0.points.1.seq"), "4");
  EXPECT_EQ(At(d.get(), "clients.1.mac"), "bb");
  EXPECT_EQ(json_object_array_length(PathGet(d.get(), "clients.1.points")), 1u);
  EXPECT_EQ(At(d.get(), "clients.1.points.0.seq"), "4");
  // The newest histogram and the one before; a counter past 2^31 is not negative.
  EXPECT_EQ(At(d.get(), "histogram.seq"), "5");
  EXPECT_EQ(At(d.get(), "histogram.doh.0"), "3");
  EXPECT_EQ(At(d.get(), "histogram.doh.10"), "4294967295");
  EXPECT_EQ(At(d.get(), "histogram.doh_before.0"), "1");
  EXPECT_EQ(At(d.get(), "histogram.edge.3"), "2");
  EXPECT_EQ(json_object_array_length(PathGet(d.get(), "histogram.edge")), 11u);
  // Blocked lookups of this device only, most frequent reason first.
  EXPECT_EQ(At(d.get(), "blocked.0.reason"), "BLOCKED_BLACKLIST");
  EXPECT_EQ(At(d.get(), "blocked.0.count"), "2");
  EXPECT_EQ(At(d.get(), "blocked.1.reason"), "BLOCKED_PC");
  EXPECT_EQ(json_object_array_length(Member(d.get(), "blocked")), 2u);
  EXPECT_EQ(At(d.get(), "wlans.0.ifname"), "wlan0");

  // A device that never reported: empty pictures, no histogram.
  JsonPtr none = ConsoleDevice(store, "02:5A:00:00:00:03");
  EXPECT_EQ(json_object_array_length(Member(none.get(), "telemetry")), 0u);
  EXPECT_EQ(At(none.get(), "histogram"), "<absent>");

  // Only the newest reports are kept.
  for (size_t i = 0; i < kConsoleSeriesPoints + 10; ++i) {
    AddRecord(store, Telemetry("02:5A:00:00:00:01", 1, "", ""));
  }
  JsonPtr many = ConsoleDevice(store, "02:5A:00:00:00:01");
  tel = Member(many.get(), "telemetry");
  ASSERT_EQ(json_object_array_length(tel), kConsoleSeriesPoints);
  EXPECT_EQ(At(tel, "0.seq"), std::to_string(5 + 10 + 1));
}

TEST(ConsoleSeries, FleetSignOnsReconnectsAndDevicesOnline) {
  RecordStore store("");
  for (const char* r : {
           R"({"type": "SignOnRequest", "headers": {"x-zun-client-trace-id": "t1"},
               "decoded": {"mac": "02:5A:00:00:00:01"}})",
           // The same request again after a time-out: one sign-on.
           R"({"type": "SignOnRequest", "headers": {"x-zun-client-trace-id": "t1"},
               "decoded": {"mac": "02:5A:00:00:00:01"}})",
           R"({"type": "SignOnRequest", "headers": {"x-zun-client-trace-id": "t2"},
               "decoded": {"mac": "025a00000002"}})"}) {
    AddRecord(store, r);
  }
  std::string error;
  JsonPtr connz = ParseJson(R"({"connections": [
      {"cid": 1, "name": "", "start": "2026-01-01T00:00:00Z"},
      {"cid": 2, "name": "cloudsim", "start": "2026-01-01T00:00:00Z"},
      {"cid": 3, "name": "02:5A:00:00:00:01-nats_msg_connection",
       "start": "2026-01-01T00:00:01Z", "stop": "2026-01-01T00:00:05Z"},
      {"cid": 4, "name": "02:5A:00:00:00:01-nats_cmd_connection", "start": "2026-01-01T00:00:01Z"},
      {"cid": 5, "name": "02:5A:00:00:00:02-nats_msg_connection",
       "start": "2026-01-01T00:00:03Z", "stop": "2026-01-01T00:00:04Z"},
      {"cid": 6, "name": "02:5A:00:00:00:01-nats_msg_connection", "start": "2026-01-01T00:00:06Z"},
      {"cid": 7, "name": "02:5A:00:00:00:02-nats_msg_connection",
       "start": "2026-01-01T00:00:08Z", "stop": "2026-01-01T00:00:09Z"},
      {"cid": 8, "name": "02:5A:00:00:00:02-nats_msg_connection", "start": "2026-01-01T00:00:09Z"}
      ]})",
                            &error);
  ASSERT_TRUE(connz) << error;
  JsonPtr all = store.Query(RecordFilter{});
  JsonPtr f = ConsoleFleet(all.get(), connz.get());
  ASSERT_EQ(json_object_array_length(Member(f.get(), "signons")), 2u) << JsonText(f.get());
  EXPECT_EQ(At(f.get(), "signons.1.device"), "02:5A:00:00:00:02");

  const int64_t t0 = ParseTimeMs("2026-01-01T00:00:00Z");
  json_object* reconnects = Member(f.get(), "reconnects");
  ASSERT_EQ(json_object_array_length(reconnects), 3u) << JsonText(f.get());
  EXPECT_EQ(At(reconnects, "0.t"), std::to_string(t0 + 6000));
  EXPECT_EQ(At(reconnects, "0.connection"), "nats_msg_connection");
  EXPECT_EQ(At(reconnects, "1.device"), "02:5A:00:00:00:02");

  // The first device stays online through its message connection's gap (its command
  // connection stays open); the second is online twice, and a connection replaced at the very
  // instant the old one closed does not take it offline.
  json_object* online = Member(f.get(), "online");
  std::vector<std::pair<int64_t, int>> want = {{1000, 1}, {3000, 2}, {4000, 1}, {8000, 2}};
  ASSERT_EQ(json_object_array_length(online), want.size()) << JsonText(online);
  for (size_t i = 0; i < want.size(); ++i) {
    json_object* p = json_object_array_get_idx(online, i);
    EXPECT_EQ(IntMember(p, "t").value_or(0), t0 + want[i].first) << i;
    EXPECT_EQ(IntMember(p, "n").value_or(-1), want[i].second) << i;
  }

  // Without the server's list: sign-ons only.
  JsonPtr bare = ConsoleFleet(all.get(), nullptr);
  EXPECT_EQ(json_object_array_length(Member(bare.get(), "online")), 0u);
  EXPECT_EQ(json_object_array_length(Member(bare.get(), "signons")), 2u);
}

TEST(ConsoleSeries, ActionsNameTheCommandSubjectAndWhereResultsStream) {
  std::string error;
  JsonPtr profile = LoadProfile("", ProfileVars{}, &error);
  ASSERT_TRUE(profile) << error;
  JsonPtr a = ConsoleActions(profile.get());
  EXPECT_EQ(At(a.get(), "to"), "commandGroup:0");
  EXPECT_EQ(At(a.get(), "subject"), "zt.cmd.025a00000001");
  EXPECT_EQ(At(a.get(), "streams.pingIP"), "zt.ping");
  EXPECT_EQ(At(a.get(), "streams.speed_test"), "zt.speed");
  EXPECT_EQ(At(a.get(), "streams.acs_survey"), "zt.wifi.survey");
}

TEST(ConsoleGuard, OnlyLoopbackNamesAndPagesOfThisServer) {
  std::string why;
  // Tests, curl and scripts: no Origin.
  EXPECT_TRUE(ControlRequestAllowed(true, "127.0.0.1:4000", nullptr, &why));
  EXPECT_TRUE(ControlRequestAllowed(true, "cloudsim", nullptr, &why));
  EXPECT_TRUE(ControlRequestAllowed(true, "LOCALHOST:80", nullptr, &why));
  EXPECT_TRUE(ControlRequestAllowed(true, "[::1]:4000", nullptr, &why));
  EXPECT_TRUE(ControlRequestAllowed(true, nullptr, nullptr, &why));
  // The console page itself, also behind the demo's forwarded port.
  EXPECT_TRUE(ControlRequestAllowed(true, "127.0.0.1:4000", "http://127.0.0.1:4000", &why));
  EXPECT_TRUE(ControlRequestAllowed(true, "localhost:5123", "http://localhost:5123", &why));
  // Another site's page in the same browser: reading is harmless only under our own name...
  EXPECT_TRUE(ControlRequestAllowed(false, "127.0.0.1:4000", "http://evil.test", &why));
  // ...and it can change nothing.
  EXPECT_FALSE(ControlRequestAllowed(true, "127.0.0.1:4000", "http://evil.test", &why));
  EXPECT_NE(why.find("evil.test"), std::string::npos);
  EXPECT_FALSE(ControlRequestAllowed(true, "127.0.0.1:4000", "http://127.0.0.1:4001", &why));
  EXPECT_FALSE(ControlRequestAllowed(true, "127.0.0.1:4000", "null", &why));
  EXPECT_FALSE(ControlRequestAllowed(true, nullptr, "http://127.0.0.1:4000", &why));
  // A name that resolves to 127.0.0.1 for an attacker (DNS rebinding): refused outright.
  EXPECT_FALSE(ControlRequestAllowed(false, "evil.test:4000", nullptr, &why));
  EXPECT_FALSE(ControlRequestAllowed(true, "evil.test:4000", "http://evil.test:4000", &why));
  EXPECT_FALSE(ControlRequestAllowed(false, "127.0.0.1.evil.test", nullptr, &why));
}

TEST(ConsolePage, FilesAreServedAndScriptsWriteNoMarkup) {
  const ConsoleFile* page = FindConsoleFile("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(std::string(page->type).rfind("text/html", 0), 0u);
  EXPECT_EQ(FindConsoleFile("/console"), page);
  EXPECT_EQ(FindConsoleFile("/console/other.js"), nullptr);
  EXPECT_EQ(FindConsoleFile("/etc/passwd"), nullptr);
  // Everything the page loads is served; nothing comes from elsewhere, nothing is inline.
  const std::string html = page->body;
  static const std::regex kRef(R"re((src|href)="([^"]*)")re");
  size_t refs = 0;
  for (std::sregex_iterator m(html.begin(), html.end(), kRef), end; m != end; ++m, ++refs) {
    EXPECT_TRUE(FindConsoleFile((*m)[2])) << (*m)[2];
  }
  EXPECT_EQ(refs, 4u);
  EXPECT_EQ(html.find("<script>"), std::string::npos);
  EXPECT_EQ(html.find("style="), std::string::npos);
  // The scripts build every element themselves and set text: no path from a recorded value to
  // markup.
  for (const char* path : {"/console/console.js", "/console/charts.js", "/console/actions.js"}) {
    const ConsoleFile* script = FindConsoleFile(path);
    ASSERT_TRUE(script) << path;
    const std::string js = script->body;
    for (const char* sink : {"innerHTML", "outerHTML", "insertAdjacentHTML", "document.write",
                             "eval(", "Function(", "setAttribute(\"on", "srcdoc"}) {
      EXPECT_EQ(js.find(sink), std::string::npos) << path << " uses " << sink;
    }
  }
}

}  // namespace
}  // namespace cloudsim
