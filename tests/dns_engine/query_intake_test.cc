// The direct read of a client's query gives what the full decoder gives, for the usual queries
// it reads itself and for every message it leaves to the decoder.
#include "dns/engine/query_intake.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using zc::dns::ClientQuery;
using zc::dns::QueryReadResult;

std::vector<uint8_t> Name(const std::vector<std::string>& labels) {
  std::vector<uint8_t> out;
  for (const std::string& l : labels) {
    out.push_back(static_cast<uint8_t>(l.size()));
    out.insert(out.end(), l.begin(), l.end());
  }
  out.push_back(0);
  return out;
}

void Put16(std::vector<uint8_t>* m, uint16_t v) {
  m->push_back(static_cast<uint8_t>(v >> 8));
  m->push_back(static_cast<uint8_t>(v));
}

struct Shape {
  uint8_t flags2 = 0x01;  // RD
  uint8_t flags3 = 0x00;
  uint16_t qd = 1, an = 0, ns = 0, ar = 0;
  std::vector<std::string> labels = {"WwW", "Example", "test"};
  uint16_t qtype = 1;
  bool opt = false;
  uint8_t opt_owner = 0;
  uint16_t payload = 1232;
  uint32_t opt_ttl = 0;
  std::vector<uint8_t> options;
  std::vector<uint8_t> tail;
};

std::vector<uint8_t> Build(const Shape& s) {
  std::vector<uint8_t> m = {0x12, 0x34, s.flags2, s.flags3};
  Put16(&m, s.qd);
  Put16(&m, s.an);
  Put16(&m, s.ns);
  Put16(&m, static_cast<uint16_t>(s.ar + (s.opt ? 1 : 0)));
  std::vector<uint8_t> name = Name(s.labels);
  m.insert(m.end(), name.begin(), name.end());
  Put16(&m, s.qtype);
  Put16(&m, 1);
  if (s.opt) {
    m.push_back(s.opt_owner);
    Put16(&m, 41);
    Put16(&m, s.payload);
    Put16(&m, static_cast<uint16_t>(s.opt_ttl >> 16));
    Put16(&m, static_cast<uint16_t>(s.opt_ttl));
    Put16(&m, static_cast<uint16_t>(s.options.size()));
    m.insert(m.end(), s.options.begin(), s.options.end());
  }
  m.insert(m.end(), s.tail.begin(), s.tail.end());
  return m;
}

void ExpectSame(const std::vector<uint8_t>& m, const char* what) {
  ClientQuery direct, decoded;
  QueryReadResult a = zc::dns::ReadClientQuery(m.data(), static_cast<int>(m.size()), &direct);
  QueryReadResult b =
      zc::dns::ReadClientQueryDecoded(m.data(), static_cast<int>(m.size()), &decoded);
  ASSERT_EQ(a, b) << what;
  if (a != QueryReadResult::kOk) return;
  EXPECT_EQ(direct.id, decoded.id) << what;
  EXPECT_EQ(direct.opcode, decoded.opcode) << what;
  EXPECT_EQ(direct.rd, decoded.rd) << what;
  EXPECT_EQ(direct.cd, decoded.cd) << what;
  EXPECT_EQ(direct.payloadsize, decoded.payloadsize) << what;
  EXPECT_EQ(direct.edns_flags, decoded.edns_flags) << what;
  EXPECT_EQ(direct.ecs.has_value(), decoded.ecs.has_value()) << what;
  EXPECT_STREQ(direct.name, decoded.name) << what;
  ASSERT_EQ(direct.qname_len, decoded.qname_len) << what;
  EXPECT_EQ(std::memcmp(direct.qname, decoded.qname, static_cast<size_t>(direct.qname_len)), 0)
      << what;
  EXPECT_EQ(direct.qtype, decoded.qtype) << what;
  EXPECT_EQ(direct.qclass, decoded.qclass) << what;
}

