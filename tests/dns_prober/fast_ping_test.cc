// The prober against real sockets in the test's own network namespace: ICMP over raw and
// datagram sockets for both families, TCP and UDP probes, time-outs, stray replies, stop and
// restart, and the procedural entry points.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "dns/prober/fast_ping.h"
#include "dns/prober/fast_ping_api.h"
#include "dns_prober/prober_support.h"
#include "support/requires.h"

namespace probertest {
namespace {

using zc::dns::FastPing;
using zc::dns::FastPingOptions;
using zc::dns::PingEvent;
using zc::dns::PingResult;
using zc::dns::ProbeKind;
using Clock = std::chrono::steady_clock;

class FastPingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InTestNetwork()) ZC_MISSING() << "no private network namespace";
  }
  static std::vector<PingEvent> Events(const std::vector<PingResult>& results) {
    std::vector<PingEvent> out;
    for (const PingResult& r : results) out.push_back(r.event);
    return out;
  }
};

// Both socket kinds and both families: the near address is measured near, the delayed one at
// its delay, and each probe reports its reply and then its end.
TEST_F(FastPingTest, IcmpMeasuresEachAddressOverRawAndDatagramSockets) {
  EchoResponder responder;
  ASSERT_TRUE(
      responder.Start({{kFast, {0ms}}, {kSlow, {100ms}}, {kFast6, {0ms}}, {kSlow6, {100ms}}}));
  for (bool datagram : {false, true}) {
    SCOPED_TRACE(datagram ? "datagram" : "raw");
    FastPing ping(FastPingOptions{datagram});
    std::string error;
    ASSERT_TRUE(ping.Init(&error)) << error;
    Recorder rec;
    std::map<std::string, uint64_t> handles;
    for (const char* addr : {kFast, kSlow, kFast6, kSlow6}) {
      int err = 0;
      handles[addr] = ping.Start(Request(ProbeKind::kIcmp, addr, 0, 1s, rec.Callback()), &err);
      ASSERT_NE(handles[addr], 0u) << addr << ": " << std::strerror(err);
    }
    EXPECT_EQ(ping.IcmpRaw(AF_INET), !datagram);
    EXPECT_EQ(ping.IcmpRaw(AF_INET6), !datagram);
    for (const auto& [addr, handle] : handles) {
      auto events = rec.WaitEnd(handle);
      ASSERT_EQ(Events(events), (std::vector<PingEvent>{PingEvent::kReply, PingEvent::kEnd}))
          << addr;
      const PingResult& reply = events[0];
      bool slow = std::string(addr) == kSlow || std::string(addr) == kSlow6;
      if (slow) {
        EXPECT_GE(reply.rtt, 100ms) << addr;
        EXPECT_LT(reply.rtt, 600ms) << addr;
      } else {
        EXPECT_LT(reply.rtt, 100ms) << addr;
      }
      EXPECT_EQ(reply.host, addr);
      EXPECT_GT(reply.ttl, 0) << addr;
    }
    EXPECT_EQ(ping.counters().replies, 4u);
    EXPECT_EQ(ping.probes(), 0u);  // ended probes are freed
  }
  EXPECT_EQ(responder.requests(), 8);
}

