// The speed checker in the test's own network namespace: which address wins, when the reply
// may go, the rounds of check orders, the time budget, unreachable addresses, IPv6 detection,
// and detaching with checks in flight.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>

#include "dns/prober/speed_checker.h"
#include "dns_prober/prober_support.h"
#include "support/requires.h"
#include "utils/timescale.h"

namespace probertest {
namespace {

using zc::dns::DnsRequestHandle;
using zc::dns::ProbeSpeedChecker;
using zc::dns::SpeedCheckOrder;
using zc::dns::SpeedCheckOrders;
using zc::dns::SpeedCheckStart;
using zc::dns::SpeedProbe;
using zc::dns::SpeedResult;
using Clock = std::chrono::steady_clock;
using Kind = SpeedCheckOrder::Kind;

constexpr uint64_t kGeneration = 7;

SpeedProbe Probe(const std::string& text) {
  sockaddr_storage peer;
  socklen_t len = 0;
  zc::dns::ParsePeer(text, 0, &peer, &len);
  SpeedProbe p;
  p.family = peer.ss_family;
  if (p.family == AF_INET) {
    std::memcpy(p.addr, &reinterpret_cast<sockaddr_in&>(peer).sin_addr, 4);
  } else {
    std::memcpy(p.addr, &reinterpret_cast<sockaddr_in6&>(peer).sin6_addr, 16);
  }
  return p;
}

std::string Text(const SpeedProbe& p) {
  sockaddr_storage peer{};
  peer.ss_family = static_cast<sa_family_t>(p.family);
  if (p.family == AF_INET) {
    std::memcpy(&reinterpret_cast<sockaddr_in&>(peer).sin_addr, p.addr, 4);
  } else {
    std::memcpy(&reinterpret_cast<sockaddr_in6&>(peer).sin6_addr, p.addr, 16);
  }
  return zc::dns::PeerText(peer, false);
}

// Stands in for the engine: what each request was told, and when.
class Sink {
 public:
  zc::dns::SpeedChecker::Deliver Deliver() {
    return [this](SpeedResult r) {
      std::lock_guard lock(mutex_);
      got_[r.handle.id].push_back({Clock::now(), std::move(r)});
      cv_.notify_all();
    };
  }
  struct Got {
    Clock::time_point at;
    SpeedResult result;
  };
  // Every result of a request up to its last one.
  std::vector<Got> WaitLast(uint64_t id, std::chrono::milliseconds timeout = 3s) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, timeout, [&] { return !got_[id].empty() && got_[id].back().result.last; });
    return got_[id];
  }
  size_t count() {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (auto& [id, v] : got_) n += v.size();
    return n;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::map<uint64_t, std::vector<Got>> got_;
};

class CheckerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InTestNetwork()) ZC_MISSING() << "no private network namespace";
  }
  void TearDown() override { zc::SetTimeScaleForTest(1.0); }
  SpeedCheckStart Checks(uint64_t id, std::vector<std::string> addrs, SpeedCheckOrders orders,
                         std::chrono::milliseconds age = 0ms) {
    SpeedCheckStart s;
    s.handle = DnsRequestHandle{kGeneration, id};
    s.started = Clock::now() - age;
    s.orders = orders;
    for (const std::string& a : addrs) s.probes.push_back(Probe(a));
    return s;
  }
  static SpeedCheckOrders PingOnly() { return {{{Kind::kPing, 0}}}; }
  static std::vector<std::string> Ranked(const SpeedResult& r) {
    std::vector<std::string> out;
    for (const SpeedProbe& p : r.ranked) out.push_back(Text(p));
    return out;
  }
  static auto Since(Clock::time_point t0, const Sink::Got& g) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(g.at - t0);
  }
};

