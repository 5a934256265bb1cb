// The cache in zuncore-dns, seen from dig: stale answers with the upstream gone, refreshes that
// keep an answer warm, the cache file surviving SIGKILL, and a planted link at the file's path.
// Everything runs in the test's private network namespace; periods run on the time scale.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "dns/cache/cache_file.h"
#include "dns_peers/peer_support.h"
#include "support/requires.h"

namespace dnspeer {
namespace {

namespace fs = std::filesystem;

struct DigAnswer {
  std::string data;  // first answer record's data ("" when none)
  int ttl = -1;
};

class CachePeers : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InPrivateNetwork()) ZC_MISSING() << "no private network namespace";
    if (!HaveProgram("unbound") || !HaveProgram("dig")) ZC_MISSING() << "unbound or dig missing";
    char tmpl[] = "/tmp/zc-cache-peers-XXXXXX";
    dir_ = mkdtemp(tmpl);
    port_ = FreePort();
  }
  void TearDown() override {
    dns_.Stop();
    unsetenv("ZUNCORE_TIME_SCALE");
    if (!dir_.empty()) RunProgram({"rm", "-rf", dir_});
  }

  std::string Conf(uint16_t upstream, const std::string& more) {
    return "bind 127.0.0.1:" + std::to_string(port_) +
           "\nserver 127.0.0.1:" + std::to_string(upstream) + "\nspeed-check-mode none\n" + more;
  }
  // zuncore-dns in its own process under the test root, with the given time scale.
  bool StartDns(const std::string& conf, double scale) {
    root_.Write("/tmp/zundns.conf", conf);
    setenv("ZUNCORE_TIME_SCALE", std::to_string(scale).c_str(), 1);
    std::string bin = BuildDir() + "/src/dns/standalone/zuncore-dns";
    if (!dns_.Start({bin, "-c", "/tmp/zundns.conf"}, dir_ + "/zuncore-dns.log")) return false;
    // The router's own name is answered locally and never cached.
    return WaitForDns("127.0.0.1", port_, "zundns");
  }
  void KillDns() {
    kill(dns_.pid(), SIGKILL);
    dns_.Stop();  // reaps it
  }
  DigAnswer Dig(const std::string& name, const std::string& type = "A") {
    RunResult r = RunProgram({"dig", "@127.0.0.1", "-p", std::to_string(port_), "+tries=1",
                              "+time=1", "+noall", "+answer", name, type});
    std::istringstream in(r.output);
    std::string owner, klass, rtype;
    DigAnswer a;
    if (in >> owner >> a.ttl >> klass >> rtype) std::getline(in >> std::ws, a.data);
    return a;
  }
  static void Sleep(std::chrono::milliseconds d) { std::this_thread::sleep_for(d); }
  // On a fast time scale the engine gives an upstream only milliseconds, which a loaded machine
  // may not keep: ask until answered (a SERVFAIL without an upstream answer is never cached).
  bool Fill(const std::string& name, uint16_t type = DNS_T_A) {
    Reply r;
    for (int i = 0; i < 100 && !(r.ok && r.rcode == 0 && r.ancount > 0); i++) {
      r = QueryUdp("127.0.0.1", port_, name, type);
    }
    return r.ancount > 0;
  }

  zctest::TempRoot root_;
  std::string dir_;
  uint16_t port_ = 0;
  Process dns_;
};

TEST_F(CachePeers, StaleAnswersOutliveTheUpstream) {
  Unbound up;
  ASSERT_TRUE(up.Start(dir_));
  // TTLs of 1 s become the cache's 30 s floor; on the scale 30 s pass in 0.3 s.
  ASSERT_TRUE(StartDns(Conf(up.port(), "rr-ttl 1\nserve-expired yes\n"), 0.01));
  ASSERT_TRUE(Fill("a.test"));
  ASSERT_TRUE(Fill("txt.test", DNS_T_TXT));
  DigAnswer a = Dig("a.test");
  ASSERT_EQ(a.data, "192.0.2.1");
  EXPECT_LE(a.ttl, 30);
  up.Stop();
  Sleep(std::chrono::milliseconds(450));  // 45 s on the scale: expired
  a = Dig("a.test");
  EXPECT_EQ(a.data, "192.0.2.1");
  EXPECT_EQ(a.ttl, 3);  // serve-expired-reply-ttl
  EXPECT_EQ(Dig("txt.test", "TXT").data, "\"hello\"");
  EXPECT_EQ(Dig("never.test").data, "");  // nothing cached, nobody to ask

  // Without stale answers an expired entry is gone.
  dns_.Stop();
  ASSERT_TRUE(StartDns(Conf(up.port(), "rr-ttl 1\nserve-expired no\n"), 0.01));
  EXPECT_EQ(Dig("a.test").data, "");
}

