// Filtering end to end: the real agent replaces the router's dnsmasq on br0, LAN clients in their
// own namespaces ask it with dig, unbound answers upstream, and the profiles come with sign-on.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>

#include <fstream>
#include <string>

#include "e2e/e2e_lab.h"
#include "filter/lan_client.h"
#include "support/dns_peers.h"
#include "support/netns.h"

namespace e2e {
namespace {

constexpr const char* kKid = "02:00:00:00:00:01";
constexpr const char* kParent = "02:00:00:00:00:02";

// unbound as the router's upstream: every name the scenarios ask for, nothing else.
bool StartUpstream(const std::string& dir, int port, zctest::ChildProcess* process) {
  std::string conf = "server:\n  interface: 127.0.0.1@" + std::to_string(port) +
                     "\n  port: " + std::to_string(port) +
                     "\n  username: \"\"\n  chroot: \"\"\n  directory: \"" + dir +
                     "\"\n  pidfile: \"" + dir +
                     "/unbound.pid\"\n  use-syslog: no\n  logfile: \"\"\n  verbosity: 0\n"
                     "  do-daemonize: no\n  module-config: \"iterator\"\n  do-ip6: no\n"
                     "  num-threads: 1\n  local-zone: \".\" static\n";
  for (const char* rr : {"a.test. 300 IN A 192.0.2.1", "ads.test. 300 IN A 192.0.2.20",
                         "news.test. 300 IN A 192.0.2.30", "adult.test. 300 IN A 192.0.2.10",
                         "chat.test. 300 IN A 192.0.2.31", "malware.test. 300 IN A 192.0.2.7",
                         "www.google.com. 300 IN A 192.0.2.80"}) {
    conf += std::string("  local-data: \"") + rr + "\"\n";
  }
  conf += "remote-control:\n  control-enable: no\n";
  std::ofstream(dir + "/unbound.conf") << conf;
  if (!process->Start({"unbound", "-d", "-c", dir + "/unbound.conf"}, dir + "/unbound.log")) {
    return false;
  }
  return zctest::WaitForDns(port, "a.test", std::chrono::seconds(5));
}

// The router's own dnsmasq is running (its pidof sees only this router's processes).
bool RouterDnsmasqRuns(const zctest::AgentRun& agent) {
  std::string pidof = "ZUNCORE_ROOT=" + agent.root() + " " + agent.root() + "/bin/pidof dnsmasq";
  for (int i = 0; i < 100; ++i) {
    if (system((pidof + " >/dev/null 2>&1").c_str()) == 0) return true;
    usleep(100 * 1000);
  }
  return false;
}

std::string Profile(const std::string& transid, const std::string& mac, const std::string& body) {
  return R"({"transid": ")" + transid + R"(", "client_mac": [")" + mac +
         R"("], "has_scheduled_pause": false)" + (body.empty() ? "" : ", " + body) + "}";
}

class FilterE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!zctest::InPrivateNetwork()) GTEST_FAIL() << "needs the router namespace";
    dir = zctest::MakeTempDir("filter-e2e");
    port = zctest::FreePort();
    ASSERT_TRUE(StartUpstream(dir, port, &upstream)) << "unbound did not start";
  }
  void TearDown() override {
    upstream.Stop();
    zctest::RemoveTree(dir);
  }
  // A lab whose agent forwards to the test's unbound and signs on with the given profiles.
  // scale 0.5: the 1.5 s lookup time-out is 750 ms, room for a classification round trip on a
  // busy machine; 0.2 where a bounded fail-open matters more.
  std::unique_ptr<Lab> StartLab(const std::string& profiles,
                                std::map<std::string, std::string> env = {},
                                bool dnsmasqBinds = false, double scale = 0.5) {
    LabOptions o;
    o.scale = scale;
    o.env = std::move(env);
    auto lab = std::make_unique<Lab>(o);
    if (!lab->ok()) return lab;
    lab->agent().Write("/tmp/zundns.conf",
                       "bind 192.168.1.1:53\nbind-tcp 192.168.1.1:53\n"
                       "server 127.0.0.1:" +
                           std::to_string(port) +
                           "\ncache-size 512\ncache-persist no\n"
                           "speed-check-mode none\nlog-level error\naddress /rule.test/#\n");
    lab->Put("/v1/signon", R"({"dns_profile": [)" + profiles + "]}");
    if (dnsmasqBinds) {
      lab->agent().Zunsim("knob dnsmasq.bind53 1");
      lab->agent().Zunsim("knob dnsmasq.addr 192.168.1.1");
    }
    lab->agent().Start();
    return lab;
  }

  std::string dir;
  int port = 0;
  zctest::ChildProcess upstream;
};

