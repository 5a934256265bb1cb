// One reply per request, whatever the order of answer, verdict and merging: per-client verdicts
// and safe-search addresses never reach another client, merged waiters with pending verdicts
// still get the address, groups and client subnets keep queries apart.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "dns_peers/peer_support.h"
#include "support/requires.h"

namespace dnspeer {
namespace {

using zc::dns::DnsEngine;
using zc::dns::DnsVerdict;
using zc::dns::VerdictQuery;

// The filter stand-in: decides by the client's address, now or later from its own thread.
class TestVerdicts : public zc::dns::VerdictHook {
 public:
  ~TestVerdicts() override { StopWorker(); }
  DnsEngine* engine = nullptr;
  std::map<std::string, DnsVerdict> by_client;  // decided at once
  std::map<std::string, int> delayed_ms;        // allowed after this delay
  bool random_delays = false;                   // every A query: pending, 0-5 ms

  DnsVerdict Ask(const VerdictQuery& q) override {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(q.client).sin_addr, text, sizeof text);
    asked++;
    auto it = by_client.find(text);
    if (it != by_client.end()) return it->second;
    int delay = -1;
    if (auto d = delayed_ms.find(text); d != delayed_ms.end()) delay = d->second;
    if (random_delays) delay = static_cast<int>(rng() % 6);
    if (delay < 0) return {zc::dns::kVerdictAllowed, 0};
    Schedule(q.handle, std::chrono::milliseconds(delay));
    return {zc::dns::kVerdictPending, 0};
  }

  void Schedule(zc::dns::DnsRequestHandle h, std::chrono::milliseconds delay) {
    std::lock_guard lock(mutex_);
    if (!worker_.joinable()) worker_ = std::thread([this] { Work(); });
    queue_.emplace(std::chrono::steady_clock::now() + delay, h);
    cv_.notify_one();
  }
  void StopWorker() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
      cv_.notify_one();
    }
    if (worker_.joinable()) worker_.join();
  }
  std::atomic<int> asked{0};

 private:
  void Work() {
    std::unique_lock lock(mutex_);
    while (!stop_) {
      if (queue_.empty()) {
        cv_.wait(lock);
        continue;
      }
      auto due = queue_.begin()->first;
      if (std::chrono::steady_clock::now() < due) {
        cv_.wait_until(lock, due);
        continue;
      }
      auto h = queue_.begin()->second;
      queue_.erase(queue_.begin());
      lock.unlock();
      engine->PostVerdict(h, {zc::dns::kVerdictAllowed, 0});  // from another thread, as the edge
      lock.lock();
    }
  }
  std::mt19937 rng{42};
  std::mutex mutex_;
  std::condition_variable cv_;
  std::multimap<std::chrono::steady_clock::time_point, zc::dns::DnsRequestHandle> queue_;
  std::thread worker_;
  bool stop_ = false;
};

class DnsGate : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InPrivateNetwork()) ZC_MISSING() << "no private network namespace";
    char tmpl[] = "/tmp/zc-gate-XXXXXX";
    dir_ = mkdtemp(tmpl);
    port = FreePort();
  }
  void TearDown() override {
    if (!dir_.empty()) RunProgram({"rm", "-rf", dir_});
  }
  std::string Listen(uint16_t p, const std::string& opts = "") {
    return "bind 127.0.0.1:" + std::to_string(p) + " " + opts +
           "\nbind-tcp 127.0.0.1:" + std::to_string(p) + " " + opts + "\n";
  }
  // Several clients ask at the same moment, each from its own loopback address.
  std::map<std::string, Reply> AskTogether(const std::vector<std::string>& sources,
                                           const std::string& name, uint16_t qtype = DNS_T_A,
                                           const std::vector<QueryOptions>& opts = {}) {
    std::vector<std::future<Reply>> f;
    for (size_t i = 0; i < sources.size(); i++) {
      QueryOptions o = i < opts.size() ? opts[i] : QueryOptions{};
      f.push_back(std::async(std::launch::async, [&, i, o] {
        return QueryUdp("127.0.0.1", port, name, qtype, o, 3s, sources[i]);
      }));
    }
    std::map<std::string, Reply> out;
    for (size_t i = 0; i < sources.size(); i++) out[sources[i]] = f[i].get();
    return out;
  }
  std::string dir_;
  uint16_t port = 0;
};