TEST_F(CachePeers, ARefreshReplacesTheEntryWithoutAClient) {
  FaultUpstream up;
  ASSERT_TRUE(up.Start(dir_, "fault", "192.0.2.44", 0));
  // Expired entries not replaced for 40 s are refreshed by the sweep (0.8 s here).
  ASSERT_TRUE(StartDns(Conf(up.port(),
                            "rr-ttl 1\nserve-expired yes\nprefetch-domain yes\n"
                            "serve-expired-prefetch-time 40\n"),
                       0.02));
  ASSERT_TRUE(Fill("warm.test"));
  // An answer for a client subnet is an entry of its own, refreshed with the same subnet.
  QueryOptions subnet;
  subnet.edns = true;
  subnet.ecs = dns_opt_ecs{1, 24, 0, {198, 51, 100}};
  Reply first;
  for (int i = 0; i < 100 && first.ancount == 0; i++) {
    first = QueryUdp("127.0.0.1", port_, "subnet.test", DNS_T_A, subnet);
  }
  ASSERT_GT(first.ancount, 0);
  // (The engine may have sent the query more than once: its retries run on the scale too.)
  Sleep(std::chrono::milliseconds(100));
  int filled = up.QueriesFor("warm.test");
  int subnet_filled = up.QueriesFor("subnet.test");
  // With no client asking, a query reaching the upstream now can only be the refresh.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (up.QueriesFor("warm.test") == filled && std::chrono::steady_clock::now() < deadline) {
    Sleep(std::chrono::milliseconds(20));
  }
  ASSERT_GT(up.QueriesFor("warm.test"), filled);
  // Clients then get the refreshed entry from the cache, with a TTL counted from the refresh.
  // (One asking while the refresh is on its way gets the stale answer, TTL 3: an entry that is
  // there is never a miss when stale answers are on.)
  Reply r;
  deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  do {
    r = QueryUdp("127.0.0.1", port_, "warm.test", DNS_T_A);
  } while ((r.ttls.empty() || r.ttls[0] <= 3) && std::chrono::steady_clock::now() < deadline);
  ASSERT_EQ(r.a, std::vector<std::string>{"192.0.2.44"});
  EXPECT_GT(r.ttls[0], 3);
  EXPECT_LE(r.ttls[0], 30);
  // The subnet's entry was filled a little later, so its refresh may come a sweep later.
  deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (up.QueriesFor("subnet.test") == subnet_filled &&
         std::chrono::steady_clock::now() < deadline) {
    Sleep(std::chrono::milliseconds(20));
  }
  EXPECT_GT(up.QueriesFor("subnet.test"), subnet_filled);
  deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  do {
    r = QueryUdp("127.0.0.1", port_, "subnet.test", DNS_T_A, subnet);
  } while ((r.ttls.empty() || r.ttls[0] <= 3) && std::chrono::steady_clock::now() < deadline);
  EXPECT_GT(r.ttls.empty() ? 0 : r.ttls[0], 3) << "the subnet's entry was not refreshed";
}

