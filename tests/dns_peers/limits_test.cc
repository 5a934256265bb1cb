// Two rows of the engine's limits seen from outside: an upstream given by host name is resolved
// through the engine itself, on its own thread; and at the cap of live requests later queries
// get a prompt SERVFAIL, and the engine answers normally once the requests in flight are gone.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "dns_peers/peer_support.h"
#include "support/requires.h"
#include "support/wait.h"
#include "utils/timescale.h"

namespace dnspeer {
namespace {

using zc::dns::AnswerCache;
using zc::dns::CachedAnswer;
using zc::dns::CacheKey;

class LimitsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InPrivateNetwork()) ZC_MISSING() << "no private network namespace";
    char tmpl[] = "/tmp/zc-limits-XXXXXX";
    dir_ = mkdtemp(tmpl);
    port_ = FreePort();
  }
  void TearDown() override {
    zc::SetTimeScaleForTest(1.0);
    if (!dir_.empty()) RunProgram({"rm", "-rf", dir_});
  }
  std::string dir_;
  uint16_t port_ = 0;
};

// Remembers the thread each lookup of a name ran on; caches nothing.
class LookupThreads : public AnswerCache {
 public:
  bool Lookup(const CacheKey& key, CachedAnswer*) override {
    std::lock_guard lock(mutex_);
    threads_[key.domain].insert(std::this_thread::get_id());
    return false;
  }
  std::set<std::thread::id> ThreadsOf(const std::string& name) {
    std::lock_guard lock(mutex_);
    return threads_[name];
  }

 private:
  std::mutex mutex_;
  std::map<std::string, std::set<std::thread::id>> threads_;
};

TEST_F(LimitsTest, AnUpstreamGivenByNameIsResolvedOnTheEngineThread) {
  FaultUpstream resolver;  // answers every A query with 127.0.0.1
  ASSERT_TRUE(resolver.Start(dir_, "resolver", "127.0.0.1", 0));
  FaultUpstream named;  // reached only through its name
  ASSERT_TRUE(named.Start(dir_, "named", "192.0.2.77", 0));
  LookupThreads cache;
  zc::dns::DnsEngineOptions options;
  options.cache = &cache;
  Engine e(options);
  ASSERT_EQ(e.Start("bind 127.0.0.1:" + std::to_string(port_) +
                    "\nserver 127.0.0.1:" + std::to_string(resolver.port()) +
                    "\nserver up.test:" + std::to_string(named.port()) +
                    " -group byname -exclude-default-group\n"
                    "nameserver /x.test/byname\nspeed-check-mode none\n"),
            "");
  // Queries for x.test reach the named upstream once its name resolved.
  Reply r;
  ASSERT_TRUE(zctest::WaitFor(
      [&] {
        r = QueryUdp("127.0.0.1", port_, "x.test", DNS_T_A, {}, std::chrono::milliseconds(500));
        return r.a == std::vector<std::string>{"192.0.2.77"};
      },
      std::chrono::seconds(10), std::chrono::milliseconds(50)))
      << "x.test never answered by the named upstream";
  EXPECT_GE(resolver.QueriesFor("up.test"), 1);
  EXPECT_GE(named.QueriesFor("x.test"), 1);
  // (Until then the group had no usable server and its queries went to the default group.)
  int before = resolver.QueriesFor("x.test");
  EXPECT_EQ(QueryUdp("127.0.0.1", port_, "x.test", DNS_T_A).a,
            std::vector<std::string>{"192.0.2.77"});
  EXPECT_EQ(resolver.QueriesFor("x.test"), before);

  // The name went through the pipeline (its cache lookup) on the engine thread alone.
  std::promise<std::thread::id> engine_thread;
  e.engine().Post([&] { engine_thread.set_value(std::this_thread::get_id()); });
  std::thread::id engine_id = engine_thread.get_future().get();
  std::set<std::thread::id> seen = cache.ThreadsOf("up.test");
  EXPECT_EQ(seen, std::set<std::thread::id>{engine_id});
  EXPECT_NE(engine_id, std::this_thread::get_id());
}