TEST_F(DnsGate, VerdictsAndRewritesStayWithTheirClient) {
  FaultUpstream up;
  ASSERT_TRUE(up.Start(dir_, "slow", "192.0.2.77", 100)) << "fault_upstream is not built";
  TestVerdicts verdicts;
  verdicts.by_client["127.0.0.2"] = {5, 0};  // blocked (parental control)
  verdicts.by_client["127.0.0.4"] = {zc::dns::kVerdictAllowed, htonl(0xC00002C8)};  // safe search
  verdicts.delayed_ms["127.0.0.6"] = 50;
  zc::dns::DnsEngineOptions options;
  options.verdict = &verdicts;
  Engine e(options);
  verdicts.engine = &e.engine();
  ASSERT_EQ(e.Start(Listen(port) + "server 127.0.0.1:" + std::to_string(up.port()) +
                    "\nspeed-check-mode none\n"),
            "");

  // Merged: one upstream query for two clients.
  auto r = AskTogether({"127.0.0.1", "127.0.0.3"}, "merge.test");
  EXPECT_EQ(r["127.0.0.1"].a, std::vector<std::string>{"192.0.2.77"});
  EXPECT_EQ(r["127.0.0.3"].a, std::vector<std::string>{"192.0.2.77"});
  EXPECT_EQ(up.QueriesFor("merge.test"), 1);
  EXPECT_GE(e.engine().Stats().merged, 1u);

  // A blocked client and an allowed one ask the same name at once.
  r = AskTogether({"127.0.0.2", "127.0.0.3"}, "blocked-and-not.test");
  EXPECT_EQ(r["127.0.0.2"].a, std::vector<std::string>{"127.0.0.1"});
  EXPECT_EQ(r["127.0.0.3"].a, std::vector<std::string>{"192.0.2.77"});
  // Safe search for one client, none for the other.
  r = AskTogether({"127.0.0.4", "127.0.0.5"}, "search.test");
  EXPECT_EQ(r["127.0.0.4"].a, std::vector<std::string>{"192.0.2.200"});
  EXPECT_EQ(r["127.0.0.5"].a, std::vector<std::string>{"192.0.2.77"});
  // A merged waiter whose verdict comes 50 ms later still gets the address.
  r = AskTogether({"127.0.0.6", "127.0.0.7"}, "late-verdict.test");
  EXPECT_EQ(r["127.0.0.6"].a, std::vector<std::string>{"192.0.2.77"});
  EXPECT_EQ(r["127.0.0.7"].a, std::vector<std::string>{"192.0.2.77"});
  // The block replaces A answers only: AAAA is not held for a verdict nor rewritten.
  Reply aaaa = QueryUdp("127.0.0.1", port, "blocked-and-not.test", DNS_T_AAAA, {}, 3s, "127.0.0.2");
  EXPECT_TRUE(aaaa.ok);
  EXPECT_EQ(aaaa.rcode, 0);
}

TEST_F(DnsGate, GroupsAndClientSubnetsAreNeverMerged) {
  FaultUpstream one, two;
  ASSERT_TRUE(one.Start(dir_, "one", "192.0.2.101", 100));
  ASSERT_TRUE(two.Start(dir_, "two", "192.0.2.102", 100));
  uint16_t port2 = FreePort();
  Engine e;
  ASSERT_EQ(e.Start(Listen(port, "-group one") + Listen(port2, "-group two") +
                    "server 127.0.0.1:" + std::to_string(one.port()) +
                    " -group one\nserver 127.0.0.1:" + std::to_string(two.port()) +
                    " -group two -exclude-default-group\nspeed-check-mode none\n"),
            "");
  auto a = std::async(std::launch::async,
                      [&] { return QueryUdp("127.0.0.1", port, "g.test", DNS_T_A); });
  auto b = std::async(std::launch::async,
                      [&] { return QueryUdp("127.0.0.1", port2, "g.test", DNS_T_A); });
  EXPECT_EQ(a.get().a, std::vector<std::string>{"192.0.2.101"});
  EXPECT_EQ(b.get().a, std::vector<std::string>{"192.0.2.102"});

  // Two client subnets: two upstream queries; each client sees its own subnet echoed.
  QueryOptions s1, s2;
  dns_opt_ecs e1, e2;
  e1.family = e2.family = 1;
  e1.source_prefix = e2.source_prefix = 24;
  e1.addr[0] = 198, e1.addr[1] = 51, e1.addr[2] = 100;
  e2.addr[0] = 203, e2.addr[1] = 0, e2.addr[2] = 113;
  s1.ecs = e1;
  s2.ecs = e2;
  auto r = AskTogether({"127.0.0.8", "127.0.0.9"}, "subnet.test", DNS_T_A, {s1, s2});
  ASSERT_TRUE(r["127.0.0.8"].ecs.has_value());
  ASSERT_TRUE(r["127.0.0.9"].ecs.has_value());
  EXPECT_EQ(r["127.0.0.8"].ecs->addr[0], 198);
  EXPECT_EQ(r["127.0.0.9"].ecs->addr[0], 203);
  EXPECT_EQ(one.QueriesFor("subnet.test"), 2);
  // No subnet asked: none echoed.
  QueryOptions plain;
  plain.edns = true;
  Reply p = QueryUdp("127.0.0.1", port, "subnet.test", DNS_T_A, plain);
  EXPECT_TRUE(p.has_opt);
  EXPECT_FALSE(p.ecs.has_value());
}