TEST(QueryIntake, DirectReadAgreesWithTheDecoder) {
  Shape plain;
  ExpectSame(Build(plain), "plain");
  Shape edns = plain;
  edns.opt = true;
  ExpectSame(Build(edns), "edns");
  Shape small = edns;
  small.payload = 100;  // raised to 512
  ExpectSame(Build(small), "small payload");
  Shape dnssec = edns;
  dnssec.opt_ttl = 0x8000;  // DO
  dnssec.flags3 = 0x10;     // CD
  ExpectSame(Build(dnssec), "do+cd");
  Shape odd = plain;
  odd.labels = {"a.b", std::string("c\\d\x01", 4), "test"};  // escapes in the text
  ExpectSame(Build(odd), "escaped labels");
  Shape root = plain;
  root.labels = {};
  ExpectSame(Build(root), "root");
  Shape trailing = edns;
  trailing.tail = {1, 2, 3};
  ExpectSame(Build(trailing), "trailing bytes");
  Shape opcode = plain;
  opcode.flags2 = 0x11;  // opcode 2
  ExpectSame(Build(opcode), "opcode");

  // Left to the decoder.
  Shape cookie = edns;
  cookie.options = {0, 10, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8};
  ExpectSame(Build(cookie), "cookie");
  Shape bad_cookie = edns;
  bad_cookie.options = {0, 10, 0, 3, 1, 2, 3};
  ExpectSame(Build(bad_cookie), "bad cookie");
  Shape ecs = edns;
  ecs.options = {0, 8, 0, 7, 0, 1, 24, 0, 192, 0, 2};
  ExpectSame(Build(ecs), "client subnet");
  Shape extended = edns;
  extended.opt_ttl = 0x01000000;  // extended rcode bits: refused by the decoder
  ExpectSame(Build(extended), "extended rcode");
  Shape owner = edns;
  owner.opt_owner = 1;  // not the root: a broken name
  ExpectSame(Build(owner), "opt owner");
  Shape response = plain;
  response.flags2 = 0x81;
  ExpectSame(Build(response), "response");
  Shape two = plain;
  two.qd = 2;
  ExpectSame(Build(two), "two questions");
  Shape none = plain;
  none.qd = 0;
  ExpectSame(Build(none), "no question");
  Shape answer = plain;
  answer.an = 1;  // claims a record that is not there
  ExpectSame(Build(answer), "missing answer");
  Shape extra = edns;
  extra.ar = 1;  // a second additional record that is not there
  ExpectSame(Build(extra), "missing additional");
  std::vector<uint8_t> cut = Build(edns);
  for (size_t n = 0; n < cut.size(); ++n) {
    ExpectSame(std::vector<uint8_t>(cut.begin(), cut.begin() + static_cast<long>(n)), "cut");
  }
}

}  // namespace

namespace {

// What the packet encoder writes for the same query.
std::vector<uint8_t> Encoded(const char* domain, uint16_t id, bool cd, bool dnssec_ok,
                             uint16_t qtype) {
  DnsPacketBuffer<> buf;
  dns_packet* p = buf.get();
  dns_head head;
  head.id = id;
  head.rd = 1;
  head.cd = cd;
  dns_packet_init(p, buf.size(), &head);
  if (dnssec_ok) p->edns_flags = kDnsEdnsDo;
  std::vector<uint8_t> wire(kDnsMessageMax);
  if (dns_add_domain(p, domain, qtype, DNS_C_IN) != 0 || dns_set_OPT_payload_size(p, 4096) != 0) {
    return {};
  }
  int len = dns_encode(wire.data(), static_cast<int>(wire.size()), p);
  wire.resize(len < 0 ? 0 : static_cast<size_t>(len));
  return wire;
}

TEST(QueryIntake, UpstreamQueryIsWhatTheEncoderWrites) {
  for (const char* domain : {"www.Example.test", "a", "x.y.z.example.org", "."}) {
    for (int flags = 0; flags < 4; ++flags) {
      bool cd = flags & 1, dnssec_ok = flags & 2;
      uint8_t qname[kDnsWireNameMax];
      int qname_len = 0;
      ASSERT_EQ(dns_name_from_text(domain, qname, &qname_len), 0) << domain;
      std::vector<uint8_t> out(kDnsMessageMax);
      int len = zc::dns::BuildUpstreamQuery(0xbeef, cd, dnssec_ok, qname, qname_len, 28, 4096,
                                            out.data(), static_cast<int>(out.size()));
      ASSERT_GT(len, 0);
      out.resize(static_cast<size_t>(len));
      EXPECT_EQ(out, Encoded(domain, 0xbeef, cd, dnssec_ok, 28)) << domain << " " << flags;
    }
  }
  uint8_t small[20];
  uint8_t qname[] = {3, 'w', 'w', 'w', 0};
  EXPECT_EQ(zc::dns::BuildUpstreamQuery(1, false, false, qname, 5, 1, 4096, small, sizeof small),
            -1);
}

}  // namespace
