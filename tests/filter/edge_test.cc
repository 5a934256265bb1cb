// Filtering decisions and the pending-lookup lifecycle with a fake edge: the loop-back messages
// are captured and fed back; verdicts go to a recording sink instead of an engine.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/profileutils.h"
#include "dns/filter/client_mac.h"
#include "dns/filter/dns_histogram.h"
#include "dns/filter/edge_decision.h"
#include "dns/filter/safesearchhash.h"
#include "dns/filter/zuncoredns.h"
#include "filter/profile_builder.h"
#include "support/temp_root.h"
#include "telemetry/url_content_filter.h"

namespace {

using namespace zc::filter;

constexpr const char* kMac = "02:00:00:00:00:01";

struct Published {
  std::string subject;
  std::vector<uint8_t> payload;
};

class EdgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zctest::InstallQuietStationOps();
    zc::profiles::ResetForTest();
    zc::profiles::SetAnswerSink([](const char*, const char*) {});
    Pending().TakeAll();
    SetFlagsForTest(true, true, false);
    SetVerdictSinkForTest([this](zc::dns::DnsRequestHandle h, zc::dns::DnsVerdict v) {
      std::lock_guard lock(mutex);
      verdicts.emplace_back(h.id, v);
    });
    SetEdgePublisherForTest(
        [this](const char* subject, const char*, const std::vector<uint8_t>& p) {
          std::lock_guard lock(mutex);
          published.push_back({subject, p});
          return 0;
        });
    SetMacResolverForTest([](const sockaddr_storage&) { return std::string(kMac); });
    root.Write(kSafeUrlFile, "2001:db8::1 192.0.2.1 www.google.com\n");
    ASSERT_EQ(CreateSafeSearchHashTable(), 0);
    while (!zc::contentfilter::Snapshot(1024).empty()) {
      zc::contentfilter::RemoveOldest(zc::contentfilter::Snapshot(1024).size());
    }
  }
  void TearDown() override {
    Pending().TakeAll();
    SetVerdictSinkForTest(nullptr);
    SetEdgePublisherForTest(nullptr);
    SetMacResolverForTest(nullptr);
    zc::profiles::SetAnswerSink(nullptr);
    zc::profiles::ResetForTest();
  }
  zc::dns::DnsVerdict Ask(const std::string& domain, uint64_t id) {
    zc::dns::VerdictQuery q;
    q.handle = {1, id};
    q.domain = domain;
    q.qtype = 1;
    auto& in = reinterpret_cast<sockaddr_in&>(q.client);
    in.sin_family = AF_INET;
    inet_pton(AF_INET, "192.168.1.23", &in.sin_addr);
    return GetUrlReputation(q);
  }
  // Feeds every captured loop-back message back as the edge's answer.
  void DeliverAll() {
    std::vector<Published> out;
    {
      std::lock_guard lock(mutex);
      out.swap(published);
    }
    for (const Published& p : out)
      EdgeResponseCallBack(p.payload.data(), static_cast<int>(p.payload.size()));
  }
  static std::vector<uint8_t> Answer(uint64_t seqno, std::vector<uint32_t> categories, uint32_t sec,
                                     const char* app) {
    auto resp = zc::pb::Make<Zun__Edge__EDGEDNSRESP>();
    resp.seqno = seqno;
    resp.n_category_id = categories.size();
    resp.category_id = categories.data();
    resp.sec_category_id = sec;
    resp.app = const_cast<char*>(app);
    return zc::pb::Pack(resp);
  }

  zctest::TempRoot root;
  std::mutex mutex;
  std::vector<std::pair<uint64_t, zc::dns::DnsVerdict>> verdicts;
  std::vector<Published> published;
};