TEST_F(FilterE2e, ListsAndSafeSearchApplyPerClient) {
  std::string profiles =
      Profile("p-kid", "02-00-00-00-00-01",  // the dashed form still matches the ARP entry
              R"("urlentry": [{"url": "ads\\.test", "type": 2}, {"url": "news\\.test", "type": 1}],
                 "safe_search": true, "adblock": true, "category_entry": [{"category_id": 20}])");
  // The router's dnsmasq really holds port 53 until the agent stops it.
  auto lab = StartLab(profiles, {}, /*dnsmasqBinds=*/true);
  ASSERT_TRUE(lab->ok()) << lab->error();
  ASSERT_TRUE(lab->WaitLog("ZUNCORE_SUBMODULE_INIT_DONE")) << lab->agent().Output();
  ASSERT_TRUE(lab->agent().WaitFor("02:00:00:00:00:01", kShort, "/tmp/profile.txt"));

  zctest::LanClient kid("eth0.2", kKid, "192.168.1.23");
  ASSERT_TRUE(kid.ok()) << kid.error();
  zctest::LanClient parent("eth0.3", kParent, "192.168.1.24");
  ASSERT_TRUE(parent.ok()) << parent.error();

  // Black list: the block address, in any case of the name; the other client gets the answer.
  EXPECT_EQ(kid.DigA("ads.test"), "127.0.0.1");
  EXPECT_EQ(kid.DigA("ADS.Test"), "127.0.0.1");
  EXPECT_EQ(parent.DigA("ads.test"), "192.0.2.20");
  // White list: answered at once with the real address.
  EXPECT_EQ(kid.DigA("news.test"), "192.0.2.30");
  // Safe search: the table's address for the kid only (held until the loop-back verdict).
  EXPECT_EQ(kid.DigA("www.google.com"), "192.0.2.1");
  EXPECT_EQ(parent.DigA("www.google.com"), "192.0.2.80");
  // An allowed name through the held path keeps its real address.
  EXPECT_EQ(kid.DigA("a.test"), "192.0.2.1");
  // Domain rules match whatever the case of the question.
  std::string rule = kid.Run({"dig", "@192.168.1.1", "+time=2", "+tries=1", "RULE.Test", "A"});
  EXPECT_NE(rule.find("status: NOERROR"), std::string::npos) << rule;
  EXPECT_NE(rule.find("SOA"), std::string::npos) << rule;
  // The block reaches telemetry (once that module runs).
  if (lab->Built("TelemetryInit")) {
    bool seen = false;
    for (int i = 0; i < 450 && !seen; ++i) {
      JsonPtr t = lab->Records("subject=zt.telemetry");
      seen = t &&
             std::string(json_object_to_json_string(t.get())).find("ads.test") != std::string::npos;
      if (!seen) usleep(100 * 1000);
    }
    EXPECT_TRUE(seen) << "no telemetry record of the block";
  }
  EXPECT_EQ(lab->ExitReasons().size(), 0u) << lab->LastExit();

  // Profiles pushed through the configuration intake: a pause flag without its pause is refused
  // (the agent stays up); the kid's profile deleted twice, then re-added with another list.
  lab->Push("commandGroup:0", R"({"_dnsprofile": {"transid": "bad-pause",
      "client_mac": ["02:00:00:00:00:01"], "has_scheduled_pause": true}})");
  JsonPtr bad = lab->WaitRecords("type=CONFIGRESP&transid=bad-pause");
  ASSERT_TRUE(bad);
  EXPECT_EQ(Text(Lab::Decoded(bad, 0), "err_msg"), "INVALID pause/play state");
  for (const char* t : {"del-1", "del-2"}) {
    lab->Push("commandGroup:0", std::string(R"({"_deldnsprofile": {"transid": ")") + t +
                                    R"(", "client_mac": ["02:00:00:00:00:01"]}})");
    JsonPtr del = lab->WaitRecords(std::string("type=CONFIGRESP&transid=") + t);
    ASSERT_TRUE(del);
    EXPECT_EQ(Text(Lab::Decoded(del, 0), "err_msg"), "NA");
  }
  EXPECT_EQ(kid.DigA("ads.test"), "192.0.2.20");
  lab->Push("commandGroup:0", R"({"_dnsprofile": {"transid": "re-add",
      "client_mac": ["02:00:00:00:00:01"], "has_scheduled_pause": false,
      "urlentry": [{"url": "news\\.test", "type": 2}]}})");
  JsonPtr readd = lab->WaitRecords("type=CONFIGRESP&transid=re-add");
  ASSERT_TRUE(readd);
  EXPECT_EQ(Text(Lab::Decoded(readd, 0), "err_msg"), "NA");
  EXPECT_EQ(kid.DigA("news.test"), "127.0.0.1");
  EXPECT_EQ(parent.DigA("news.test"), "192.0.2.30");
  EXPECT_TRUE(lab->agent().Running());

  // On exit the engine's listeners close before dnsmasq starts again, so dnsmasq gets port 53.
  lab->agent().Signal(SIGINT);
  ASSERT_TRUE(lab->agent().WaitExit(kShort));
  EXPECT_TRUE(RouterDnsmasqRuns(lab->agent())) << lab->agent().Read("/sim/log/calls.log");
}