TEST_F(CheckerTest, FastestAddressWinsAndTheReplyWaitsOnlyWhenItPays) {
  EchoResponder responder;
  ASSERT_TRUE(responder.Start({{kFast, {0ms}}, {kSlow, {200ms}}, {kOther, {400ms}}}));
  ProbeSpeedChecker checker;
  Sink sink;
  ASSERT_TRUE(checker.Attach(kGeneration, PingOnly(), sink.Deliver()));
  ASSERT_TRUE(checker.Available());

  // 1: an address measured once the request is older than 1.25 times its round trip answers
  // at once, without waiting for the silent one (on a busy machine even loopback may take
  // more than the 10 ms that answer at once whenever they come).
  auto t0 = Clock::now();
  ASSERT_TRUE(checker.Start(Checks(1, {kQuiet, kFast}, PingOnly(), 300ms)));
  auto got = sink.WaitLast(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(got[0].result.answer_now);
  EXPECT_EQ(Ranked(got[0].result), std::vector<std::string>{kFast});
  EXPECT_GE(got[0].result.best_time, 1);
  EXPECT_LT(Since(t0, got[0]), 600ms);  // not the 950 ms of the silent one

  // 2: 200 ms and 400 ms: neither is worth answering on its own this early; once both are
  // measured the checks are over, and the faster one is the answer.
  t0 = Clock::now();
  ASSERT_TRUE(checker.Start(Checks(2, {kOther, kSlow}, PingOnly())));
  got = sink.WaitLast(2);
  ASSERT_GE(got.size(), 2u);
  EXPECT_EQ(Ranked(got[0].result), std::vector<std::string>{kSlow});
  EXPECT_FALSE(got.back().result.answer_now);
  EXPECT_EQ(Ranked(got.back().result), std::vector<std::string>{kSlow});
  EXPECT_GE(got.back().result.best_time, 2000);
  EXPECT_LT(got.back().result.best_time, 4000);
  EXPECT_GE(Since(t0, got.back()), 400ms);
  EXPECT_LT(Since(t0, got.back()), 900ms);  // not the 950 ms budget

  // 3: the same 400 ms address for a request that has already waited 300 ms answers at once.
  t0 = Clock::now();
  ASSERT_TRUE(checker.Start(Checks(3, {kOther, kQuiet}, PingOnly(), 300ms)));
  got = sink.WaitLast(3);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(got[0].result.answer_now);
  EXPECT_EQ(Ranked(got[0].result), std::vector<std::string>{kOther});
  EXPECT_LT(Since(t0, got[0]), 640ms);  // the silent one's check would run to 950 ms

  // 4: a prefetch never answers early: it runs until the silent address times out too.
  zc::SetTimeScaleForTest(0.3);  // 950 ms budget → 285 ms
  t0 = Clock::now();
  SpeedCheckStart prefetch = Checks(4, {kFast, kQuiet}, PingOnly());
  prefetch.may_answer_early = false;
  ASSERT_TRUE(checker.Start(prefetch));
  got = sink.WaitLast(4);
  EXPECT_FALSE(got.back().result.answer_now);
  EXPECT_EQ(Ranked(got.back().result), std::vector<std::string>{kFast});
  EXPECT_GE(Since(t0, got.back()), 270ms);
  EXPECT_EQ(checker.sessions(), 0u);
}

// IPv6 counts as reachable while 2001:: has a route: an address on lo gives it one.
struct Ipv6Reachable {
  Ipv6Reachable() {
    ok = RunCommand({"ip", "-6", "addr", "add", "2001::/128", "dev", "lo", "nodad"});
  }
  ~Ipv6Reachable() { RunCommand({"ip", "-6", "addr", "del", "2001::/128", "dev", "lo"}); }
  bool ok = false;
};

// Several close addresses all go into the reply, the fastest first.
TEST_F(CheckerTest, AddressesCloseToTheFastestGoAlong) {
  Ipv6Reachable ipv6;
  ASSERT_TRUE(ipv6.ok);
  EchoResponder responder;
  // Both 200 ms away: within a tenth of each other, even on a busy machine.
  ASSERT_TRUE(responder.Start({{kFast6, {200ms}}, {kSlow6, {200ms}}}));
  ProbeSpeedChecker checker(zc::dns::FastPingOptions{true});  // datagram ICMP
  Sink sink;
  ASSERT_TRUE(checker.Attach(kGeneration, PingOnly(), sink.Deliver()));
  uint64_t sent_before = checker.counters().sent;  // the IPv6 probe of Attach
  SpeedCheckStart s = Checks(1, {kFast6}, PingOnly());
  s.may_answer_early = false;
  ASSERT_TRUE(checker.Start(s));
  // More addresses of the same request from a later upstream answer join the same checks.
  s.probes = {Probe(kSlow6), Probe(kFast6)};
  ASSERT_TRUE(checker.Start(s));
  auto got = sink.WaitLast(1);
  auto ranked = Ranked(got.back().result);
  ASSERT_EQ(ranked.size(), 2u);
  EXPECT_NE(ranked[0], ranked[1]);
  EXPECT_EQ(checker.counters().sent - sent_before, 2u);  // a repeated address is probed once
}

// ping, tcp:A, tcp:B: without an echo reply, round 1 after 250 ms tries port A and round 2
// after 500 ms port B.
TEST_F(CheckerTest, RoundsMoveThroughTheCheckOrders) {
  Listener a_on_other;
  ASSERT_TRUE(a_on_other.Tcp(kOther));
  uint16_t port_a = a_on_other.port();
  Listener b_on_quiet;
  uint16_t port_b = static_cast<uint16_t>(port_a + 1);
  ASSERT_TRUE(b_on_quiet.Tcp(kQuiet, port_b));
  SpeedCheckOrders orders{{{Kind::kPing, 0}, {Kind::kTcp, port_a}, {Kind::kTcp, port_b}}};
  ProbeSpeedChecker checker;
  Sink sink;
  ASSERT_TRUE(checker.Attach(kGeneration, orders, sink.Deliver()));
  auto t0 = Clock::now();
  ASSERT_TRUE(checker.Start(Checks(1, {kOther}, orders)));
  ASSERT_TRUE(checker.Start(Checks(2, {kQuiet}, orders)));
  auto first = sink.WaitLast(1);
  auto second = sink.WaitLast(2);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_TRUE(first[0].result.answer_now);
  EXPECT_GE(Since(t0, first[0]), 250ms);
  EXPECT_LT(Since(t0, first[0]), 500ms);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_TRUE(second[0].result.answer_now);
  EXPECT_GE(Since(t0, second[0]), 500ms);
  EXPECT_LT(Since(t0, second[0]), 900ms);
  EXPECT_EQ(Ranked(second[0].result), std::vector<std::string>{kQuiet});
}

// Each check gets what is left of the 950 ms since the request, but at least 200 ms.
TEST_F(CheckerTest, TimeBudgetCountsFromTheRequest) {
  ProbeSpeedChecker checker;
  Sink sink;
  ASSERT_TRUE(checker.Attach(kGeneration, PingOnly(), sink.Deliver()));
  auto t0 = Clock::now();
  ASSERT_TRUE(checker.Start(Checks(1, {kSilentHost}, PingOnly(), 900ms)));
  ASSERT_TRUE(checker.Start(Checks(2, {kSilentHost}, PingOnly(), 600ms)));
  auto late = sink.WaitLast(1);
  auto later = sink.WaitLast(2);
  ASSERT_EQ(late.size(), 1u);
  EXPECT_TRUE(late[0].result.ranked.empty());
  EXPECT_EQ(late[0].result.best_time, -1);
  EXPECT_GE(Since(t0, late[0]), 200ms);
  EXPECT_LT(Since(t0, late[0]), 500ms);
  ASSERT_EQ(later.size(), 1u);
  EXPECT_GE(Since(t0, later[0]), 350ms);
  EXPECT_LT(Since(t0, later[0]), 650ms);
}

// Addresses without a route are not waited for; a request with nothing to check starts
// nothing; Cancel ends a request's checks without a word; a stale generation is refused.
TEST_F(CheckerTest, UnreachableCancelledAndStaleRequests) {
  EchoResponder responder;
  ASSERT_TRUE(responder.Start({{kSlow, {60ms}}}));
  SpeedCheckOrders orders{{{Kind::kPing, 0}, {Kind::kTcp, 80}}};
  zc::SetTimeScaleForTest(4.0);  // the next round comes after 1 s
  ProbeSpeedChecker checker;
  Sink sink;
  ASSERT_TRUE(checker.Attach(kGeneration, orders, sink.Deliver()));
  EXPECT_FALSE(checker.Start(Checks(1, {kNoRoute}, orders)));
  auto t0 = Clock::now();
  ASSERT_TRUE(checker.Start(Checks(2, {kNoRoute, kSlow}, orders)));
  auto got = sink.WaitLast(2);
  EXPECT_EQ(Ranked(got.back().result), std::vector<std::string>{kSlow});
  EXPECT_LT(Since(t0, got.back()), 700ms);  // the next round is not waited for

  ASSERT_TRUE(checker.Start(Checks(3, {kQuiet}, orders)));
  checker.Cancel(DnsRequestHandle{kGeneration, 3});
  EXPECT_EQ(checker.sessions(), 0u);
  SpeedCheckStart stale = Checks(4, {kSlow}, orders);
  stale.handle.generation = kGeneration - 1;
  EXPECT_FALSE(checker.Start(stale));
  size_t before = sink.count();
  zc::SetTimeScaleForTest(0.2);
  ASSERT_TRUE(checker.Start(Checks(5, {kQuiet}, orders)));
  checker.Cancel(DnsRequestHandle{kGeneration, 5});
  std::this_thread::sleep_for(400ms);  // past the next round and the time-out of request 5
  EXPECT_EQ(sink.count(), before);
}

// An answer with many addresses does not turn one query into a flood of probes.
TEST_F(CheckerTest, ProbesPerRequestAreCapped) {
  zc::SetTimeScaleForTest(0.2);  // rounds after 50 and 100 ms, 190 ms budget
  SpeedCheckOrders orders{{{Kind::kPing, 0}, {Kind::kTcp, 80}, {Kind::kTcp, 443}}};
  ProbeSpeedChecker checker;
  Sink sink;
  ASSERT_TRUE(checker.Attach(kGeneration, orders, sink.Deliver()));
  std::vector<std::string> silent;  // routed out of pv0, never answered
  for (int i = 10; i < 18; i++) silent.push_back("10.77.0." + std::to_string(i));
  uint64_t before = checker.counters().sent;
  ASSERT_TRUE(checker.Start(Checks(1, silent, orders)));
  auto got = sink.WaitLast(1);
  ASSERT_FALSE(got.empty());
  EXPECT_TRUE(got.back().result.ranked.empty());
  EXPECT_EQ(checker.counters().sent - before, 16u);  // 8 echoes, 8 connects, no third round
}

// IPv6 is usable once a probe towards 2001:: can leave; without it AAAA addresses are not
// probed. Detach ends everything in flight silently, and the checker attaches again.
TEST_F(CheckerTest, Ipv6DetectionAndReattach) {
  SpeedCheckOrders orders{{{Kind::kPing, 0}, {Kind::kTcp, 80}}};
  ProbeSpeedChecker checker;
  Sink sink;
  ASSERT_TRUE(checker.Attach(kGeneration, orders, sink.Deliver()));
  EXPECT_FALSE(checker.Ipv6Available());
  EXPECT_FALSE(checker.Start(Checks(1, {kFast6}, orders)));

  SpeedCheckOrders tcp_only{{{Kind::kTcp, 443}}};
  {
    Ipv6Reachable ipv6;
    ASSERT_TRUE(ipv6.ok);
    ASSERT_TRUE(checker.Start(Checks(2, {kQuiet}, orders)));
    checker.Detach();
    EXPECT_FALSE(checker.Available());
    EXPECT_EQ(checker.sessions(), 0u);
    ASSERT_TRUE(checker.Attach(kGeneration + 1, orders, sink.Deliver()));
    EXPECT_TRUE(checker.Ipv6Available());
    // TCP alone decides too.
    ASSERT_TRUE(checker.Attach(kGeneration + 2, tcp_only, sink.Deliver()));
    EXPECT_TRUE(checker.Ipv6Available());
  }
  ASSERT_TRUE(checker.Attach(kGeneration + 3, tcp_only, sink.Deliver()));
  EXPECT_FALSE(checker.Ipv6Available());
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(sink.count(), 0u);  // request 2 was dropped by the detach
}

}  // namespace
}  // namespace probertest