// No reply: a time-out after the probe's own time-out, then the end; with several echoes each
// gets its time-out. A reply that comes too late, or carries another probe's token, is not
// taken for a reply.
TEST_F(FastPingTest, TimeOutsAreHonouredAndLateOrForeignRepliesIgnored) {
  EchoResponder responder;
  ASSERT_TRUE(responder.Start({{kOther, {250ms}}, {kSlow, {0ms, true}}}));
  FastPing ping;
  std::string error;
  ASSERT_TRUE(ping.Init(&error)) << error;
  Recorder rec;
  auto t0 = Clock::now();
  uint64_t quiet = ping.Start(Request(ProbeKind::kIcmp, kQuiet, 0, 100ms, rec.Callback()), nullptr);
  auto twice = Request(ProbeKind::kTcp, kSilentHost, 80, 80ms, rec.Callback());
  twice.count = 2;
  twice.interval = 100ms;
  uint64_t silent = ping.Start(std::move(twice), nullptr);
  uint64_t late = ping.Start(Request(ProbeKind::kIcmp, kOther, 0, 100ms, rec.Callback()), nullptr);
  uint64_t forged = ping.Start(Request(ProbeKind::kIcmp, kSlow, 0, 100ms, rec.Callback()), nullptr);
  ASSERT_TRUE(quiet && silent && late && forged);

  auto events = rec.WaitEnd(quiet);
  auto took = Clock::now() - t0;
  EXPECT_EQ(Events(events), (std::vector<PingEvent>{PingEvent::kTimeout, PingEvent::kEnd}));
  EXPECT_GE(took, 100ms);
  EXPECT_LT(took, 400ms);
  EXPECT_EQ(Events(rec.WaitEnd(forged)),
            (std::vector<PingEvent>{PingEvent::kTimeout, PingEvent::kEnd}));
  EXPECT_EQ(Events(rec.WaitEnd(silent)),
            (std::vector<PingEvent>{PingEvent::kTimeout, PingEvent::kTimeout, PingEvent::kEnd}));
  EXPECT_GE(Clock::now() - t0, 180ms);  // the second connect went out after the interval
  EXPECT_EQ(Events(rec.WaitEnd(late)),
            (std::vector<PingEvent>{PingEvent::kTimeout, PingEvent::kEnd}));
  // The late echo still arrives; it is counted as stray, never reported.
  for (int i = 0; i < 50 && ping.counters().stray < 2; i++) std::this_thread::sleep_for(10ms);
  EXPECT_GE(ping.counters().stray, 2u);
  EXPECT_EQ(ping.counters().replies, 0u);
  EXPECT_EQ(ping.counters().timeouts, 5u);
}

// A probe that cannot leave fails at Start with its errno; that is how IPv6 without a route is
// recognised.
TEST_F(FastPingTest, UnroutableAddressesFailAtStart) {
  FastPing ping;
  std::string error;
  ASSERT_TRUE(ping.Init(&error)) << error;
  Recorder rec;
  for (ProbeKind kind : {ProbeKind::kIcmp, ProbeKind::kTcp, ProbeKind::kUdp}) {
    for (const char* addr : {kNoRoute, "2001::"}) {
      int err = 0;
      EXPECT_EQ(ping.Start(Request(kind, addr, 80, 100ms, rec.Callback()), &err), 0u) << addr;
      EXPECT_TRUE(err == ENETUNREACH || err == EADDRNOTAVAIL) << addr << ": " << err;
    }
  }
  EXPECT_EQ(rec.total(), 0u);  // failed starts call nobody
  int err = 0;
  EXPECT_EQ(ping.Start(Request(ProbeKind::kIcmp, kFast, 0, 100ms, nullptr), &err), 0u);
  EXPECT_EQ(err, EINVAL);
  // ICMPv6 refused for want of permission is not tried again for any IPv6 address; IPv4 and
  // TCP over IPv6 go on.
  ASSERT_TRUE(RunCommand({"ip", "-6", "route", "add", "prohibit", "2001:db8:dead::/48"}));
  EXPECT_EQ(
      ping.Start(Request(ProbeKind::kIcmp, "2001:db8:dead::1", 0, 100ms, rec.Callback()), &err),
      0u);
  EXPECT_EQ(err, EACCES);
  RunCommand({"ip", "-6", "route", "del", "prohibit", "2001:db8:dead::/48"});
  EXPECT_EQ(ping.Start(Request(ProbeKind::kIcmp, kFast6, 0, 100ms, rec.Callback()), &err), 0u);
  EXPECT_EQ(err, EACCES);
  uint64_t v4 = ping.Start(Request(ProbeKind::kIcmp, kQuiet, 0, 20ms, rec.Callback()), &err);
  EXPECT_NE(v4, 0u);
  Listener tcp;
  ASSERT_TRUE(tcp.Tcp(kFast6));
  uint64_t v6 = ping.Start(Request(ProbeKind::kTcp, kFast6, tcp.port(), 1s, rec.Callback()), &err);
  EXPECT_NE(v6, 0u);
  EXPECT_EQ(rec.WaitEnd(v6).front().event, PingEvent::kReply);
  rec.WaitEnd(v4);
  EXPECT_EQ(ping.probes(), 0u);
}