TEST_F(CachePeers, TheCacheFileSurvivesSigkill) {
  Unbound up;
  ASSERT_TRUE(up.Start(dir_));
  // Ten minutes between saves become 1.2 s; a TTL of a day stays far away.
  ASSERT_TRUE(StartDns(Conf(up.port(), "rr-ttl 86400\ncache-persist yes\n"), 0.002));
  for (const char* n : {"a.test", "multi.test", "www.test"}) ASSERT_TRUE(Fill(n)) << n;
  ASSERT_TRUE(Fill("txt.test", DNS_T_TXT));
  // A save can come between two of the queries above: wait for one that holds all four.
  std::string file = root_("/tmp/zundns.cache");
  zc::dns::CacheFileHead head{};
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    head = {};
    std::ifstream(file, std::ios::binary).read(reinterpret_cast<char*>(&head), sizeof head);
    if (head.records == 4) break;
    Sleep(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(head.magic1, zc::dns::kCacheFileMagic1);
  ASSERT_EQ(head.records, 4u) << "no periodic save with every entry";
  KillDns();
  up.Stop();

  ASSERT_TRUE(StartDns(Conf(up.port(), "rr-ttl 86400\ncache-persist yes\n"), 0.002));
  DigAnswer a = Dig("a.test");
  EXPECT_EQ(a.data, "192.0.2.1");
  EXPECT_GT(a.ttl, 3);  // fresh from the file, not a stale answer
  EXPECT_EQ(Dig("txt.test", "TXT").data, "\"hello\"");
  EXPECT_EQ(Dig("www.test").data, "a.test.");  // the CNAME answer as it was
  EXPECT_EQ(Dig("never.test").data, "");
}

TEST_F(CachePeers, ALinkAtTheFilePathIsReplacedNotFollowed) {
  Unbound up;
  ASSERT_TRUE(up.Start(dir_));
  std::string victim = dir_ + "/victim";
  std::ofstream(victim) << "precious";
  root_.Write("/tmp/.keep", "");
  fs::create_symlink(victim, root_("/tmp/zundns.cache"));
  ASSERT_TRUE(StartDns(Conf(up.port(), ""), 1.0));
  ASSERT_EQ(Dig("a.test").data, "192.0.2.1");
  dns_.Stop();  // SIGTERM: the engine stops and saves
  std::ifstream in(victim);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "precious");
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(root_("/tmp/zundns.cache"))));
  EXPECT_GT(fs::file_size(root_("/tmp/zundns.cache")), sizeof(zc::dns::CacheFileHead));
}

// Speed checks on (TCP port 80 only, so nothing needs ICMP). Addresses in 192.0.2.0/24 have
// no route in the namespace (every check fails at once); 203.0.113.0/24 is routed to lo without
// being assigned, so checks of it hear nothing and time out: no speed result ever exists.
void RouteSilentNetwork() {
  RunProgram({"ip", "route", "add", "203.0.113.0/24", "dev", "lo"});  // "exists" is fine
}
std::string ProbedConf(uint16_t port, const std::vector<uint16_t>& upstreams) {
  std::string conf = "bind 127.0.0.1:" + std::to_string(port) + "\n";
  for (uint16_t u : upstreams) conf += "server 127.0.0.1:" + std::to_string(u) + "\n";
  return conf + "speed-check-mode tcp:80\ndualstack-ip-selection no\n";
}

TEST_F(CachePeers, ACnameTargetIsAnEntryOfItsOwn) {
  if (!HaveProgram("nsd")) ZC_MISSING() << "nsd missing";
  // An authoritative server gives the CNAME and the records of its in-zone target together.
  Nsd up;
  ASSERT_TRUE(up.Start(dir_, "cn.test",
                       "$ORIGIN cn.test.\n$TTL 300\n@ IN SOA ns admin 1 3600 600 86400 300\n"
                       "@ IN NS ns\nns IN A 127.0.0.1\ncdn IN CNAME edge\n"
                       "edge IN A 192.0.2.55\ncdn2 IN CNAME Edge2\nedge2 IN A 192.0.2.56\n"))
      << "nsd did not start, see " << dir_;
  // The whole upstream answer passed on (no speed checks) and the answer built from the
  // examined records (speed checks on) both leave an entry for the target.
  ASSERT_TRUE(StartDns(Conf(up.port(), ""), 1.0));
  ASSERT_TRUE(Fill("cdn.cn.test"));
  dns_.Stop();
  ASSERT_TRUE(StartDns(ProbedConf(port_, {up.port()}), 1.0));
  Reply via = QueryUdp("127.0.0.1", port_, "cdn2.cn.test", DNS_T_A);
  EXPECT_EQ(via.names, std::vector<std::string>{"edge2.cn.test"});
  EXPECT_EQ(via.a, std::vector<std::string>{"192.0.2.56"});
  up.Stop();
  // Never asked for by name, the targets are answered from the cache with the upstream gone.
  Reply r = QueryUdp("127.0.0.1", port_, "edge2.cn.test", DNS_T_A);
  EXPECT_EQ(r.rcode, 0);
  EXPECT_EQ(r.a, std::vector<std::string>{"192.0.2.56"});
  EXPECT_TRUE(r.names.empty());
  EXPECT_EQ(r.qname, "edge2.cn.test");
  dns_.Stop();
  // (The engine saved its cache at the stop and loads it again.)
  ASSERT_TRUE(StartDns(Conf(up.port(), ""), 1.0));
  EXPECT_EQ(QueryUdp("127.0.0.1", port_, "edge.cn.test", DNS_T_A).a,
            std::vector<std::string>{"192.0.2.55"});
}

