// Engine lifecycle and limits: restarts under load with a flat descriptor count, a port still
// held at start, process credentials and signals left alone, TCP caps, clients that vanish with
// replies pending, internal queries.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "dns_peers/peer_support.h"
#include "support/requires.h"
#include "utils/timescale.h"

namespace dnspeer {
namespace {

int OpenFds() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) n++;
    closedir(d);
  }
  return n;
}

class DnsLifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InPrivateNetwork()) ZC_MISSING() << "no private network namespace";
    char tmpl[] = "/tmp/zc-life-XXXXXX";
    dir_ = mkdtemp(tmpl);
    port = FreePort();
  }
  void TearDown() override {
    zc::SetTimeScaleForTest(1.0);
    if (!dir_.empty()) RunProgram({"rm", "-rf", dir_});
  }
  std::string Conf(uint16_t upstream, const std::string& more = "") {
    std::string p = std::to_string(port);
    return "bind 127.0.0.1:" + p + "\nbind-tcp 127.0.0.1:" + p +
           "\nserver 127.0.0.1:" + std::to_string(upstream) + "\nspeed-check-mode none\n" + more;
  }
  std::string dir_;
  uint16_t port = 0;
};

TEST_F(DnsLifecycle, RestartsUnderLoadLeaveNothingBehind) {
  if (!HaveProgram("unbound")) ZC_MISSING() << "unbound is not available";
  Unbound up;
  ASSERT_TRUE(up.Start(dir_));
  Engine e;
  ASSERT_EQ(e.Start(Conf(up.port())), "");
  std::atomic<bool> stop{false};
  std::atomic<int> load_replies{0};
  // Opened before any count is taken, so every count includes it.
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  std::thread load([&] {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; !stop && i < 200000; i++) {
      auto q = BuildQuery("n" + std::to_string(i % 64) + ".test", DNS_T_A);
      sendto(fd, q.data(), q.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
      uint8_t buf[512];
      while (recv(fd, buf, sizeof buf, 0) > 0) load_replies++;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  // Measured while stopped: a running engine's upstream sockets come and go with the load.
  int fds_stopped = -1;
  for (int round = 0; round < 20; round++) {
    e.engine().Stop();
    if (round == 0) fds_stopped = OpenFds();
    EXPECT_EQ(OpenFds(), fds_stopped) << "round " << round;
    std::string error;
    ASSERT_TRUE(e.engine().Start(&error)) << error;
    auto t0 = std::chrono::steady_clock::now();
    Reply r = QueryUdp("127.0.0.1", port, "a.test", DNS_T_A, {}, 1s);
    ASSERT_TRUE(r.ok) << "round " << round;
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    EXPECT_EQ(r.a, std::vector<std::string>{"192.0.2.1"});
  }
  stop = true;
  load.join();
  close(fd);
  EXPECT_GT(load_replies.load(), 0);
}

TEST_F(DnsLifecycle, StartWaitsForAPortStillHeld) {
  zc::SetTimeScaleForTest(0.1);  // the 5 s bind retry becomes 0.5 s
  int holder = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  // Held for good: the start fails and says so.
  Engine held;
  std::string error = held.Start("bind 127.0.0.1:" + std::to_string(port) + "\nserver 192.0.2.1\n");
  EXPECT_NE(error.find("bind service"), std::string::npos) << error;
  EXPECT_FALSE(held.engine().running());
  // Released after 300 ms (a dying resolver): the start waits for it.
  zc::SetTimeScaleForTest(1.0);
  std::thread release([&] {
    std::this_thread::sleep_for(300ms);
    close(holder);
  });
  Engine later;
  EXPECT_EQ(later.Start("bind 127.0.0.1:" + std::to_string(port) + "\nserver 192.0.2.1\n"), "");
  release.join();
  EXPECT_TRUE(later.engine().running());
}

TEST_F(DnsLifecycle, CredentialsAndSignalsStayWithTheProcess) {
  struct sigaction before[4];
  const int signals[4] = {SIGSEGV, SIGINT, SIGTERM, SIGPIPE};
  for (int i = 0; i < 4; i++) sigaction(signals[i], nullptr, &before[i]);
  uid_t euid = geteuid();
  gid_t egid = getegid();
  Engine e;
  ASSERT_EQ(e.Start("bind 127.0.0.1:" + std::to_string(port) +
                    "\nserver 192.0.2.1\nuser nobody\naddress /x.test/192.0.2.9\n"),
            "");
  EXPECT_EQ(QueryUdp("127.0.0.1", port, "x.test", DNS_T_A).a,
            std::vector<std::string>{"192.0.2.9"});
  EXPECT_EQ(geteuid(), euid);
  EXPECT_EQ(getegid(), egid);
  for (int i = 0; i < 4; i++) {
    struct sigaction now;
    sigaction(signals[i], nullptr, &now);
    EXPECT_EQ(now.sa_handler, before[i].sa_handler) << "signal " << signals[i];
  }
}

TEST_F(DnsLifecycle, TcpLimitsKeepUdpAlive) {
  if (!HaveProgram("unbound")) ZC_MISSING() << "unbound is not available";
  Unbound up;
  ASSERT_TRUE(up.Start(dir_));
  Engine e;
  ASSERT_EQ(e.Start(Conf(up.port(), "address /x.test/192.0.2.9\n")), "");
  // 1000 connections that never ask anything: the oldest make room, UDP keeps answering.
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::vector<int> idle;
  for (int i = 0; i < 1000; i++) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);  // in progress is fine
    idle.push_back(fd);
  }
  EXPECT_EQ(QueryUdp("127.0.0.1", port, "x.test", DNS_T_A).a,
            std::vector<std::string>{"192.0.2.9"});
  EXPECT_LE(e.engine().Stats().tcp_clients, 64u);
  for (int fd : idle) close(fd);

  // A client that asks and asks but never reads is cut off.
  int greedy = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int small = 2048;
  setsockopt(greedy, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  ASSERT_EQ(connect(greedy, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  std::vector<uint8_t> stream;
  for (int i = 0; i < 1500; i++) {
    QueryOptions o;
    o.id = static_cast<uint16_t>(i);
    auto q = BuildQuery("big.test", DNS_T_TXT, o);
    stream.push_back(static_cast<uint8_t>(q.size() >> 8));
    stream.push_back(static_cast<uint8_t>(q.size()));
    stream.insert(stream.end(), q.begin(), q.end());
  }
  SendAll(greedy, stream);
  bool cut = false;
  for (int i = 0; i < 100 && !cut; i++) {
    std::this_thread::sleep_for(30ms);
    cut = e.engine().Stats().tcp_clients == 0;
  }
  EXPECT_TRUE(cut) << "a client that never reads keeps its connection";
  close(greedy);
  EXPECT_TRUE(QueryTcp("127.0.0.1", port, "x.test", DNS_T_A).ok);
}

TEST_F(DnsLifecycle, ClientsVanishingWithRepliesPending) {
  FaultUpstream up;
  ASSERT_TRUE(up.Start(dir_, "slow", "192.0.2.44", 100)) << "fault_upstream is not built";
  Engine e;
  ASSERT_EQ(e.Start(Conf(up.port())), "");
  for (int i = 0; i < 200; i++) {
    int fd = ConnectTcp("127.0.0.1", port);
    ASSERT_GE(fd, 0);
    auto q = BuildQuery("gone" + std::to_string(i % 20) + ".test", DNS_T_A);
    std::vector<uint8_t> framed = {static_cast<uint8_t>(q.size() >> 8),
                                   static_cast<uint8_t>(q.size())};
    framed.insert(framed.end(), q.begin(), q.end());
    SendAll(fd, framed);
    if (i % 2) shutdown(fd, SHUT_WR);  // half the clients only stop writing
    close(fd);
  }
  EXPECT_EQ(QueryTcp("127.0.0.1", port, "after.test", DNS_T_A).a,
            std::vector<std::string>{"192.0.2.44"});
  for (int i = 0; i < 100 && e.engine().Stats().tcp_clients + e.engine().Stats().live_requests;
       i++) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(e.engine().Stats().tcp_clients, 0u);
  EXPECT_EQ(e.engine().Stats().live_requests, 0u);

  // A client that half-closes after asking still gets its answer.
  int fd = ConnectTcp("127.0.0.1", port);
  auto q = BuildQuery("half.test", DNS_T_A);
  std::vector<uint8_t> framed = {static_cast<uint8_t>(q.size() >> 8),
                                 static_cast<uint8_t>(q.size())};
  framed.insert(framed.end(), q.begin(), q.end());
  SendAll(fd, framed);
  shutdown(fd, SHUT_WR);
  auto m = ReadFramed(fd, 2s);
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ(ParseReply(*m).a, std::vector<std::string>{"192.0.2.44"});
  close(fd);
}

TEST_F(DnsLifecycle, InternalQueriesRunThePipeline) {
  if (!HaveProgram("unbound")) ZC_MISSING() << "unbound is not available";
  Unbound up;
  ASSERT_TRUE(up.Start(dir_));
  Engine e;
  ASSERT_EQ(e.Start(Conf(up.port(), "address /rule.test/192.0.2.9\n")), "");
  auto ask = [&](const std::string& name, uint16_t qtype) {
    std::promise<std::pair<int, std::string>> p;
    e.engine().Query(name, qtype, [&](int rcode, std::string addr) { p.set_value({rcode, addr}); });
    auto f = p.get_future();
    EXPECT_EQ(f.wait_for(2s), std::future_status::ready);
    return f.get();
  };
  EXPECT_EQ(ask("a.test", DNS_T_A).second, "192.0.2.1");
  EXPECT_EQ(ask("a.test", DNS_T_AAAA).second, "2001:db8::1");
  EXPECT_EQ(ask("rule.test", DNS_T_A).second, "192.0.2.9");
  auto nx = ask("nx.test", DNS_T_A);
  EXPECT_EQ(nx.first, DNS_RC_NXDOMAIN);
  EXPECT_EQ(nx.second, "");
}

// The cache seam sees every lookup, on the thread that makes it.
class LookupThreads : public zc::dns::AnswerCache {
 public:
  bool Lookup(const zc::dns::CacheKey& key, zc::dns::CachedAnswer*) override {
    std::lock_guard lock(mutex_);
    threads_[key.domain].insert(std::this_thread::get_id());
    return false;
  }
  std::set<std::thread::id> For(const std::string& domain) {
    std::lock_guard lock(mutex_);
    return threads_[domain];
  }

 private:
  std::mutex mutex_;
  std::map<std::string, std::set<std::thread::id>> threads_;
};

// An upstream given by host name is resolved through the engine's own pipeline (here by an
// upstream of its own group), on the engine thread where every client's lookups run, and then
// used.
TEST_F(DnsLifecycle, AnUpstreamByHostNameIsResolvedOnTheEngineThread) {
  FaultUpstream resolver, named;
  ASSERT_TRUE(resolver.Start(dir_, "resolver", "127.0.0.1", 0));
  ASSERT_TRUE(named.Start(dir_, "named", "192.0.2.55", 0));
  LookupThreads lookups;
  zc::dns::DnsEngineOptions options;
  options.cache = &lookups;
  Engine e(options);
  std::string p = std::to_string(port);
  ASSERT_EQ(
      e.Start("bind 127.0.0.1:" + p + "\nserver 127.0.0.1:" + std::to_string(resolver.port()) +
              " -group boot -exclude-default-group\nserver upstream.example:" +
              std::to_string(named.port()) +
              "\nnameserver /upstream.example/boot\nspeed-check-mode none\n"),
      "");
  Reply r;
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (std::chrono::steady_clock::now() < deadline) {
    r = QueryUdp("127.0.0.1", port, "via.name.test", DNS_T_A, {}, 500ms);
    if (r.a == std::vector<std::string>{"192.0.2.55"}) break;
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(r.a, std::vector<std::string>{"192.0.2.55"});
  EXPECT_GE(named.QueriesFor("via.name.test"), 1);
  EXPECT_GE(resolver.QueriesFor("upstream.example"), 1);
  std::set<std::thread::id> resolved = lookups.For("upstream.example");
  std::set<std::thread::id> clients = lookups.For("via.name.test");
  ASSERT_EQ(resolved.size(), 1u);
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_EQ(*resolved.begin(), *clients.begin()) << "resolved on another thread than the engine's";
  EXPECT_NE(*resolved.begin(), std::this_thread::get_id());
}

}  // namespace
}  // namespace dnspeer