// TCP: an accepting port is a reply, a refused one an error (nothing to serve clients there);
// UDP: an answered probe is a reply, "port unreachable" an error at once.
TEST_F(FastPingTest, TcpAndUdpProbes) {
  Listener tcp;
  ASSERT_TRUE(tcp.Tcp(kFast));
  Listener udp;
  ASSERT_TRUE(udp.UdpEcho(kFast6));
  FastPing ping;
  std::string error;
  ASSERT_TRUE(ping.Init(&error)) << error;
  Recorder rec;
  uint64_t open =
      ping.Start(Request(ProbeKind::kTcp, kFast, tcp.port(), 1s, rec.Callback()), nullptr);
  uint64_t refused =
      ping.Start(Request(ProbeKind::kTcp, kSlow, ClosedPort(kSlow), 1s, rec.Callback()), nullptr);
  uint64_t echo =
      ping.Start(Request(ProbeKind::kUdp, kFast6, udp.port(), 1s, rec.Callback()), nullptr);
  auto t0 = Clock::now();
  uint64_t closed =
      ping.Start(Request(ProbeKind::kUdp, kOther, ClosedPort(kOther), 1s, rec.Callback()), nullptr);
  ASSERT_TRUE(open && refused && echo && closed);

  auto events = rec.WaitEnd(open);
  ASSERT_EQ(Events(events), (std::vector<PingEvent>{PingEvent::kReply, PingEvent::kEnd}));
  EXPECT_EQ(events[0].host, std::string(kFast) + ":" + std::to_string(tcp.port()));
  EXPECT_LT(events[0].rtt, 50ms);
  events = rec.WaitEnd(refused);
  ASSERT_EQ(Events(events), (std::vector<PingEvent>{PingEvent::kError, PingEvent::kEnd}));
  EXPECT_EQ(events[0].error, ECONNREFUSED);
  EXPECT_EQ(Events(rec.WaitEnd(echo)),
            (std::vector<PingEvent>{PingEvent::kReply, PingEvent::kEnd}));
  events = rec.WaitEnd(closed);
  ASSERT_EQ(Events(events), (std::vector<PingEvent>{PingEvent::kError, PingEvent::kEnd}));
  EXPECT_EQ(events[0].error, ECONNREFUSED);
  EXPECT_LT(Clock::now() - t0, 500ms);  // not by the 1 s time-out
}