TEST(EdgeDecision, ClassificationRules) {
  StationProfile s;
  s.mac = kMac;
  s.urls.push_back({"white\\.test", kListWhite, UrlPattern::Compile("white\\.test")});
  s.urls.push_back({"black\\.test", kListBlack, UrlPattern::Compile("black\\.test")});
  s.adblock = true;
  s.ad_categories = {{"NA", 20}};
  s.parental_control = 2;
  s.pc_categories = {{"NA", 10}};
  s.apps = {{"Chat", kListWhite}, {"Game", kListBlack}};

  Decision black = DecideAtOnce(&s, false, "black.test");
  EXPECT_EQ(black.decision, kDecisionBlacklist);
  ASSERT_EQ(black.records.size(), 1u);
  EXPECT_EQ(black.records[0].reason, kReasonBlacklist);
  EXPECT_EQ(black.records[0].app_name, "NA");
  EXPECT_EQ(DecideAtOnce(&s, false, "white.test").decision, kDecisionAllowed);
  EXPECT_EQ(DecideAtOnce(&s, false, "other.test").decision, kDecisionPending);
  EXPECT_EQ(DecideAtOnce(nullptr, false, "x.test").decision, kDecisionAllowed);
  EXPECT_EQ(DecideAtOnce(nullptr, true, "x.test").decision, kDecisionPending);
  // Safe search alone is configuration: the lookup must wait for the rewrite.
  StationProfile safeOnly;
  safeOnly.safe_search = true;
  EXPECT_EQ(DecideAtOnce(&safeOnly, false, "www.google.com").decision, kDecisionPending);

  Decision ad = DecideOnAnswer(&s, false, {{20, 10}, 0, "NA"});
  EXPECT_EQ(ad.decision, kDecisionAdblock);
  ASSERT_EQ(ad.records.size(), 1u);
  EXPECT_EQ(ad.records[0].category_id, 20u);
  Decision isec = DecideOnAnswer(&s, true, {{20, 10}, 7, "NA"});
  EXPECT_EQ(isec.decision, kDecisionIsec);
  ASSERT_EQ(isec.records.size(), 2u);
  EXPECT_EQ(isec.records[1].reason, kReasonIsec);
  EXPECT_EQ(isec.records[1].category_id, 7u);
  EXPECT_EQ(DecideOnAnswer(&s, true, {{10}, 7, "chat"}).decision, kDecisionAllowed);
  Decision app = DecideOnAnswer(&s, false, {{10}, 0, "GAME"});
  EXPECT_EQ(app.decision, kDecisionApp);
  EXPECT_EQ(app.records[0].category_id, 10u);
  EXPECT_EQ(DecideOnAnswer(nullptr, true, {{}, 9, "NA"}).decision, kDecisionIsec);
  EXPECT_EQ(DecideOnAnswer(&s, false, {{}, 0, std::string(300, 'a')}).decision, kDecisionAllowed);
}

TEST_F(EdgeTest, BlackListDecidesAtOnceAndIsRecorded) {
  zctest::ProfileBuilder p;
  p.Mac("02-00-00-00-00-01").Url("ads\\.test", kListBlack);
  ASSERT_EQ(UpdateProfile(p.Build()), 0);
  // The client's case does not let a name slip past the list.
  EXPECT_EQ(Ask("ADS.Test", 1).decision, kDecisionBlacklist);
  auto records = zc::contentfilter::Snapshot(10);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].cmac, kMac);
  EXPECT_EQ(records[0].url, "ads.test");
  EXPECT_EQ(records[0].reason, 1);
  EXPECT_EQ(Ask("other.test", 2).decision, kDecisionAllowed);  // nothing else configured
  EXPECT_TRUE(published.empty());
}

TEST_F(EdgeTest, LoopBackAnswerIsTakenOnce) {
  zctest::ProfileBuilder p;
  p.Mac(kMac).Parental(2).Category(10);
  ASSERT_EQ(UpdateProfile(p.Build()), 0);
  ASSERT_EQ(Ask("news.test", 5).decision, zc::dns::kVerdictPending);
  ASSERT_EQ(published.size(), 1u);
  EXPECT_EQ(published[0].subject, "nats.kelp.demo");
  auto sent = zc::pb::Unpack<Zun__Edge__EDGEDNSRESP>(published[0].payload.data(),
                                                     published[0].payload.size());
  ASSERT_TRUE(sent);
  EXPECT_STREQ(sent->app, "Sample");
  EXPECT_EQ(sent->n_category_id, 0u);
  // The same answer delivered twice (two delivery threads, a restart): one verdict.
  std::vector<uint8_t> again = published[0].payload;
  DeliverAll();
  EdgeResponseCallBack(again.data(), static_cast<int>(again.size()));
  ASSERT_EQ(verdicts.size(), 1u);
  EXPECT_EQ(verdicts[0].first, 5u);
  EXPECT_EQ(verdicts[0].second.decision, kDecisionAllowed);
  EXPECT_EQ(Pending().size(), 0u);
}