TEST_F(LimitsTest, TheReplyTtlCeilingHoldsForLocalAnswersToo) {
  Engine e;
  ASSERT_EQ(e.Start("bind 127.0.0.1:" + std::to_string(port_) +
                    "\nserver 127.0.0.1:" + std::to_string(FreePort()) +
                    "\nrr-ttl-reply-max 20\naddress /own.test/192.0.2.9\n"),
            "");
  Reply a = QueryUdp("127.0.0.1", port_, "own.test", DNS_T_A);
  EXPECT_EQ(a.a, std::vector<std::string>{"192.0.2.9"});
  EXPECT_EQ(a.ttls, std::vector<int>{20});  // 600 without the ceiling
  Reply ptr = QueryUdp("127.0.0.1", port_, "0.0.0.0.in-addr.arpa", DNS_T_PTR);
  EXPECT_EQ(ptr.ancount, 1);
  EXPECT_EQ(ptr.ttls, std::vector<int>{20});  // 30 without it
}

// "Name:\tv1\tv2..." of /proc/<pid>/status, the values.
std::string StatusLine(pid_t pid, const std::string& name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(name + ":", 0) != 0) continue;
    line = line.substr(name.size() + 2);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
  }
  return {};
}

TEST_F(LimitsTest, TheStandaloneEngineRunsAsTheConfiguredUser) {
  if (geteuid() != 0) ZC_MISSING() << "changing the user needs root";
  passwd* nobody = getpwnam("nobody");
  if (!nobody) ZC_MISSING() << "no user nobody";
  std::string uid = std::to_string(nobody->pw_uid);
  std::string gid = std::to_string(nobody->pw_gid);
  zctest::TempRoot root;
  // The file is read again once the process is nobody (a router's /tmp is readable by all).
  root.Write("/tmp/zundns.conf",
             "bind 127.0.0.1:53\nserver 127.0.0.1:" + std::to_string(FreePort()) +
                 "\nuser nobody\naddress /x.test/192.0.2.9\n");
  chmod(root.path().c_str(), 0755);
  chmod(root("/tmp").c_str(), 0755);
  Process dns;
  ASSERT_TRUE(dns.Start({BuildDir() + "/src/dns/standalone/zuncore-dns", "-c", "/tmp/zundns.conf"},
                        dir_ + "/user.log"));
  // Port 53 is bound after the switch: the capability to bind it was kept.
  ASSERT_TRUE(WaitForDns("127.0.0.1", 53, "x.test")) << "see " << dir_ << "/user.log";
  EXPECT_EQ(QueryUdp("127.0.0.1", 53, "x.test", DNS_T_A).a, std::vector<std::string>{"192.0.2.9"});
  EXPECT_EQ(StatusLine(dns.pid(), "Uid"), uid + "\t" + uid + "\t" + uid + "\t" + uid);
  EXPECT_EQ(StatusLine(dns.pid(), "Gid"), gid + "\t" + gid + "\t" + gid + "\t" + gid);
  EXPECT_EQ(StatusLine(dns.pid(), "Groups"), gid);
  // Exactly the resolver's capabilities: bind service (10), net admin (12), raw sockets (13).
  EXPECT_EQ(std::stoull(StatusLine(dns.pid(), "CapEff"), nullptr, 16), 0x3400u);
  EXPECT_EQ(std::stoull(StatusLine(dns.pid(), "CapPrm"), nullptr, 16), 0x3400u);
  dns.Stop();

  // An unknown user stops the start instead of leaving the engine running as root.
  root.Write("/tmp/zundns.conf", "bind 127.0.0.1:53\nuser no-such-user-zc\n");
  Process refused;
  ASSERT_TRUE(
      refused.Start({BuildDir() + "/src/dns/standalone/zuncore-dns", "-c", "/tmp/zundns.conf"},
                    dir_ + "/refused.log"));
  EXPECT_TRUE(zctest::WaitFor([&] { return !refused.Running(); }));
  std::ifstream log(dir_ + "/refused.log");
  std::string text((std::istreambuf_iterator<char>(log)), {});
  EXPECT_NE(text.find("unknown user no-such-user-zc"), std::string::npos) << text;
}

// A UDP socket with room for every reply of a burst.
int ClientSocket() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int size = 8 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
  return fd;
}

void SendQuery(int fd, uint16_t port, const std::string& name, uint16_t id) {
  QueryOptions o;
  o.id = id;
  std::vector<uint8_t> q = BuildQuery(name, DNS_T_A, o);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  sendto(fd, q.data(), q.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

// Replies waiting on the socket, by ID.
void Drain(int fd, std::map<uint16_t, int>* rcodes) {
  uint8_t buf[4096];
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 12) return;
    (*rcodes)[static_cast<uint16_t>(buf[0] << 8 | buf[1])] = buf[3] & 0x0F;
  }
}

