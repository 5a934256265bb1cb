// A LAN client joining (one new-client event) and its blocked lookups as telemetry carries them: a
// LAN client hammering a black-listed name through the agent's DNS engine. Every message stays
// bounded (at most 200 lookups, far below the NATS payload limit), the lookups carry the client and
// the reason, and the agent stays up.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "e2e/e2e_lab.h"
#include "filter/lan_client.h"
#include "support/dns_peers.h"
#include "support/netns.h"
#include "support/requires.h"
#include "utils/timescale.h"

namespace e2e {
namespace {

constexpr const char* kKid = "02:00:00:00:00:01";
constexpr size_t kMaxLookupsPerMessage = 200;
constexpr size_t kPayloadLimit = 1024 * 1024;

TEST(E2eReportingBlocks, NewClientOnceAndItsBlockedLookupsWithinEveryTelemetryMessage) {
  if (!zctest::InPrivateNetwork()) ZC_MISSING() << "needs the router namespace";
  std::string dir = zctest::MakeTempDir("report-blocks");
  Lab lab;
  ASSERT_TRUE(lab.ok()) << lab.error();
  zctest::AgentRun& agent = lab.agent();
  // Black-listed names are answered by the engine itself: the upstream is never asked.
  agent.Write("/tmp/zundns.conf",
              "bind 192.168.1.1:53\nbind-tcp 192.168.1.1:53\nserver 127.0.0.1:" +
                  std::to_string(zctest::FreePort()) +
                  "\ncache-size 512\ncache-persist no\nspeed-check-mode none\nlog-level error\n");
  ASSERT_TRUE(lab.Put("/v1/signon", R"({"intervals": {"dns_metrics": 60, "telemetry": 60},
      "dns_profile": [{"transid": "p-kid", "client_mac": [")" +
                                        std::string(kKid) + R"("], "has_scheduled_pause": false,
      "urlentry": [{"url": "ads\\.test", "type": 2}]}]})"));
  agent.Start();
  ASSERT_TRUE(lab.WaitLog("ZUNCORE_SUBMODULE_INIT_DONE")) << agent.Output();
  ASSERT_TRUE(agent.WaitFor(kKid, kShort, "/tmp/profile.txt"));

  zctest::LanClient kid("eth0.2", kKid, "192.168.1.23");
  ASSERT_TRUE(kid.ok()) << kid.error();
  kid.DigA("ads.test");  // blocked: the answer form belongs to the filter
  ASSERT_TRUE(lab.WaitRecords(
      "subject=zt.telemetry&match=decoded.filterStats.FStats.0.url=ads.test", 1, kLong))
      << agent.Output();

  // Three seconds of queries as fast as the engine answers (bounded by dnsperf's rate cap).
  std::ofstream(dir + "/queries") << "ads.test A\n";
  // The command layer bounds a child's run by the (scaled) time-out: dnsperf needs real time.
  zc::SetTimeScaleForTest(1.0);
  kid.Run({"sh", "-c",
           "dnsperf -s 192.168.1.1 -d " + dir + "/queries -l 3 -Q 5000 -c 1 -t 1 > " + dir +
               "/perf.txt 2>&1"});
  zc::SetTimeScaleForTest(LabOptions{}.scale);
  std::string perf;
  {
    std::ifstream in(dir + "/perf.txt");
    perf.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  size_t at = perf.find("Queries completed:");
  ASSERT_NE(at, std::string::npos) << perf;
  const long completed = std::stol(perf.substr(at + 18));
  ASSERT_GT(completed, 600) << perf;
  const int64_t seq = [&] {
    JsonPtr r = lab.Records("subject=zt.telemetry");
    return std::stoll(Text(json_object_array_get_idx(r.get(), Lab::Size(r) - 1), "seq"));
  }();
  // The backlog drains over the next messages.
  ASSERT_TRUE(lab.WaitRecords("subject=zt.telemetry&since=" + std::to_string(seq), 6, kLong));

  JsonPtr all = lab.Records("subject=zt.telemetry");
  size_t lookups = 0, fullMessages = 0;
  for (size_t i = 0; i < Lab::Size(all); ++i) {
    const json_object* rec = json_object_array_get_idx(all.get(), i);
    EXPECT_LT(std::stoul(Text(rec, "size")), kPayloadLimit / 4);
    json_object* fs = cloudsim::PathGet(Lab::Decoded(all, i), "filterStats.FStats");
    size_t n = fs ? json_object_array_length(fs) : 0;
    EXPECT_LE(n, kMaxLookupsPerMessage);
    fullMessages += n == kMaxLookupsPerMessage ? 1 : 0;
    lookups += n;
    for (size_t k = 0; k < n; ++k) {
      json_object* f = json_object_array_get_idx(fs, k);
      ASSERT_EQ(Text(f, "cmac"), kKid);
      ASSERT_EQ(Text(f, "url"), "ads.test");
      ASSERT_EQ(Text(f, "reason"), "BLOCKED_BLACKLIST");
    }
  }
  // The client that joined the LAN was reported once, as a new client.
  JsonPtr joined =
      lab.WaitRecords("subject=zt.event&match=answered.mode=reply&match=decoded.clientInfo.cmac=" +
                          std::string(kKid),
                      1, kShort);
  ASSERT_TRUE(joined) << agent.Output();
  EXPECT_EQ(Text(Lab::Decoded(joined, 0), "clientInfo.IP"), "192.168.1.23");
  EXPECT_EQ(Text(Lab::Decoded(joined, 0), "clientInfo.expiry"), "new");
  EXPECT_EQ(lab.Count("subject=zt.event&match=decoded.clientInfo.cmac=" + std::string(kKid)), 1u);
  printf("blocked lookups: %ld queries, %zu reported in %zu messages (%zu full)\n", completed,
         lookups, Lab::Size(all), fullMessages);
  EXPECT_GE(fullMessages, 1u);
  EXPECT_LE(lookups, static_cast<size_t>(completed) + 1);
  EXPECT_TRUE(agent.Running());
  EXPECT_EQ(lab.ExitReasons().size(), 0u) << lab.LastExit();
  zctest::RemoveTree(dir);
}

}  // namespace
}  // namespace e2e