TEST_F(EdgeTest, CategoryAnswerBlocks) {
  zctest::ProfileBuilder p;
  p.Mac(kMac).Parental(2).Category(10);
  ASSERT_EQ(UpdateProfile(p.Build()), 0);
  ASSERT_EQ(Ask("adult.test", 6).decision, zc::dns::kVerdictPending);
  auto sent = zc::pb::Unpack<Zun__Edge__EDGEDNSRESP>(published[0].payload.data(),
                                                     published[0].payload.size());
  std::vector<uint8_t> answer = Answer(sent->seqno, {10}, 0, "NA");
  EdgeResponseCallBack(answer.data(), static_cast<int>(answer.size()));
  ASSERT_EQ(verdicts.size(), 1u);
  EXPECT_EQ(verdicts[0].second.decision, kDecisionParental);
  auto records = zc::contentfilter::Snapshot(10);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].reason, 3);
  EXPECT_EQ(records[0].category_id, 10u);
}

TEST_F(EdgeTest, SafeSearchOnlyProfileRewritesSearchHost) {
  zctest::ProfileBuilder p;
  p.Mac(kMac).SafeSearch(true);
  ASSERT_EQ(UpdateProfile(p.Build()), 0);
  ASSERT_EQ(Ask("WWW.Google.com", 7).decision, zc::dns::kVerdictPending);
  DeliverAll();
  ASSERT_EQ(verdicts.size(), 1u);
  EXPECT_EQ(verdicts[0].second.decision, kDecisionAllowed);
  in_addr expected{};
  inet_pton(AF_INET, "192.0.2.1", &expected);
  EXPECT_EQ(verdicts[0].second.safe_ipv4, expected.s_addr);
}

TEST_F(EdgeTest, InactiveEdgeAnswersEveryHeldLookup) {
  zctest::ProfileBuilder p;
  p.Mac(kMac).Adblock(true).Category(20);
  ASSERT_EQ(UpdateProfile(p.Build()), 0);
  for (uint64_t id = 1; id <= 3; ++id)
    ASSERT_EQ(Ask("a.test", id).decision, zc::dns::kVerdictPending);
  uint8_t empty = 0;
  EdgeResponseCallBack(&empty, 0);  // no responders
  EXPECT_FALSE(EdgeActive());
  EXPECT_TRUE(verdicts.empty());
  // The next lookup marks the edge active again; the three held ones are answered (fail-open).
  EXPECT_EQ(Ask("b.test", 4).decision, zc::dns::kVerdictPending);
  EXPECT_TRUE(EdgeActive());
  ASSERT_EQ(verdicts.size(), 3u);
  for (auto& [id, v] : verdicts) EXPECT_EQ(v.decision, kDecisionAllowed);
  EXPECT_EQ(Pending().size(), 1u);
}

TEST_F(EdgeTest, SilentEdgeFailsOpenAndCapsPerClient) {
  zctest::ProfileBuilder p;
  p.Mac(kMac).Adblock(true).Category(20);
  ASSERT_EQ(UpdateProfile(p.Build()), 0);
  size_t pending = 0, allowed = 0;
  for (uint64_t id = 1; id <= 300; ++id) {
    int d = Ask("held" + std::to_string(id) + ".test", id).decision;
    (d == zc::dns::kVerdictPending ? pending : allowed)++;
  }
  EXPECT_EQ(pending, kMaxPendingPerClient);
  EXPECT_EQ(allowed, 300 - kMaxPendingPerClient);
  // The profile goes while its lookups are held: they keep the detached record.
  char* macs[] = {const_cast<char*>(kMac)};
  auto del = zc::pb::Make<Zun__Config__DNSPROFILEDEL>();
  del.transid = const_cast<char*>("d");
  del.n_client_mac = 1;
  del.client_mac = macs;
  ASSERT_EQ(DeleteProfile(&del), 0);
  EXPECT_EQ(ExpireLookups(SteadyClock::now()), 0u);  // not yet
  uint64_t before = TimedOutLookups();
  EXPECT_EQ(ExpireLookups(SteadyClock::now() + std::chrono::seconds(60)), kMaxPendingPerClient);
  EXPECT_EQ(TimedOutLookups() - before, kMaxPendingPerClient);
  ASSERT_EQ(verdicts.size(), kMaxPendingPerClient);
  for (auto& [id, v] : verdicts) EXPECT_EQ(v.decision, kDecisionAllowed);
  // Late answers for expired lookups are dropped.
  DeliverAll();
  EXPECT_EQ(verdicts.size(), kMaxPendingPerClient);
}

