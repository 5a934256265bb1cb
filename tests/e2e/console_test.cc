// The cloud simulator's console as a person sees it, in headless Chromium driven like a person's
// clicks: the real agent provisions, reports telemetry, DNS metrics and a new-client event and
// blocks a LAN client's lookup; what the page's tables and pictures show is checked against
// the simulator's records and the agent's own connection log; a second device's values carry
// markup and quotes and must appear as text everywhere. The screenshot stays in the build tree
// (tests/e2e/console.png). The page's form: console_actions_test.cc.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/config_lab.h"
#include "e2e/console_lab.h"
#include "e2e/e2e_lab.h"
#include "filter/lan_client.h"
#include "support/agent_harness.h"
#include "support/browser.h"
#include "support/dns_peers.h"
#include "support/netns.h"
#include "support/ports.h"
#include "support/requires.h"
#include "support/wait.h"

namespace e2e {
namespace {

constexpr const char* kKid = "02:00:00:00:00:01";
constexpr const char* kTablet = "02:00:00:00:00:02";
constexpr const char* kDevice = "02:5A:00:00:00:01";
constexpr const char* kOther = "02:5A:00:00:00:09";

struct Row {
  std::map<std::string, std::string> attrs;  // data-* attributes
  std::map<std::string, std::string> cells;  // first class of a cell -> its text
};

// The rows of a table, as the page shows them (text content, not markup).
std::vector<Row> TableRows(zctest::Browser& page, const std::string& id) {
  cloudsim::JsonPtr rows =
      page.Eval("[...document.querySelectorAll('#" + id +
                " tr')].filter(tr => tr.querySelector('td:not(.empty)')).map(tr => ({attrs: "
                "Object.assign({}, tr.dataset), cells: Object.fromEntries([...tr.cells].map(td => "
                "[td.classList[0], td.textContent]))}))");
  std::vector<Row> out;
  for (size_t i = 0; rows && i < json_object_array_length(rows.get()); ++i) {
    json_object* r = json_object_array_get_idx(rows.get(), i);
    Row row;
    json_object_object_foreach(cloudsim::Member(r, "attrs"), k, v) {
      row.attrs[k] = json_object_get_string(v);
    }
    json_object_object_foreach(cloudsim::Member(r, "cells"), k2, v2) {
      row.cells[k2] = json_object_get_string(v2);
    }
    out.push_back(std::move(row));
  }
  return out;
}

// The points of a line chart: series label -> [(seq, value)].
using Points = std::map<std::string, std::vector<std::pair<std::string, double>>>;
Points ChartPoints(const json_object* snapshot, const char* chart) {
  Points out;
  json_object* series = cloudsim::Member(snapshot, chart);
  for (size_t i = 0; series && i < json_object_array_length(series); ++i) {
    json_object* s = json_object_array_get_idx(series, i);
    auto& list = out[Text(s, "series")];
    json_object* points = cloudsim::Member(s, "points");
    for (size_t k = 0; points && k < json_object_array_length(points); ++k) {
      json_object* p = json_object_array_get_idx(points, k);
      list.emplace_back(Text(p, "seq"), json_object_get_double(cloudsim::Member(p, "v")));
    }
  }
  return out;
}
// The bar groups of a chart: label -> total.
std::map<std::string, int64_t> ChartGroups(const json_object* snapshot, const char* chart) {
  std::map<std::string, int64_t> out;
  json_object* groups = cloudsim::Member(snapshot, chart);
  for (size_t i = 0; groups && i < json_object_array_length(groups); ++i) {
    json_object* g = json_object_array_get_idx(groups, i);
    out[Text(g, "label")] = cloudsim::IntMember(g, "total").value_or(-1);
  }
  return out;
}

// Everything the pictures show, read in one go (the page redraws every two seconds).
constexpr const char* kSnapshot = R"js((() => {
  const series = id => [...document.querySelectorAll('#' + id + ' g.series')].map(g => ({
    series: g.dataset.series,
    points: [...g.querySelectorAll('circle')].map(c => ({seq: c.dataset.seq || '', v: +c.dataset.value}))}));
  const groups = id => [...document.querySelectorAll('#' + id + ' g.group')].map(g => ({
    label: g.dataset.label, total: +g.dataset.total}));
  return {drawn: +document.body.dataset.drawn, device: document.getElementById('device-name').textContent,
          cpu: series('chart-cpu'), mem: series('chart-mem'), down: series('chart-down'), up: series('chart-up'),
          doh: groups('chart-doh'), edge: groups('chart-edge'), blocked: groups('chart-blocked'),
          histogram: document.getElementById('chart-doh').dataset.seq || '',
          online: series('chart-online'),
          signons: [...document.querySelectorAll('#chart-signons rect[data-series="sign-ons"]')]
                       .reduce((sum, r) => sum + +r.dataset.value, 0),
          fleet: !document.getElementById('fleet').hidden};
})())js";