TEST_F(FilterE2e, CloudClassificationBlocksByCategoryAppAndSecurity) {
  std::string profiles =
      Profile("p-kid", kKid,
              R"("parental_control": 2, "adblock": true,
                 "category_entry": [{"category_id": 10}, {"category_id": 20}],
                 "appentry": [{"app_name": "chatapp", "type": 2}])") +
      "," + R"({"transid": "p-isec", "has_scheduled_pause": false, "internet_sec": true})" + "," +
      Profile("p-pause", "02-00-00-00-00-03", R"("has_scheduled_pause": true,
              "scheduled_pause": {"start_time": "00:00", "end_time": "23:59", "action": 1})");
  // Lookups go to the cloud's reputation service instead of looping back.
  auto lab = StartLab(profiles, {{"ZUNCORE_EDGE_LOOKUPS", "cloud"}});
  ASSERT_TRUE(lab->ok()) << lab->error();
  ASSERT_TRUE(lab->WaitLog("ZUNCORE_SUBMODULE_INIT_DONE")) << lab->agent().Output();
  // The switch restarted the engine (cleanly: it answers below).
  ASSERT_TRUE(lab->agent().WaitFor("Internet_Sec is Enabled", kShort, "/tmp/profile.txt"));
  ASSERT_TRUE(lab->WaitLog("UpdateProfile: DnsServerInit Success"));
  // The paused client is dropped by the bridge, given in colon form.
  ASSERT_TRUE(lab->agent().WaitFor("PAUSED", kShort, "/tmp/profile.txt"));
  EXPECT_NE(lab->agent().Read("/sim/log/calls.log").find("02:00:00:00:00:03"), std::string::npos);

  zctest::LanClient kid("eth0.2", kKid, "192.168.1.23");
  ASSERT_TRUE(kid.ok()) << kid.error();
  zctest::LanClient parent("eth0.3", kParent, "192.168.1.24");
  ASSERT_TRUE(parent.ok()) << parent.error();
  EXPECT_EQ(kid.DigA("adult.test"), "127.0.0.1");    // parental control, category 10
  EXPECT_EQ(kid.DigA("ads.test"), "127.0.0.1");      // ad block, category 20
  EXPECT_EQ(kid.DigA("chat.test"), "127.0.0.1");     // black-listed application
  EXPECT_EQ(kid.DigA("malware.test"), "127.0.0.1");  // internet security
  EXPECT_EQ(kid.DigA("a.test"), "192.0.2.1");
  // A client without a profile: only internet security applies.
  EXPECT_EQ(parent.DigA("adult.test"), "192.0.2.10");
  EXPECT_EQ(parent.DigA("malware.test"), "127.0.0.1");
  EXPECT_GE(lab->CountLog("PC_BLOCKED - mac : 02:00:00:00:00:01, category_id :10"), 1u);
  EXPECT_GE(lab->CountLog("APP_BLOCKED - mac : 02:00:00:00:00:01, app_name :chatapp"), 1u);
  // The histograms are published each interval, with the edge round trips counted; the health
  // check asks the dns subject with seqno 0.
  JsonPtr metrics = lab->WaitRecords("subject=zt.dnsmetrics");
  ASSERT_TRUE(metrics);
  EXPECT_NE(Text(Lab::Decoded(metrics, Lab::Size(metrics) - 1), "edgeHisto.tenMilliSecCounter"),
            "<absent>");
  EXPECT_TRUE(lab->WaitRecords("subject=zt.edge.dns&match=decoded.seqno=0"));

  // The edge goes silent: held queries are answered (allowed) after the lookup time-out.
  ASSERT_TRUE(lab->Put("/v1/services/edge", R"({"mode": "drop"})"));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(kid.DigA("news.test"), "192.0.2.30");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_TRUE(lab->WaitLog("allowed after time-out", kShort));
  // 300 lookups at once from one client while the edge stays silent: held ones time out, those
  // over the per-client cap (when dnsperf outpaces the time-out) are allowed at once; every
  // query is answered.
  std::string names = dir + "/names.txt";
  {
    std::ofstream out(names);
    for (int i = 0; i < 300; ++i) out << "held" << i << ".test A\n";
  }
  std::string perf =
      kid.Run({"dnsperf", "-s", "192.168.1.1", "-d", names, "-n", "1", "-q", "300", "-t", "3"});
  EXPECT_NE(perf.find("Queries completed:    300"), std::string::npos) << perf;
  EXPECT_NE(perf.find("Queries lost:         0"), std::string::npos) << perf;
  EXPECT_TRUE(lab->agent().Running());
  EXPECT_EQ(lab->ExitReasons().size(), 0u) << lab->LastExit();
}

