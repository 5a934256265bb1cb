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

}  // namespace
}  // namespace dnspeer
