// Decisions on upstream answers: the loopback/zero vote, the address kept without a speed
// result, and the reply re-addressed to a CNAME target for its own cache entry.
#include "dns/engine/answer_rules.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dns/codec/dns_packet.h"

namespace zc::dns {
namespace {

TEST(ZeroOrLoopback, OneUpstreamIsBelievedAndLargerSetsVote) {
  // A single upstream (a filtering resolver answering 0.0.0.0) has nobody to outvote it.
  EXPECT_TRUE(ZeroOrLoopbackAccepted(1, 1));
  // Two servers: both must say so; one of them alone is outvoted.
  EXPECT_FALSE(ZeroOrLoopbackAccepted(1, 2));
  EXPECT_TRUE(ZeroOrLoopbackAccepted(2, 2));
  // Three: more than half rounded up (2) means all three.
  EXPECT_FALSE(ZeroOrLoopbackAccepted(2, 3));
  EXPECT_TRUE(ZeroOrLoopbackAccepted(3, 3));
  // Four: three of them; five: four of them.
  EXPECT_FALSE(ZeroOrLoopbackAccepted(2, 4));
  EXPECT_TRUE(ZeroOrLoopbackAccepted(3, 4));
  EXPECT_FALSE(ZeroOrLoopbackAccepted(3, 5));
  EXPECT_TRUE(ZeroOrLoopbackAccepted(4, 5));
  // No server known (all still unresolved): the first one counts.
  EXPECT_TRUE(ZeroOrLoopbackAccepted(1, 0));
  EXPECT_FALSE(ZeroOrLoopbackAccepted(0, 1));

  uint8_t zero[4] = {0, 0, 0, 0};
  uint8_t loop[4] = {127, 0, 0, 2};
  uint8_t ten[4] = {10, 0, 0, 1};
  EXPECT_TRUE(IsZeroOrLoopbackV4(zero));
  EXPECT_TRUE(IsZeroOrLoopbackV4(loop));
  EXPECT_FALSE(IsZeroOrLoopbackV4(ten));
}

struct Seen {
  int family;
  int hits;
  uint32_t last_seen;
};

TEST(PickWithoutSpeed, MostAgreedAddressElseTheLatest) {
  // Two upstream answers agreed on the second address: it wins over a later single one.
  std::vector<Seen> seen = {{AF_INET, 1, 1}, {AF_INET, 2, 4}, {AF_INET, 1, 5}};
  EXPECT_EQ(PickWithoutSpeed(seen, AF_INET), 1);
  // The first of equal counts wins.
  seen = {{AF_INET, 3, 1}, {AF_INET, 3, 2}};
  EXPECT_EQ(PickWithoutSpeed(seen, AF_INET), 0);
  // Nobody seen twice: the most recent sighting.
  seen = {{AF_INET, 1, 3}, {AF_INET, 1, 7}, {AF_INET, 1, 2}};
  EXPECT_EQ(PickWithoutSpeed(seen, AF_INET), 1);
  // Only the asked family counts.
  seen = {{AF_INET6, 5, 9}, {AF_INET, 1, 1}};
  EXPECT_EQ(PickWithoutSpeed(seen, AF_INET), 1);
  EXPECT_EQ(PickWithoutSpeed(std::vector<Seen>{}, AF_INET), -1);
  EXPECT_EQ(PickWithoutSpeed(seen, AF_UNIX), -1);
}

std::vector<uint8_t> Encode(dns_packet* p) {
  std::vector<uint8_t> out(kDnsMessageMax);
  int n = dns_encode(out.data(), static_cast<int>(out.size()), p);
  EXPECT_GT(n, 0);
  out.resize(n > 0 ? n : 0);
  return out;
}

// www.Example.test CNAME edge.cdn.test CNAME e1.cdn.test, two A records under the last one,
// records given out of order, plus an unrelated A record.
std::vector<uint8_t> ChainAnswer(uint16_t rcode = DNS_RC_NOERROR) {
  DnsPacketBuffer<> buf;
  dns_packet* p = buf.get();
  dns_head head;
  head.qr = 1;
  head.rcode = rcode;
  dns_packet_init(p, buf.size(), &head);
  dns_add_domain(p, "www.Example.test", DNS_T_A, DNS_C_IN);
  uint8_t a1[4] = {192, 0, 2, 11};
  uint8_t a2[4] = {192, 0, 2, 12};
  uint8_t other[4] = {192, 0, 2, 99};
  dns_add_CNAME(p, DNS_RRS_AN, "edge.cdn.test", 120, "E1.cdn.test");
  dns_add_CNAME(p, DNS_RRS_AN, "www.example.test", 300, "edge.cdn.test");
  dns_add_A(p, DNS_RRS_AN, "e1.cdn.test", 60, a1);
  dns_add_A(p, DNS_RRS_AN, "unrelated.test", 60, other);
  dns_add_A(p, DNS_RRS_AN, "e1.cdn.test", 60, a2);
  return Encode(p);
}

TEST(CnameTarget, TheChainsEndGetsItsOwnAnswer) {
  std::string target;
  auto out = CnameTargetAnswer(ChainAnswer(), "www.Example.test", DNS_T_A, &target);
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(target, "e1.cdn.test");
  DnsPacketObject obj;
  ASSERT_EQ(obj.Decode(out->data(), static_cast<int>(out->size())), 0);
  const dns_packet* p = obj.get();
  EXPECT_EQ(p->head.qr, 1);
  EXPECT_EQ(p->head.rcode, DNS_RC_NOERROR);
  char name[kDnsNameTextMax];
  int qtype = 0;
  int qclass = 0;
  ASSERT_EQ(
      dns_get_domain(dns_get_rrs_start(p, DNS_RRS_QD, nullptr), name, sizeof name, &qtype, &qclass),
      0);
  EXPECT_STREQ(name, "e1.cdn.test");
  EXPECT_EQ(qtype, DNS_T_A);
  std::vector<std::string> addrs;
  for (const dns_rrs* e = dns_get_rrs_start(p, DNS_RRS_AN, nullptr); e;
       e = dns_get_rrs_next(p, e)) {
    uint8_t a[4];
    int ttl = 0;
    ASSERT_EQ(dns_get_A(e, name, sizeof name, &ttl, a), 0);
    EXPECT_STREQ(name, "e1.cdn.test");
    char text[INET_ADDRSTRLEN];
    addrs.push_back(inet_ntop(AF_INET, a, text, sizeof text));
  }
  EXPECT_EQ(addrs, (std::vector<std::string>{"192.0.2.11", "192.0.2.12"}));
}

TEST(CnameTarget, NothingWithoutAChainRecordsOrSuccess) {
  std::string target;
  // Another type than the records under the target.
  EXPECT_FALSE(CnameTargetAnswer(ChainAnswer(), "www.example.test", DNS_T_AAAA, &target));
  // A name the chain does not start from.
  EXPECT_FALSE(CnameTargetAnswer(ChainAnswer(), "edge2.cdn.test", DNS_T_A, &target));
  // A failure answer.
  EXPECT_FALSE(
      CnameTargetAnswer(ChainAnswer(DNS_RC_SERVFAIL), "www.example.test", DNS_T_A, &target));
  // Garbage.
  EXPECT_FALSE(CnameTargetAnswer({1, 2, 3}, "www.example.test", DNS_T_A, &target));
  // A loop of CNAMEs ends without an answer and without hanging.
  DnsPacketBuffer<> buf;
  dns_packet* p = buf.get();
  dns_head head;
  head.qr = 1;
  dns_packet_init(p, buf.size(), &head);
  dns_add_domain(p, "a.test", DNS_T_A, DNS_C_IN);
  dns_add_CNAME(p, DNS_RRS_AN, "a.test", 60, "b.test");
  dns_add_CNAME(p, DNS_RRS_AN, "b.test", 60, "a.test");
  EXPECT_FALSE(CnameTargetAnswer(Encode(p), "a.test", DNS_T_A, &target));
  EXPECT_TRUE(target.empty());
}

}  // namespace
}  // namespace zc::dns