TEST_F(EdgeTest, MalformedAnswersAreDropped) {
  zctest::ProfileBuilder p;
  p.Mac(kMac).Adblock(true).Category(20);
  ASSERT_EQ(UpdateProfile(p.Build()), 0);
  ASSERT_EQ(Ask("a.test", 1).decision, zc::dns::kVerdictPending);
  const uint8_t garbage[] = {0x0a, 0xff, 0xff, 0x12, 0x00};
  EdgeResponseCallBack(garbage, sizeof garbage);
  EdgeResponseCallBack(nullptr, 0);
  std::vector<uint8_t> health = Answer(0, {20}, 0, "NA");
  EdgeResponseCallBack(health.data(), static_cast<int>(health.size()));
  EXPECT_TRUE(verdicts.empty());
  EXPECT_EQ(Pending().size(), 1u);
  EXPECT_TRUE(EdgeActive());
}

// Profile updates, deletions, classifications and dumps at once: run under the sanitizers (and
// the thread sanitizer build) this is where a station read outside ProfileLock would show.
TEST_F(EdgeTest, ConcurrentUpdatesAnswersAndDumps) {
  std::atomic<bool> stop{false};
  std::thread updater([&] {
    for (int i = 0; !stop; ++i) {
      zctest::ProfileBuilder p("u" + std::to_string(i));
      p.Mac(kMac).Adblock(i % 2).Category(20).Url("x" + std::to_string(i % 7) + "\\.test",
                                                  i % 3 ? kListBlack : kListDelete);
      UpdateProfile(p.Build());
      if (i % 5 == 0) {
        char* macs[] = {const_cast<char*>(kMac)};
        auto del = zc::pb::Make<Zun__Config__DNSPROFILEDEL>();
        del.transid = const_cast<char*>("d");
        del.n_client_mac = 1;
        del.client_mac = macs;
        DeleteProfile(&del);
      }
    }
  });
  std::thread dumper([&] {
    while (!stop) DumpAllProfile();
  });
  for (uint64_t id = 1; id <= 400; ++id) {
    Ask("x" + std::to_string(id % 7) + ".test", id);
    if (id % 8 == 0) DeliverAll();
  }
  stop = true;
  updater.join();
  dumper.join();
  DeliverAll();
  ExpireLookups(SteadyClock::now() + std::chrono::seconds(60));
  EXPECT_EQ(Pending().size(), 0u);
}

TEST(EdgeRequestsTable, ExtractIsOneStepAndCapsHold) {
  EdgeRequests table(5);
  EdgeRequest r;
  r.mac = kMac;
  auto first = table.Insert(r);
  ASSERT_TRUE(first);
  EXPECT_EQ(*first, 5u);
  EXPECT_TRUE(table.Extract(5));
  EXPECT_FALSE(table.Extract(5));
  EXPECT_EQ(table.PendingFor(kMac), 0u);
  for (size_t i = 0; i < kMaxPendingLookups; ++i) {
    EdgeRequest other;
    other.mac = "client" + std::to_string(i % 16);
    ASSERT_TRUE(table.Insert(other));
  }
  EXPECT_FALSE(table.Insert(r));
  EdgeRequest gen2;
  gen2.handle.generation = 2;
  EXPECT_EQ(table.Purge(0).size(), kMaxPendingLookups);
  EXPECT_EQ(table.size(), 0u);
}

// Where the kernel refuses SIOCGARP itself, the client's MAC comes from /proc/net/arp: the
// whole address on the LAN bridge, complete entries only.
TEST(ClientMac, ArpTableTextByWholeAddressOnTheBridge) {
  const std::string table =
      "IP address       HW type     Flags       HW address            Mask     Device\n"
      "192.168.1.230    0x1         0x2         02:00:00:00:00:99     *        br0\n"
      "192.168.1.23     0x1         0x2         02:00:00:00:00:01     *        eth0\n"
      "192.168.1.23     0x1         0x2         02:AA:00:00:00:01     *        br0\n"
      "192.168.1.24     0x1         0x0         00:00:00:00:00:00     *        br0\n";
  EXPECT_EQ(ArpTableMac(table, "192.168.1.23", "br0"), "02:aa:00:00:00:01");
  EXPECT_EQ(ArpTableMac(table, "192.168.1.24", "br0"), kUnknownMac);  // incomplete
  EXPECT_EQ(ArpTableMac(table, "192.168.1.2", "br0"), kUnknownMac);
  EXPECT_EQ(ArpTableMac("", "192.168.1.23", "br0"), kUnknownMac);
  EXPECT_EQ(ArpTableMac("heading\n192.168.1.23 0x1 0x2\n", "192.168.1.23", "br0"), kUnknownMac);
}

}  // namespace