TEST_F(LimitsTest, AtTheLiveRequestCapLaterQueriesFailAtOnceAndTheEngineRecovers) {
  // An upstream that never answers keeps every forwarded request alive for its whole retry
  // budget (about 2 s, 4.4 s on this scale) while the cap is reached.
  uint16_t silent_port = FreePort();
  std::string out = dir_ + "/silent.out";
  Process silent;
  ASSERT_TRUE(silent.Start({BuildDir() + "/tests/peers/fault_upstream", "--port",
                            std::to_string(silent_port), "--drop-udp", "--drop-tcp"},
                           out));
  ASSERT_TRUE(zctest::WaitFor([&] {
    std::ifstream in(out);
    std::string line;
    return std::getline(in, line) && line == "ready";
  }));
  zc::SetTimeScaleForTest(2.0);
  Engine e;
  ASSERT_EQ(e.Start("bind 127.0.0.1:" + std::to_string(port_) +
                    "\nserver 127.0.0.1:" + std::to_string(silent_port) +
                    "\nspeed-check-mode none\naddress /ok.test/192.0.2.99\n"),
            "");
  zc::dns::DnsEngine& engine = e.engine();
  int fd = ClientSocket();
  ASSERT_GE(fd, 0);
  std::map<uint16_t, int> rcodes;
  // Fill in batches the engine takes in before the next one, so the kernel drops nothing.
  constexpr size_t kCap = 4096;
  uint64_t base = engine.Stats().queries;
  size_t sent = 0;
  while (engine.Stats().live_requests < kCap && sent < kCap + 512) {
    for (int i = 0; i < 64; i++, sent++) {
      SendQuery(fd, port_, "n" + std::to_string(sent) + ".cap.test", static_cast<uint16_t>(sent));
    }
    ASSERT_TRUE(zctest::WaitFor([&] { return engine.Stats().queries >= base + sent; },
                                std::chrono::seconds(3)))
        << "the engine did not take in the burst";
    Drain(fd, &rcodes);
  }
  ASSERT_GE(engine.Stats().live_requests, kCap) << "the cap was not reached: " << sent;
  // Requests past the cap are answered SERVFAIL at once, a local answer included.
  uint64_t overload_before = engine.Stats().overload;
  auto t0 = std::chrono::steady_clock::now();
  constexpr uint16_t kOverBase = 60000;
  for (uint16_t i = 0; i < 100; i++) {
    SendQuery(fd, port_, "over" + std::to_string(i) + ".cap.test", kOverBase + i);
  }
  Reply local = QueryUdp("127.0.0.1", port_, "ok.test", DNS_T_A);
  EXPECT_EQ(local.rcode, DNS_RC_SERVFAIL);
  EXPECT_TRUE(zctest::WaitFor(
      [&] {
        Drain(fd, &rcodes);
        int n = 0;
        for (uint16_t i = 0; i < 100; i++) n += rcodes.count(kOverBase + i);
        return n == 100;
      },
      std::chrono::seconds(2)));
  // Long before any request in flight could end (its budget is 4.4 s here).
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
  for (uint16_t i = 0; i < 100; i++) EXPECT_EQ(rcodes[kOverBase + i], DNS_RC_SERVFAIL) << i;
  EXPECT_GE(engine.Stats().overload, overload_before + 101);

  // Once the requests in flight have failed, the engine answers as before.
  ASSERT_TRUE(zctest::WaitFor([&] { return engine.Stats().live_requests == 0; },
                              std::chrono::seconds(20), std::chrono::milliseconds(50)));
  local = QueryUdp("127.0.0.1", port_, "ok.test", DNS_T_A);
  EXPECT_EQ(local.rcode, 0);
  EXPECT_EQ(local.a, std::vector<std::string>{"192.0.2.99"});
  Drain(fd, &rcodes);
  // Every request that was in flight got its SERVFAIL too (a few may be lost in the burst).
  size_t failed = 0;
  for (size_t i = 0; i < sent; i++) failed += rcodes[static_cast<uint16_t>(i)] == DNS_RC_SERVFAIL;
  EXPECT_GE(failed, sent * 9 / 10);
  close(fd);
}

}  // namespace
}  // namespace dnspeer