// Stop gives exactly one end, also when called from the probe's own callback or twice; Exit
// with probes in flight calls nobody afterwards, and the prober starts again (engine restart).
TEST_F(FastPingTest, StopExitAndRestart) {
  FastPing ping;
  std::string error;
  ASSERT_TRUE(ping.Init(&error)) << error;
  EXPECT_FALSE(ping.Init(&error));
  Recorder rec;
  uint64_t held = ping.Start(Request(ProbeKind::kIcmp, kQuiet, 0, 5s, rec.Callback()), nullptr);
  ASSERT_NE(held, 0u);
  auto t0 = Clock::now();
  ping.Stop(held);
  ping.Stop(held);
  EXPECT_EQ(Events(rec.WaitEnd(held)), (std::vector<PingEvent>{PingEvent::kEnd}));
  EXPECT_LT(Clock::now() - t0, 1s);

  // A callback that stops its own probe (by the end it is told about) is safe.
  std::atomic<int> ends{0};
  std::atomic<uint64_t> self{0};
  auto req = Request(ProbeKind::kIcmp, kQuiet, 0, 30ms, [&](const PingResult& r) {
    if (r.event == PingEvent::kTimeout) ping.Stop(r.handle);
    if (r.event == PingEvent::kEnd) ends++;
  });
  req.count = 3;
  req.interval = 10ms;
  self = ping.Start(std::move(req), nullptr);
  for (int i = 0; i < 100 && ends == 0; i++) std::this_thread::sleep_for(5ms);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(ends, 1);

  // Timers run on the work thread, in order; a cancelled one never runs.
  std::atomic<int> order{0};
  std::atomic<int> first{0}, second{0}, cancelled{0};
  ping.Schedule(Clock::now() + 40ms, [&] { second = ++order; });
  ping.Schedule(Clock::now() + 20ms, [&] { first = ++order; });
  ping.CancelTimer(ping.Schedule(Clock::now() + 30ms, [&] { cancelled = 1; }));
  for (int i = 0; i < 100 && second == 0; i++) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 2);
  EXPECT_EQ(cancelled, 0);

  Recorder after;
  for (int i = 0; i < 20; i++) {
    ASSERT_NE(ping.Start(Request(ProbeKind::kIcmp, kQuiet, 0, 50ms, after.Callback()), nullptr),
              0u);
  }
  ping.Exit();
  EXPECT_FALSE(ping.running());
  size_t seen = after.total();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(after.total(), seen);
  int err = 0;
  EXPECT_EQ(ping.Start(Request(ProbeKind::kIcmp, kQuiet, 0, 50ms, after.Callback()), &err), 0u);
  EXPECT_EQ(err, ESHUTDOWN);

  EchoResponder responder;
  ASSERT_TRUE(responder.Start({{kFast, {0ms}}}));
  ASSERT_TRUE(ping.Init(&error)) << error;
  Recorder again;
  uint64_t h = ping.Start(Request(ProbeKind::kIcmp, kFast, 0, 1s, again.Callback()), nullptr);
  EXPECT_EQ(Events(again.WaitEnd(h)), (std::vector<PingEvent>{PingEvent::kReply, PingEvent::kEnd}));
}

struct ApiLog {
  std::mutex mutex;
  std::vector<int> results;
  std::string host;
};

void ApiCallback(uint64_t, const char* host, int result, const sockaddr*, socklen_t, int, int,
                 const timeval*, int, void* arg) {
  auto* log = static_cast<ApiLog*>(arg);
  std::lock_guard lock(log->mutex);
  log->results.push_back(result);
  log->host = host;
}

TEST_F(FastPingTest, ProceduralEntryPoints) {
  Listener tcp;
  ASSERT_TRUE(tcp.Tcp(kFast6));
  ASSERT_EQ(zc::dns::fast_ping_init(), 0);
  ApiLog log;
  std::string host = std::string(kFast6) + ":" + std::to_string(tcp.port());
  // A generous time-out: the loop ends at the answer, and a sanitizer build on a busy machine
  // can take over a second to connect to its own loopback.
  uint64_t h = zc::dns::fast_ping_start(2, host.c_str(), 1, 1000, 10000, ApiCallback, &log);
  ASSERT_NE(h, 0u);
  for (int i = 0; i < 3000; i++) {
    {
      std::lock_guard lock(log.mutex);
      if (log.results.size() >= 2) break;
    }
    std::this_thread::sleep_for(5ms);
  }
  {
    std::lock_guard lock(log.mutex);
    EXPECT_EQ(log.results, (std::vector<int>{zc::dns::kPingResultReply, zc::dns::kPingResultEnd}));
    EXPECT_EQ(log.host, host);
  }
  errno = 0;
  EXPECT_EQ(zc::dns::fast_ping_start(1, "2001::", 1, 1000, 100, ApiCallback, &log), 0u);
  EXPECT_EQ(errno, ENETUNREACH);
  EXPECT_EQ(zc::dns::fast_ping_start(2, "192.0.2.10", 1, 1000, 100, ApiCallback, &log), 0u);
  EXPECT_EQ(zc::dns::fast_ping_start(1, "router.lan", 1, 1000, 100, ApiCallback, &log), 0u);
  zc::dns::fast_ping_exit();
  EXPECT_EQ(zc::dns::fast_ping_start(1, kFast, 1, 1000, 100, ApiCallback, &log), 0u);
  EXPECT_EQ(errno, ESHUTDOWN);
}

}  // namespace
}  // namespace probertest