TEST_F(CachePeers, AnUpstreamsServfailIsCachedForAMinute) {
  FaultUpstream failing;
  ASSERT_TRUE(failing.Start(dir_, "servfail", "192.0.2.1", 0, {"--rcode", "2"}));
  // A minute is 3 s on the scale.
  ASSERT_TRUE(StartDns(Conf(failing.port(), ""), 0.05));
  Reply r = QueryUdp("127.0.0.1", port_, "broken.test", DNS_T_A);
  ASSERT_EQ(r.rcode, DNS_RC_SERVFAIL);
  int asked = failing.QueriesFor("broken.test");
  ASSERT_GE(asked, 1);
  auto filled = std::chrono::steady_clock::now();
  r = QueryUdp("127.0.0.1", port_, "broken.test", DNS_T_A);
  bool within_minute = std::chrono::steady_clock::now() - filled < std::chrono::milliseconds(2500);
  EXPECT_EQ(r.rcode, DNS_RC_SERVFAIL);
  if (within_minute) {
    EXPECT_EQ(failing.QueriesFor("broken.test"), asked) << "not cached";
  }
  // After the minute the upstream is asked again.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(8);
  while (failing.QueriesFor("broken.test") == asked &&
         std::chrono::steady_clock::now() < deadline) {
    QueryUdp("127.0.0.1", port_, "broken.test", DNS_T_A, {}, std::chrono::milliseconds(300));
    Sleep(std::chrono::milliseconds(100));
  }
  EXPECT_GT(failing.QueriesFor("broken.test"), asked);
  EXPECT_GE(std::chrono::steady_clock::now() - filled, std::chrono::milliseconds(2900));
  dns_.Stop();

  // A SERVFAIL of the engine's own (nobody answered) is not kept: the next query asks again.
  uint16_t silent_port = FreePort();
  std::string log = dir_ + "/silent.queries";
  Process silent;
  silent.Start({BuildDir() + "/tests/peers/fault_upstream", "--port", std::to_string(silent_port),
                "--log", log, "--drop-udp", "--drop-tcp"},
               dir_ + "/silent.log");
  auto asked_for = [&log] {
    std::ifstream in(log);
    std::string line;
    int n = 0;
    while (std::getline(in, line)) n += line.find(" quiet.test.") != std::string::npos;
    return n;
  };
  ASSERT_TRUE(StartDns(Conf(silent_port, ""), 0.05));
  EXPECT_EQ(QueryUdp("127.0.0.1", port_, "quiet.test", DNS_T_A).rcode, DNS_RC_SERVFAIL);
  asked = asked_for();
  EXPECT_GE(asked, 1);
  EXPECT_EQ(QueryUdp("127.0.0.1", port_, "quiet.test", DNS_T_A).rcode, DNS_RC_SERVFAIL);
  EXPECT_GT(asked_for(), asked) << "answered from the cache";
}