std::string Q(const std::string& text) {
  return Quote(text);
}

int64_t Seq(const json_object* record) {
  return std::stoll(Text(record, "seq"));
}

TEST(E2eConsole, TablesAndPicturesShowWhatWasRecordedAndDeviceValuesOnlyAsText) {
  ZC_NEEDS_PAGE();
  zctest::TempDir dir("console");
  Lab lab;
  ASSERT_TRUE(lab.ok()) << lab.error();
  zctest::AgentRun& agent = lab.agent();
  agent.Write("/tmp/zundns.conf",
              "bind 192.168.1.1:53\nbind-tcp 192.168.1.1:53\nserver 127.0.0.1:" +
                  std::to_string(zctest::FreePort()) +
                  "\ncache-size 512\ncache-persist no\nspeed-check-mode none\nlog-level error\n");
  ASSERT_TRUE(lab.Put("/v1/signon", R"({"dns_profile": [{"transid": "p-kid", "client_mac": [")" +
                                        std::string(kKid) + R"("], "has_scheduled_pause": false,
      "urlentry": [{"url": "ads\\.test", "type": 2}]}]})"));
  agent.Start();
  ASSERT_TRUE(lab.WaitLog("ZUNCORE_SUBMODULE_INIT_DONE")) << agent.Output();
  ASSERT_TRUE(agent.WaitFor(kKid, kShort, "/tmp/profile.txt"));
  zctest::LanClient kid("eth0.2", kKid, "192.168.1.23");
  ASSERT_TRUE(kid.ok()) << kid.error();
  // The engine may still be starting on a busy machine: the kid asks again until the cloud
  // hears of a block.
  ASSERT_TRUE(zctest::WaitFor(
      [&] {
        kid.DigA("ads.test");
        return lab.WaitRecords(
                   "subject=zt.telemetry&match=decoded.filterStats.FStats.0.url=ads.test", 1, 5s) !=
               nullptr;
      },
      kLong));
  ASSERT_TRUE(lab.WaitRecords("subject=zt.event&match=decoded.clientInfo.cmac=" + std::string(kKid),
                              1, kShort));
  ASSERT_TRUE(agent.WaitFor("nats_bootstrap_connection", kShort, "/tmp/zuncorenatsconn"));
  // A tablet on Wi-Fi streams over three reports (the first one only counts it in), and two
  // DNS metrics messages arrive (a latest interval on top of an earlier one).
  ASSERT_EQ(agent.Zunsim("client add tablet --mac " + std::string(kTablet) +
                         " --ip 192.168.1.24 --port wlan0 --hostname tablet"),
            0);
  for (int i = 1; i <= 3; ++i) {
    const int64_t mark = lab.cloud().LastSeq();
    ASSERT_EQ(agent.Zunsim("traffic sta wlan0 " + std::string(kTablet) + " --rx +" +
                           std::to_string(9000 * i) + " --tx +" + std::to_string(70000 * i)),
              0);
    ASSERT_TRUE(lab.WaitRecords("subject=zt.telemetry&since=" + std::to_string(mark), 1, kShort));
  }
  ASSERT_TRUE(lab.WaitRecords("subject=zt.dnsmetrics", 2, kShort));

  // A second router whose values carry markup: its connection's name, a client, a blocked
  // lookup, an event.
  const std::string other = Q(kOther), hostile = Q(kHostile);
  Router router(lab.natsUrl(), agent.Path("/tmp/cacert.pem"),
                std::string(kOther) + "-" + kHostileName);
  ASSERT_TRUE(router.ok()) << router.status();
  router.Publish("zt.telemetry", "Telemetry",
                 R"({"timestamp": "2026-01-01T00:00:00Z", "deviceId": )" + other +
                     R"(, "dll": "d", "subscriberId": "s", "apInfo": {"uptime": 1,
      "mem": {"total": 1000, "free": 500}, "cpu": {"cpuCount": 1, "cpuPercentage": 9},
      "dataUsage": [{"cmac": )" +
                     hostile + R"(, "IP": "192.168.1.99", "connType": "LAN",
                     "connName": )" +
                     hostile + R"(, "rxBytes": 10, "txBytes": 20}],
      "ponStats": {"vendorName": "v", "serialNumber": "s", "partNumber": "p", "temperature": 1,
                   "voltage": 1, "biasCurrent": 1, "txPower": 1, "rxPower": 1}},
      "filterStats": {"FStats": [{"cmac": )" +
                     hostile + R"(, "url": )" + hostile +
                     R"(, "time": "2026-01-01T00:00:00Z", "reason": "BLOCKED_APP", "categoryId": 30,
                     "appName": )" +
                     hostile + "}]}}");
  router.Publish("zt.event", "APEvent",
                 R"({"timestamp": "2026-01-01T00:00:00Z", "deviceId": )" + other +
                     R"(, "dll": "d", "subscriberId": "s", "clientInfo": {"type": "DHCP",
      "cmac": "02:00:00:00:00:99", "IP": "192.168.1.99", "hostName": )" +
                     hostile + "}}");
  ASSERT_TRUE(lab.WaitRecords("subject=zt.event&match=decoded.deviceId=" + std::string(kOther)));

  zctest::Browser page(dir.path() + "/profile");
  ASSERT_TRUE(page.ok()) << page.error();
  ASSERT_TRUE(page.Open(ConsoleUrl(lab))) << page.error();
  ASSERT_EQ(page.EvalText("document.querySelector('h1').textContent"), "zuncore cloud simulator");
  // The page polled by itself, more than once, and drew the device.
  ASSERT_TRUE(page.WaitTrue("+document.body.dataset.polls >= 2 && +document.body.dataset.drawn > 0",
                            kShort))
      << page.error();
  const int64_t seen = std::stoll(page.EvalText("document.body.dataset.seq"));
  auto upTo = [&](const std::string& query, int64_t limit) {
    JsonPtr r = lab.Records(query);
    JsonPtr out(json_object_new_array());
    for (size_t i = 0; i < Lab::Size(r); ++i) {
      json_object* e = json_object_array_get_idx(r.get(), i);
      if (Seq(e) <= limit) json_object_array_add(out.get(), json_object_get(e));
    }
    return out;
  };

  // The device: its step, its link, its last telemetry figures and its counts.
  std::vector<Row> devices = TableRows(page, "devices");
  ASSERT_EQ(devices.size(), 2u);
  const Row& d = devices[0];
  EXPECT_EQ(d.attrs.at("device"), kDevice);
  EXPECT_EQ(devices[1].attrs.at("device"), kOther);
  EXPECT_EQ(d.cells.at("stage"), "reporting");
  EXPECT_EQ(d.cells.at("link"), "online (3)");  // message, command and edge connections
  EXPECT_EQ(devices[1].cells.at("link"), "online (1)");
  JsonPtr tel = lab.Records("since=" + std::to_string(std::stoll(d.attrs.at("telemetrySeq")) - 1));
  ASSERT_GT(Lab::Size(tel), 0u);
  const json_object* t = json_object_array_get_idx(tel.get(), 0);
  EXPECT_EQ(Text(t, "subject"), "zt.telemetry");
  EXPECT_EQ(Text(t, "decoded.deviceId"), kDevice);
  EXPECT_EQ(d.cells.at("uptime"), Text(t, "decoded.apInfo.uptime"));
  EXPECT_EQ(d.cells.at("cpu"), Text(t, "decoded.apInfo.cpu.cpuPercentage"));
  EXPECT_EQ(d.cells.at("mem"),
            Text(t, "decoded.apInfo.mem.free") + " / " + Text(t, "decoded.apInfo.mem.total"));
  const std::string mine = "&match=decoded.deviceId=" + std::string(kDevice);
  EXPECT_EQ(d.cells.at("telemetry"),
            std::to_string(Lab::Size(upTo("subject=zt.telemetry" + mine, seen))));

  // Events: each row is a recorded event; the new client's among them.
  bool client = false;
  for (const Row& e : TableRows(page, "events")) {
    JsonPtr r = lab.Records("since=" + std::to_string(std::stoll(e.attrs.at("seq")) - 1));
    ASSERT_GT(Lab::Size(r), 0u);
    const json_object* ev = json_object_array_get_idx(r.get(), 0);
    EXPECT_EQ(Text(ev, "subject"), "zt.event");
    if (e.cells.at("device") != kDevice) continue;
    EXPECT_EQ(e.cells.at("answer"), Text(ev, "answered.mode"));
    if (e.cells.at("what") == "client") {
      client = true;
      EXPECT_EQ(e.cells.at("detail"),
                std::string(kKid) + " 192.168.1.23 " + Text(ev, "decoded.clientInfo.hostName"));
    }
  }
  EXPECT_TRUE(client);

  // Blocked lookups: the kid's black-listed name as the telemetry record carries it.
  size_t kidBlocks = 0;
  for (const Row& b : TableRows(page, "blocked")) {
    if (b.cells.at("device") != kDevice) continue;
    ++kidBlocks;
    EXPECT_EQ(b.cells.at("client"), kKid);
    EXPECT_EQ(b.cells.at("url"), "ads.test");
    EXPECT_EQ(b.cells.at("reason"), "BLOCKED_BLACKLIST");
  }
  EXPECT_GT(kidBlocks, 0u);

  // The connection log: every connection the agent logged, with the same client id.
  std::vector<Row> log = TableRows(page, "connections");
  std::istringstream lines(agent.Read("/tmp/zuncorenatsconn"));
  size_t checked = 0;
  static const std::regex kLine(R"(name:[0-9A-F:]+-(\S+) cid:(\d+) :(connected|destroyed))");
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (!std::regex_search(line, m, kLine)) continue;
    const std::string want = m[3] == "connected" ? "connected" : "closed";
    bool found = false;
    for (const Row& c : log) {
      found |= c.attrs.at("device") == kDevice && c.cells.at("connection") == m[1].str() &&
               c.cells.at("cid") == m[2].str() && c.cells.at("event").rfind(want, 0) == 0;
    }
    EXPECT_TRUE(found) << line;
    ++checked;
  }
  EXPECT_GE(checked, 5u);  // bootstrap, message, command, edge; the bootstrap one closed

  // The pictures of the first device: every point and bar is a recorded number.
  JsonPtr snap = page.Eval(kSnapshot);
  ASSERT_TRUE(snap) << page.error();
  EXPECT_EQ(Text(snap.get(), "device"), kDevice);
  const int64_t drawn = cloudsim::IntMember(snap.get(), "drawn").value_or(0);
  JsonPtr reports = upTo("subject=zt.telemetry" + mine, drawn);
  ASSERT_GE(Lab::Size(reports), 3u);
  std::map<std::string, const json_object*> bySeq;
  for (size_t i = 0; i < Lab::Size(reports); ++i) {
    const json_object* r = json_object_array_get_idx(reports.get(), i);
    bySeq[Text(r, "seq")] = r;
  }
  Points cpu = ChartPoints(snap.get(), "cpu"), mem = ChartPoints(snap.get(), "mem");
  ASSERT_EQ(cpu["CPU %"].size(), Lab::Size(reports));
  for (const auto& [seq, v] : cpu["CPU %"]) {
    ASSERT_TRUE(bySeq.count(seq)) << seq;
    EXPECT_EQ(v, std::stod(Text(bySeq[seq], "decoded.apInfo.cpu.cpuPercentage"))) << seq;
  }
  ASSERT_EQ(mem["free"].size(), Lab::Size(reports));
  for (const auto& [seq, v] : mem["free"]) {
    EXPECT_DOUBLE_EQ(v, std::stod(Text(bySeq[seq], "decoded.apInfo.mem.free")) / 1024) << seq;
  }
  // Client traffic: the tablet's line carries each report's figures (what the router sent it
  // is its download).
  size_t usagePoints = 0;
  for (const auto& [chart, field] : {std::pair{"down", "rxBytes"}, std::pair{"up", "txBytes"}}) {
    for (const auto& [label, points] : ChartPoints(snap.get(), chart)) {
      for (const auto& [seq, v] : points) {
        ASSERT_TRUE(bySeq.count(seq)) << seq;
        json_object* usage = cloudsim::PathGet(bySeq[seq], "decoded.apInfo.dataUsage");
        bool matched = false;
        for (size_t k = 0; usage && k < json_object_array_length(usage); ++k) {
          json_object* u = json_object_array_get_idx(usage, k);
          const std::string mac = Text(u, "cmac");
          if (label != mac && label.rfind(mac + " ", 0) != 0) continue;
          matched = true;
          EXPECT_EQ(v, std::stod(Text(u, field))) << chart << " " << seq;
        }
        EXPECT_TRUE(matched) << label << " at " << seq;
        ++usagePoints;
      }
    }
  }
  EXPECT_GE(usagePoints, 4u);
  // DNS latency: each bucket's bar is the counter of the newest histogram drawn.
  JsonPtr histo =
      lab.Records("since=" + std::to_string(std::stoll(Text(snap.get(), "histogram")) - 1));
  ASSERT_GT(Lab::Size(histo), 0u);
  const json_object* h = json_object_array_get_idx(histo.get(), 0);
  EXPECT_EQ(Text(h, "type"), "DNSHISTOGRAM");
  EXPECT_EQ(Lab::Size(upTo("subject=zt.dnsmetrics&since=" + Text(h, "seq") + mine, drawn)), 0u);
  static const char* kBuckets[] = {
      "tenMilliSecCounter",     "twentyMilliSecCounter",         "thirtyMilliSecCounter",
      "fortyMilliSecCounter",   "fiftyMilliSecCounter",          "sixtyMilliSecCounter",
      "seventyMilliSecCounter", "eightyMilliSecCounter",         "ninetyMilliSecCounter",
      "hundredMilliSecCounter", "moreThanHundredMilliSecCounter"};
  for (const auto& [chart, field] :
       {std::pair{"doh", "dohHisto"}, std::pair{"edge", "edgeHisto"}}) {
    json_object* groups = cloudsim::Member(snap.get(), chart);
    ASSERT_EQ(json_object_array_length(groups), 11u) << chart;
    for (size_t i = 0; i < 11; ++i) {
      EXPECT_EQ(Text(json_object_array_get_idx(groups, i), "total"),
                Text(h, std::string("decoded.") + field + "." + kBuckets[i]))
          << chart << " " << i;
    }
  }
  // Blocked lookups by reason: all of the device's reports.
  size_t blacklisted = 0;
  for (size_t i = 0; i < Lab::Size(reports); ++i) {
    json_object* s = cloudsim::PathGet(json_object_array_get_idx(reports.get(), i),
                                       "decoded.filterStats.FStats");
    for (size_t k = 0; s && k < json_object_array_length(s); ++k) {
      blacklisted += Text(json_object_array_get_idx(s, k), "reason") == "BLOCKED_BLACKLIST";
    }
  }
  EXPECT_EQ(ChartGroups(snap.get(), "blocked"),
            (std::map<std::string, int64_t>{{"black list", static_cast<int64_t>(blacklisted)}}));
  // The fleet: two devices report; one sign-on, both online now.
  EXPECT_TRUE(json_object_get_boolean(cloudsim::Member(snap.get(), "fleet")));
  EXPECT_EQ(cloudsim::IntMember(snap.get(), "signons").value_or(-1),
            static_cast<int64_t>(Lab::Size(Distinct(lab.Records("type=SignOnRequest")))));
  Points online = ChartPoints(snap.get(), "online");
  ASSERT_FALSE(online["devices online"].empty());
  EXPECT_EQ(online["devices online"].back().second, 2);

  // A picture of it for people, kept with the build.
  const std::string shot = zctest::BuildDir() + "/tests/e2e/console.png";
  unlink(shot.c_str());
  ASSERT_TRUE(page.Screenshot(shot)) << page.error();
  FILE* f = fopen(shot.c_str(), "rb");
  ASSERT_TRUE(f) << "no screenshot at " << shot;
  char magic[8] = {};
  EXPECT_EQ(fread(magic, 1, sizeof magic, f), sizeof magic);
  fclose(f);
  EXPECT_EQ(std::string(magic + 1, 3), "PNG");
  printf("console screenshot: %s\n", shot.c_str());

  // The second device: its values are text in every table, legend and label, and nothing of
  // them became part of the page.
  ASSERT_TRUE(page.Eval("document.querySelector('#devices tr[data-device=\"" + std::string(kOther) +
                        "\"]').click(), true"));
  ASSERT_TRUE(page.WaitTrue("document.getElementById('device-name').textContent === '" +
                                std::string(kOther) +
                                "' && document.querySelector('#chart-down svg')",
                            kShort));
  ASSERT_TRUE(page.WaitTrue(kUntouched, kShort)) << page.error();
  const std::string h1 = kHostile;
  auto texts = [&](const std::string& selector) {
    JsonPtr list =
        page.Eval("[...document.querySelectorAll(" + Q(selector) + ")].map(e => e.textContent)");
    std::set<std::string> out;
    for (size_t i = 0; list && i < json_object_array_length(list.get()); ++i) {
      out.insert(json_object_get_string(json_object_array_get_idx(list.get(), i)));
    }
    return out;
  };
  EXPECT_TRUE(texts("#events td.detail").count("02:00:00:00:00:99 192.168.1.99 " + h1));
  EXPECT_TRUE(texts("#blocked td.client").count(h1));
  EXPECT_TRUE(texts("#blocked td.url").count(h1));
  EXPECT_TRUE(texts("#blocked td.app").count(h1));
  EXPECT_TRUE(texts("#connections td.connection").count(kHostileName));
  for (const char* chart : {"#chart-down", "#chart-up"}) {
    EXPECT_EQ(texts(std::string(chart) + " .legend span"),
              (std::set<std::string>{h1 + " 192.168.1.99"}))
        << chart;
    for (const std::string& title : texts(std::string(chart) + " circle title")) {
      EXPECT_EQ(title.rfind(h1 + " 192.168.1.99: ", 0), 0u) << title;
    }
  }
  EXPECT_EQ(texts("#chart-blocked text"), (std::set<std::string>{"application", "1"}));
  EXPECT_TRUE(page.WaitTrue(kUntouched, std::chrono::seconds(3)));
  EXPECT_TRUE(agent.Running());
}

}  // namespace
}  // namespace e2e
