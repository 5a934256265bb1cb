// The speed-check rules and the prober's packet formats, without sockets.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "dns/prober/probe_packets.h"
#include "dns/prober/probe_sockets.h"
#include "dns/prober/speed_rules.h"

namespace zc::dns {
namespace {

using namespace std::chrono_literals;
using Kind = SpeedCheckOrder::Kind;

TEST(SpeedRules, CheckTimeoutIsWhatIsLeftOfTheBudgetWithAFloor) {
  EXPECT_EQ(CheckTimeout(0ms), 950ms);  // started at once
  EXPECT_EQ(CheckTimeout(500ms), 450ms);
  EXPECT_EQ(CheckTimeout(900ms), 200ms);  // started late: the floor
  EXPECT_EQ(CheckTimeout(5000ms), 200ms);
  EXPECT_EQ(CheckTimeout(-20ms), 950ms);  // a start time in the future is not a bigger budget
  // Scaled budgets keep the same shape.
  EXPECT_EQ(CheckTimeout(50ms, 95ms, 20ms), 45ms);
  EXPECT_EQ(CheckTimeout(90ms, 95ms, 20ms), 20ms);
}

TEST(SpeedRules, RoundsTakeTheOrdersInTurnUntilNone) {
  SpeedCheckOrders standard{{{Kind::kPing, 0}, {Kind::kTcp, 80}, {Kind::kTcp, 443}}};
  EXPECT_EQ(OrderForRound(standard, 0).kind, Kind::kPing);
  EXPECT_EQ(OrderForRound(standard, 1), (SpeedCheckOrder{Kind::kTcp, 80}));
  EXPECT_EQ(OrderForRound(standard, 2), (SpeedCheckOrder{Kind::kTcp, 443}));
  EXPECT_EQ(OrderForRound(standard, 3).kind, Kind::kNone);  // three rounds at most
  EXPECT_EQ(OrderForRound(standard, -1).kind, Kind::kNone);
  // Nothing after a none entry is used.
  SpeedCheckOrders cut{{{Kind::kTcp, 8080}, {Kind::kNone, 0}, {Kind::kTcp, 443}}};
  EXPECT_EQ(OrderForRound(cut, 0), (SpeedCheckOrder{Kind::kTcp, 8080}));
  EXPECT_EQ(OrderForRound(cut, 1).kind, Kind::kNone);
  EXPECT_EQ(OrderForRound(cut, 2).kind, Kind::kNone);
  // Round n + 1 starts (n + 1) × 250 ms after the request.
  EXPECT_EQ(NextRoundAfter(0), 250ms);
  EXPECT_EQ(NextRoundAfter(1), 500ms);
  EXPECT_EQ(NextRoundAfter(1, 25ms), 50ms);
}

TEST(SpeedRules, RoundTripsAndWhenToAnswer) {
  EXPECT_EQ(RoundTripTenths(5ms), 50);
  EXPECT_EQ(RoundTripTenths(1234567us), 12345);
  // A loopback reply of 30 µs is still a measurement (0 would read as "none").
  EXPECT_EQ(RoundTripTenths(30us), 1);
  EXPECT_EQ(RoundTripTenths(0us), 1);

  // Under 10 ms: at once, however early.
  EXPECT_TRUE(AnswerNow(RoundTripTenths(5ms), 6ms));
  EXPECT_TRUE(AnswerNow(99, 0us));
  // 50 ms: only once the request is older than 62.5 ms.
  EXPECT_FALSE(AnswerNow(500, 60ms));
  EXPECT_FALSE(AnswerNow(500, 62500us));
  EXPECT_TRUE(AnswerNow(500, 62501us));
  EXPECT_FALSE(AnswerNow(0, 10s));  // no measurement never answers
}

std::vector<MeasuredAddress> Times(std::initializer_list<int> times) {
  std::vector<MeasuredAddress> out;
  uint8_t last = 1;
  for (int t : times) {
    MeasuredAddress m;
    m.address.addr[3] = last++;
    m.time = t;
    out.push_back(m);
  }
  return out;
}

TEST(SpeedRules, ReplyTakesTheFastestThenThoseCloseToIt) {
  // 219 is within a tenth of 200, 221 is not; the unmeasured one never goes.
  EXPECT_EQ(RankForReply(Times({300, 200, 219, 221, -1})), (std::vector<size_t>{1, 2}));
  // Anything under 10 ms goes along, in the order received, after the fastest.
  EXPECT_EQ(RankForReply(Times({150, 95, 40})), (std::vector<size_t>{2, 1}));
  // On a tie the earlier address is the answer.
  EXPECT_EQ(RankForReply(Times({100, 100})), (std::vector<size_t>{0, 1}));
  EXPECT_TRUE(RankForReply(Times({-1, 0, -1})).empty());
  EXPECT_TRUE(RankForReply({}).empty());
}

TEST(SpeedRules, Ipv6ProbeOutcomes) {
  EXPECT_EQ(ClassifyIpv6Probe(0), Ipv6Probe::kReachable);
  EXPECT_EQ(ClassifyIpv6Probe(ECONNREFUSED), Ipv6Probe::kReachable);
  for (int e : {EADDRNOTAVAIL, ENETUNREACH, EHOSTUNREACH, EAFNOSUPPORT}) {
    EXPECT_EQ(ClassifyIpv6Probe(e), Ipv6Probe::kUnreachable) << e;
  }
  // Permission or resources say nothing about the route: another kind of probe decides.
  for (int e : {EACCES, EPERM, EMFILE, ENOBUFS}) {
    EXPECT_EQ(ClassifyIpv6Probe(e), Ipv6Probe::kUndecided) << e;
  }
  EXPECT_TRUE(Ipv6LostBy(EADDRNOTAVAIL));
  EXPECT_TRUE(Ipv6LostBy(EACCES));
  EXPECT_FALSE(Ipv6LostBy(ECONNREFUSED));
  EXPECT_FALSE(Ipv6LostBy(ETIMEDOUT));
}

// An IPv4 header in front of an ICMP message, as a raw socket delivers it.
std::vector<uint8_t> WithIpHeader(const uint8_t* icmp, size_t len, uint8_t proto, uint8_t ttl) {
  std::vector<uint8_t> out(20 + len);
  out[0] = 0x45;
  out[8] = ttl;
  out[9] = proto;
  std::memcpy(out.data() + 20, icmp, len);
  return out;
}

TEST(ProbePackets, EchoRequestsAndTheirReplies) {
  EchoFields fields{0xBEEF, 0x0102, 0x1122334455667788ull};
  uint8_t v4[kEchoLength];
  BuildEchoRequest(AF_INET, fields, v4);
  EXPECT_EQ(v4[0], kIcmp4EchoRequest);
  EXPECT_EQ(InternetChecksum(v4, kEchoLength), 0);  // the checksum is right

  // The reply the peer sends back: type 0, same body.
  uint8_t reply[kEchoLength];
  std::memcpy(reply, v4, kEchoLength);
  reply[0] = kIcmp4EchoReply;
  EchoReply r;
  auto raw = WithIpHeader(reply, kEchoLength, 1, 57);
  ASSERT_EQ(ParseEchoReply(AF_INET, true, raw.data(), raw.size(), &r), EchoParse::kOk);
  EXPECT_EQ(r.fields.ident, 0xBEEF);
  EXPECT_EQ(r.fields.seq, 0x0102);
  EXPECT_EQ(r.fields.token, 0x1122334455667788ull);
  EXPECT_EQ(r.ttl, 57);
  // A datagram socket hands over the ICMP message alone.
  ASSERT_EQ(ParseEchoReply(AF_INET, false, reply, kEchoLength, &r), EchoParse::kOk);
  EXPECT_EQ(r.ttl, -1);

  // What is not ours is told apart.
  auto udp = WithIpHeader(reply, kEchoLength, 17, 64);
  EXPECT_EQ(ParseEchoReply(AF_INET, true, udp.data(), udp.size(), &r), EchoParse::kNotIcmp);
  EXPECT_EQ(r.ip_proto, 17);
  auto looped = WithIpHeader(v4, kEchoLength, 1, 64);  // our own request seen on lo
  EXPECT_EQ(ParseEchoReply(AF_INET, true, looped.data(), looped.size(), &r),
            EchoParse::kNotEchoReply);
  EXPECT_EQ(r.type, kIcmp4EchoRequest);
  EXPECT_EQ(ParseEchoReply(AF_INET, false, reply, kEchoLength - 1, &r), EchoParse::kBadLength);
  EXPECT_EQ(ParseEchoReply(AF_INET, false, reply, 4, &r), EchoParse::kBadLength);
  raw[0] = 0x4F;  // a header length beyond the packet
  EXPECT_EQ(ParseEchoReply(AF_INET, true, raw.data(), 40, &r), EchoParse::kBadLength);

  uint8_t v6[kEchoLength];
  BuildEchoRequest(AF_INET6, fields, v6);
  EXPECT_EQ(v6[0], kIcmp6EchoRequest);
  EXPECT_EQ(v6[2] | v6[3], 0);  // left to the kernel
  EXPECT_EQ(ParseEchoReply(AF_INET6, false, v6, kEchoLength, &r), EchoParse::kNotEchoReply);
  v6[0] = kIcmp6EchoReply;
  ASSERT_EQ(ParseEchoReply(AF_INET6, false, v6, kEchoLength, &r), EchoParse::kOk);
  EXPECT_EQ(r.fields.token, fields.token);
}

TEST(ProbePackets, ChecksumAndUdpProbe) {
  // RFC 1071's worked example, and an odd length.
  const uint8_t sample[] = {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7};
  EXPECT_EQ(InternetChecksum(sample, sizeof sample), 0x220D);
  const uint8_t odd[] = {0x01};
  EXPECT_EQ(InternetChecksum(odd, 1), 0xFEFF);

  uint8_t probe[kUdpProbeLength];
  BuildUdpProbe(0xA1B2, probe);
  uint16_t id = 0;
  ASSERT_TRUE(UdpProbeReplyId(probe, sizeof probe, &id));
  EXPECT_EQ(id, 0xA1B2);
  for (size_t i = 2; i < kUdpProbeLength; i++) EXPECT_EQ(probe[i], 0) << i;
  EXPECT_FALSE(UdpProbeReplyId(probe, kUdpProbeLength - 1, &id));
}

TEST(ProbeSockets, NumericPeersOnly) {
  sockaddr_storage peer;
  socklen_t len = 0;
  ASSERT_TRUE(ParsePeer("192.0.2.7", 443, &peer, &len));
  EXPECT_EQ(PeerText(peer, true), "192.0.2.7:443");
  EXPECT_EQ(PortOf(peer), 443);
  ASSERT_TRUE(ParsePeer("[2001:db8::7]", 80, &peer, &len));
  EXPECT_EQ(len, sizeof(sockaddr_in6));
  EXPECT_EQ(PeerText(peer, false), "2001:db8::7");
  // A name would need resolving through the resolver the prober serves: refused.
  EXPECT_FALSE(ParsePeer("localhost", 80, &peer, &len));
  EXPECT_FALSE(ParsePeer("", 80, &peer, &len));
  sockaddr_storage other;
  ASSERT_TRUE(ParsePeer("2001:db8::7", 53, &other, &len));
  EXPECT_TRUE(SameHost(peer, other));
  ASSERT_TRUE(ParsePeer("2001:db8::8", 80, &other, &len));
  EXPECT_FALSE(SameHost(peer, other));
}

}  // namespace
}  // namespace zc::dns
