// The cloud simulator's console as a person sees it: the real agent provisions, reports
// telemetry and a new-client event and blocks a LAN client's lookup; headless Chromium loads the
// page, lets its script poll, and what the page shows is checked against the simulator's records
// and the agent's own connection log. The screenshot stays in the build tree
// (tests/e2e/console.png).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/e2e_lab.h"
#include "filter/lan_client.h"
#include "support/agent_harness.h"
#include "support/dns_peers.h"
#include "support/netns.h"
#include "support/ports.h"
#include "support/requires.h"

namespace e2e {
namespace {

constexpr const char* kKid = "02:00:00:00:00:01";
constexpr const char* kDevice = "02:5A:00:00:00:01";
// Virtual time the page runs for: long enough for several polls (one every two seconds).
constexpr int kPageBudgetMs = 7000;

std::string Chromium() {
  if (const char* given = getenv("ZC_CHROMIUM")) return given;
  return "/usr/bin/chromium";
}

std::string Capture(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[8192];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  pclose(p);
  return out;
}

// Headless Chromium on the page: its DOM after the script ran, or a screenshot.
std::string Browse(const std::string& profileDir, const std::string& url,
                   const std::string& action) {
  return Capture("timeout 90 " + Chromium() +
                 " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
                 " --disable-background-networking --disable-component-update --disable-sync"
                 " --disable-dev-shm-usage --user-data-dir=" +
                 profileDir + " --virtual-time-budget=" + std::to_string(kPageBudgetMs) +
                 " --window-size=1400,1000 " + action + " '" + url + "' 2>/dev/null");
}

struct Row {
  std::map<std::string, std::string> attrs;  // data-* attributes
  std::map<std::string, std::string> cells;  // first class of a cell -> its text
};

// The rows (after the heading row) of the table with the given id in a dumped DOM.
std::vector<Row> TableRows(const std::string& dom, const std::string& id) {
  std::vector<Row> rows;
  size_t at = dom.find("<table id=\"" + id + "\">");
  if (at == std::string::npos) return rows;
  std::string table = dom.substr(at, dom.find("</table>", at) - at);
  static const std::regex kRow(R"(<tr([^>]*)>(.*?)</tr>)");
  static const std::regex kAttr(R"re(data-([a-z-]+)="([^"]*)")re");
  static const std::regex kCell(R"re(<td class="([a-z]+)[^"]*"[^>]*>(.*?)</td>)re");
  for (std::sregex_iterator r(table.begin(), table.end(), kRow), end; r != end; ++r) {
    const std::string attrs = (*r)[1], cells = (*r)[2];
    if (cells.find("<th>") != std::string::npos ||
        cells.find("class=\"empty\"") != std::string::npos) {
      continue;
    }
    Row row;
    for (std::sregex_iterator a(attrs.begin(), attrs.end(), kAttr); a != end; ++a) {
      row.attrs[(*a)[1]] = (*a)[2];
    }
    for (std::sregex_iterator c(cells.begin(), cells.end(), kCell); c != end; ++c) {
      row.cells[(*c)[1]] = (*c)[2];
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

std::string BodyAttr(const std::string& dom, const std::string& name) {
  std::smatch m;
  std::regex re("<body[^>]*data-" + name + "=\"([^\"]*)\"");
  return std::regex_search(dom, m, re) ? std::string(m[1]) : "";
}

// The record with the given sequence number.
JsonPtr RecordAt(Lab& lab, const std::string& seq) {
  JsonPtr r = lab.Records("since=" + std::to_string(std::stoll(seq) - 1));
  if (Lab::Size(r) == 0) return nullptr;
  return cloudsim::JsonRef(json_object_array_get_idx(r.get(), 0));
}

TEST(E2eConsole, PageShowsDevicesTelemetryEventsBlockedLookupsAndConnectionsAsRecorded) {
  if (!zctest::InPrivateNetwork()) ZC_MISSING() << "needs the router namespace";
  if (access(Chromium().c_str(), X_OK) != 0) ZC_MISSING() << "chromium (" << Chromium() << ")";
  std::string dir = zctest::MakeTempDir("console");
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
  kid.DigA("ads.test");
  ASSERT_TRUE(lab.WaitRecords(
      "subject=zt.telemetry&match=decoded.filterStats.FStats.0.url=ads.test", 1, kLong));
  ASSERT_TRUE(lab.WaitRecords("subject=zt.event&match=decoded.clientInfo.cmac=" + std::string(kKid),
                              1, kShort));
  ASSERT_TRUE(agent.WaitFor("nats_bootstrap_connection", kShort, "/tmp/zuncorenatsconn"));

  const std::string url = "http://127.0.0.1:" + std::to_string(lab.cloud().controlPort()) + "/";
  const std::string dom = Browse(dir + "/profile", url, "--dump-dom");
  ASSERT_NE(dom.find("zuncore cloud simulator"), std::string::npos) << dom.substr(0, 2000);

  // The page polled by itself, more than once, and says how far into the records it saw.
  EXPECT_GE(std::stoi("0" + BodyAttr(dom, "polls")), 2) << dom.substr(0, 2000);
  const std::string seenText = BodyAttr(dom, "seq");
  ASSERT_FALSE(seenText.empty());
  const int64_t seen = std::stoll(seenText);
  ASSERT_GT(seen, 0);
  auto upTo = [&](const std::string& query) {
    JsonPtr r = lab.Records(query);
    size_t n = 0;
    for (size_t i = 0; i < Lab::Size(r); ++i) {
      n += std::stoll(Text(json_object_array_get_idx(r.get(), i), "seq")) <= seen ? 1 : 0;
    }
    return n;
  };

  // The device: its step, its link, its last telemetry figures and its counts.
  std::vector<Row> devices = TableRows(dom, "devices");
  ASSERT_EQ(devices.size(), 1u) << dom;
  const Row& d = devices[0];
  EXPECT_EQ(d.attrs.at("device"), kDevice);
  EXPECT_EQ(d.cells.at("stage"), "reporting");
  EXPECT_EQ(d.cells.at("link"), "online (3)");  // message, command and edge connections
  JsonPtr tel = RecordAt(lab, d.attrs.at("telemetry-seq"));
  ASSERT_TRUE(tel);
  EXPECT_EQ(Text(tel.get(), "subject"), "zt.telemetry");
  EXPECT_EQ(Text(tel.get(), "decoded.deviceId"), kDevice);
  EXPECT_EQ(d.cells.at("uptime"), Text(tel.get(), "decoded.apInfo.uptime"));
  EXPECT_EQ(d.cells.at("cpu"), Text(tel.get(), "decoded.apInfo.cpu.cpuPercentage"));
  EXPECT_EQ(d.cells.at("mem"), Text(tel.get(), "decoded.apInfo.mem.free") + " / " +
                                   Text(tel.get(), "decoded.apInfo.mem.total"));
  EXPECT_EQ(d.cells.at("telemetry"), std::to_string(upTo("subject=zt.telemetry")));
  EXPECT_EQ(d.cells.at("events"), std::to_string(upTo("subject=zt.event")));
  // The last telemetry the page shows is the last one recorded up to what it saw.
  EXPECT_EQ(upTo("subject=zt.telemetry&since=" + d.attrs.at("telemetry-seq")), 0u);

  // Events: each row is a recorded event, the new client among them.
  std::vector<Row> events = TableRows(dom, "events");
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.size(), std::min<size_t>(upTo("subject=zt.event"), 20));
  bool client = false;
  for (const Row& e : events) {
    JsonPtr r = RecordAt(lab, e.attrs.at("seq"));
    ASSERT_TRUE(r);
    EXPECT_EQ(Text(r.get(), "subject"), "zt.event");
    EXPECT_EQ(e.cells.at("answer"), Text(r.get(), "answered.mode"));
    if (e.cells.at("what") == "client") {
      client = true;
      EXPECT_EQ(e.cells.at("detail"), std::string(kKid) + " 192.168.1.23 " +
                                          Text(r.get(), "decoded.clientInfo.hostName"));
    }
  }
  EXPECT_TRUE(client) << dom;

  // Blocked lookups: the kid's black-listed name, as the telemetry record carries it.
  std::vector<Row> blocked = TableRows(dom, "blocked");
  ASSERT_FALSE(blocked.empty()) << dom;
  for (const Row& b : blocked) {
    EXPECT_EQ(b.cells.at("client"), kKid);
    EXPECT_EQ(b.cells.at("url"), "ads.test");
    EXPECT_EQ(b.cells.at("reason"), "BLOCKED_BLACKLIST");
    JsonPtr r = RecordAt(lab, b.attrs.at("seq"));
    ASSERT_TRUE(r);
    EXPECT_EQ(Text(r.get(), "decoded.filterStats.FStats.0.url"), "ads.test");
  }

  // The connection log: every connection the agent logged, with the same client id.
  std::vector<Row> log = TableRows(dom, "connections");
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
    EXPECT_TRUE(found) << line << "\n" << dom;
    ++checked;
  }
  EXPECT_GE(checked, 5u);  // bootstrap, message, command, edge; the bootstrap one closed

  // A picture of it for people, kept with the build.
  const std::string shot = zctest::BuildDir() + "/tests/e2e/console.png";
  unlink(shot.c_str());
  Browse(dir + "/profile", url, "--screenshot=" + shot);
  FILE* f = fopen(shot.c_str(), "rb");
  ASSERT_TRUE(f) << "no screenshot at " << shot;
  char magic[8] = {};
  EXPECT_EQ(fread(magic, 1, sizeof magic, f), sizeof magic);
  fclose(f);
  EXPECT_EQ(std::string(magic + 1, 3), "PNG");
  printf("console screenshot: %s\n", shot.c_str());
  EXPECT_TRUE(agent.Running());
  zctest::RemoveTree(dir);
}

}  // namespace
}  // namespace e2e