// Bits after a client subnet's prefix are not part of it: two clients of the same /20 that set
// different stray bits share one upstream query.
TEST_F(DnsGate, ClientSubnetsAreCutToTheirPrefix) {
  FaultUpstream one;
  ASSERT_TRUE(one.Start(dir_, "one", "192.0.2.101", 150));
  Engine e;
  ASSERT_EQ(e.Start(Listen(port) + "server 127.0.0.1:" + std::to_string(one.port()) +
                    "\nspeed-check-mode none\n"),
            "");
  QueryOptions s1, s2;
  dns_opt_ecs e1, e2;
  e1.family = e2.family = 1;
  e1.source_prefix = e2.source_prefix = 20;
  e1.addr[0] = e2.addr[0] = 198;
  e1.addr[1] = e2.addr[1] = 51;
  e1.addr[2] = 100;  // 198.51.96.0/20 with stray bits 0x04
  e2.addr[2] = 97;   // the same /20 with stray bits 0x01
  s1.ecs = e1;
  s2.ecs = e2;
  auto r = AskTogether({"127.0.0.8", "127.0.0.9"}, "stray.test", DNS_T_A, {s1, s2});
  for (const char* client : {"127.0.0.8", "127.0.0.9"}) {
    EXPECT_EQ(r[client].a, std::vector<std::string>{"192.0.2.101"}) << client;
    ASSERT_TRUE(r[client].ecs.has_value()) << client;
    EXPECT_EQ(r[client].ecs->source_prefix, 20) << client;
  }
  EXPECT_EQ(one.QueriesFor("stray.test"), 1);
}

TEST_F(DnsGate, EveryQueryGetsExactlyOneReply) {
  FaultUpstream up;
  ASSERT_TRUE(up.Start(dir_, "fast", "192.0.2.50", 2));
  TestVerdicts verdicts;
  verdicts.random_delays = true;
  zc::dns::DnsEngineOptions options;
  options.verdict = &verdicts;
  Engine e(options);
  verdicts.engine = &e.engine();
  ASSERT_EQ(e.Start(Listen(port) + "server 127.0.0.1:" + std::to_string(up.port()) +
                    "\nspeed-check-mode none\n"),
            "");

  // 8 UDP clients x 250 queries over 40 names (many merge), A and AAAA mixed.
  constexpr int kClients = 8;
  constexpr int kPerClient = 250;
  std::vector<std::future<std::pair<int, int>>> clients;
  for (int c = 0; c < kClients; c++) {
    clients.push_back(std::async(std::launch::async, [&, c] {
      int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(port);
      to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      std::map<uint16_t, int> replies;
      int bad = 0;
      int sent = 0;
      constexpr int kWindow = 20;  // queries in flight per client
      auto deadline = std::chrono::steady_clock::now() + 5s;
      while (std::chrono::steady_clock::now() < deadline) {
        while (sent < kPerClient && sent - static_cast<int>(replies.size()) < kWindow) {
          QueryOptions o;
          o.id = static_cast<uint16_t>(sent + 1);
          uint16_t qtype = sent % 3 == 0 ? DNS_T_AAAA : DNS_T_A;
          auto q = BuildQuery("n" + std::to_string((sent * 7 + c) % 40) + ".stress.test", qtype, o);
          sendto(fd, q.data(), q.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
          sent++;
        }
        // Once every ID is answered, wait a little longer to catch duplicates.
        bool all = static_cast<int>(replies.size()) == kPerClient;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, all ? 150 : 1000) <= 0) {
          if (all) break;
          continue;
        }
        uint8_t buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        Reply r = ParseReply(std::vector<uint8_t>(buf, buf + n));
        replies[r.id]++;
        bool is_a = (r.id - 1) % 3 != 0;
        if (is_a && r.a != std::vector<std::string>{"192.0.2.50"}) bad++;
      }
      close(fd);
      int duplicates = 0;
      for (auto& [id, count] : replies) duplicates += count - 1;
      return std::make_pair(static_cast<int>(replies.size()), duplicates + bad * 1000);
    }));
  }
  // A TCP client with 100 pipelined queries gets exactly 100 messages.
  int fd = ConnectTcp("127.0.0.1", port);
  ASSERT_GE(fd, 0);
  std::vector<uint8_t> stream;
  for (int i = 0; i < 100; i++) {
    QueryOptions o;
    o.id = static_cast<uint16_t>(i);
    auto q = BuildQuery("t" + std::to_string(i % 10) + ".stress.test", DNS_T_A, o);
    stream.push_back(static_cast<uint8_t>(q.size() >> 8));
    stream.push_back(static_cast<uint8_t>(q.size()));
    stream.insert(stream.end(), q.begin(), q.end());
  }
  ASSERT_TRUE(SendAll(fd, stream));
  std::set<uint16_t> tcp_ids;
  int tcp_messages = 0;
  while (auto m = ReadFramed(fd, tcp_messages == 100 ? 200ms : 3s)) {
    tcp_messages++;
    tcp_ids.insert(ParseReply(*m).id);
  }
  close(fd);
  EXPECT_EQ(tcp_messages, 100);
  EXPECT_EQ(tcp_ids.size(), 100u);
  for (auto& f : clients) {
    auto [answered, problems] = f.get();
    EXPECT_EQ(answered, kPerClient);
    EXPECT_EQ(problems, 0) << "duplicates, or A replies without the address (x1000)";
  }
  EXPECT_EQ(e.engine().Stats().live_requests, 0u);
}

}  // namespace
}  // namespace dnspeer