TEST_F(CachePeers, ANameWithoutAnAddressIsKeptForRrTtl) {
  FaultUpstream up;
  ASSERT_TRUE(up.Start(dir_, "nodata", "192.0.2.1", 0, {"--nodata"}));
  // rr-ttl 0: the cache's 30 s floor, 1.5 s on this scale (not the reply's 300 s, 15 s here).
  ASSERT_TRUE(StartDns(ProbedConf(port_, {up.port()}), 0.05));
  Reply r = QueryUdp("127.0.0.1", port_, "v6only.test", DNS_T_A);
  ASSERT_EQ(r.rcode, 0);
  EXPECT_EQ(r.ancount, 0);
  EXPECT_TRUE(r.has_soa);
  int asked = up.QueriesFor("v6only.test");
  auto filled = std::chrono::steady_clock::now();
  EXPECT_EQ(QueryUdp("127.0.0.1", port_, "v6only.test", DNS_T_A).ancount, 0);
  if (std::chrono::steady_clock::now() - filled < std::chrono::milliseconds(1200)) {
    EXPECT_EQ(up.QueriesFor("v6only.test"), asked) << "not cached";
  }
  // Once the entry expired, the next client's stale answer sends a refresh upstream.
  auto deadline = filled + std::chrono::seconds(8);
  while (up.QueriesFor("v6only.test") == asked && std::chrono::steady_clock::now() < deadline) {
    QueryUdp("127.0.0.1", port_, "v6only.test", DNS_T_A, {}, std::chrono::milliseconds(300));
    Sleep(std::chrono::milliseconds(100));
  }
  EXPECT_GT(up.QueriesFor("v6only.test"), asked);
  EXPECT_LT(std::chrono::steady_clock::now() - filled, std::chrono::seconds(6));
}

TEST_F(CachePeers, ZeroAddressesNeedTheUpstreamsToAgree) {
  FaultUpstream zero;
  ASSERT_TRUE(zero.Start(dir_, "zero", "0.0.0.0", 0));
  FaultUpstream real;
  ASSERT_TRUE(real.Start(dir_, "real", "203.0.113.7", 0));
  RouteSilentNetwork();
  // The only upstream (a filtering resolver) says 0.0.0.0: that is the answer.
  ASSERT_TRUE(StartDns(ProbedConf(port_, {zero.port()}), 1.0));
  Reply r = QueryUdp("127.0.0.1", port_, "blocked.test", DNS_T_A);
  EXPECT_EQ(r.rcode, 0);
  EXPECT_EQ(r.a, std::vector<std::string>{"0.0.0.0"});
  dns_.Stop();
  // One of two says 0.0.0.0: outvoted, whichever answers first.
  ASSERT_TRUE(StartDns(ProbedConf(port_, {zero.port(), real.port()}), 1.0));
  for (const char* name : {"one.test", "two.test", "three.test"}) {
    r = QueryUdp("127.0.0.1", port_, name, DNS_T_A);
    EXPECT_EQ(r.a, std::vector<std::string>{"203.0.113.7"}) << name;
  }
}

TEST_F(CachePeers, WithoutSpeedResultsTheAgreedOrLatestAddressWins) {
  FaultUpstream first;
  ASSERT_TRUE(first.Start(dir_, "first", "203.0.113.21", 0));
  FaultUpstream second;
  ASSERT_TRUE(second.Start(dir_, "second", "203.0.113.22", 100));
  FaultUpstream third;
  ASSERT_TRUE(third.Start(dir_, "third", "203.0.113.22", 150));
  RouteSilentNetwork();
  // Nobody seen twice: the address that came last.
  ASSERT_TRUE(StartDns(ProbedConf(port_, {first.port(), second.port()}), 1.0));
  Reply r = QueryUdp("127.0.0.1", port_, "latest.test", DNS_T_A);
  EXPECT_EQ(r.a, std::vector<std::string>{"203.0.113.22"});
  ASSERT_FALSE(r.ttls.empty());
  EXPECT_LE(r.ttls[0], 300);
  dns_.Stop();
  // Two upstreams agree on one address: it beats the one that came first.
  ASSERT_TRUE(StartDns(ProbedConf(port_, {first.port(), second.port(), third.port()}), 1.0));
  r = QueryUdp("127.0.0.1", port_, "agreed.test", DNS_T_A);
  EXPECT_EQ(r.a, std::vector<std::string>{"203.0.113.22"});
}

}  // namespace
}  // namespace dnspeer