size_t AgentDescriptors(pid_t pid) {
  size_t n = 0;
  if (DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

// The internet-security switch pushed ten times while a client keeps asking: each switch restarts
// the engine in place, which answers again at once, without leaking descriptors.
TEST_F(FilterE2e, InternetSecuritySwitchUnderLoad) {
  auto lab = StartLab(
      Profile("p-kid", kKid, R"("adblock": true, "category_entry": [{"category_id": 20}])"), {},
      false, 0.2);
  ASSERT_TRUE(lab->ok()) << lab->error();
  ASSERT_TRUE(lab->WaitLog("ZUNCORE_SUBMODULE_INIT_DONE")) << lab->agent().Output();
  ASSERT_TRUE(lab->agent().WaitFor("02:00:00:00:00:01", kShort, "/tmp/profile.txt"));
  zctest::LanClient kid("eth0.2", kKid, "192.168.1.23");
  ASSERT_TRUE(kid.ok()) << kid.error();
  ASSERT_EQ(kid.DigA("a.test"), "192.0.2.1");
  std::string names = dir + "/load.txt";
  {
    std::ofstream out(names);
    for (const char* n : {"a.test", "news.test", "ads.test", "chat.test"}) out << n << " A\n";
  }
  std::string perfLog = dir + "/dnsperf.log";
  zctest::ChildProcess load;
  ASSERT_TRUE(load.Start({"nsenter", "-t", std::to_string(kid.pid()), "-n", "dnsperf", "-s",
                          "192.168.1.1", "-d", names, "-l", "30", "-Q", "200", "-t", "1"},
                         perfLog));
  size_t baseline = 0;
  for (int i = 0; i < 10; ++i) {
    std::string transid = "isec-" + std::to_string(i);
    lab->Push("commandGroup:0", R"({"_dnsprofile": {"transid": ")" + transid +
                                    R"(", "has_scheduled_pause": false, "internet_sec": )" +
                                    (i % 2 == 0 ? "true" : "false") + "}}");
    JsonPtr answer = lab->WaitRecords("type=CONFIGRESP&transid=" + transid);
    ASSERT_TRUE(answer) << transid;
    EXPECT_EQ(Text(Lab::Decoded(answer, 0), "err_msg"), "NA") << transid;
    auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(kid.DigA("a.test"), "192.0.2.1") << "after " << transid;
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1)) << transid;
    if (i == 1) baseline = AgentDescriptors(lab->agent().pid());
  }
  EXPECT_LE(AgentDescriptors(lab->agent().pid()), baseline + 2);
  EXPECT_EQ(lab->CountLog("UpdateProfile: DnsServerInit Success"), 10u);
  load.Stop();
  EXPECT_TRUE(lab->agent().Running());
  EXPECT_EQ(lab->ExitReasons().size(), 0u) << lab->LastExit();
}

}  // namespace
}  // namespace e2e
