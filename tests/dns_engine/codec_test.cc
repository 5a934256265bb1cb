// Codec: names and their bounds, decode/encode round trips, in-place update, per-client copies.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "dns/codec/dns_name.h"
#include "dns/codec/dns_packet.h"
#include "dns/codec/dns_wire.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Small builder for hand-made wire messages.
struct Msg {
  Bytes b;
  Msg(uint16_t id, uint8_t f2, uint8_t f3, uint16_t qd, uint16_t an, uint16_t ns, uint16_t ar) {
    U16(id);
    b.push_back(f2);
    b.push_back(f3);
    U16(qd);
    U16(an);
    U16(ns);
    U16(ar);
  }
  Msg& U16(uint16_t v) {
    b.push_back(v >> 8);
    b.push_back(v & 0xFF);
    return *this;
  }
  Msg& U32(uint32_t v) { return U16(v >> 16).U16(v & 0xFFFF); }
  Msg& Raw(const Bytes& r) {
    b.insert(b.end(), r.begin(), r.end());
    return *this;
  }
  Msg& Label(const std::string& l) {
    b.push_back(static_cast<uint8_t>(l.size()));
    b.insert(b.end(), l.begin(), l.end());
    return *this;
  }
  Msg& Name(const std::string& dotted) {
    size_t start = 0;
    while (start < dotted.size()) {
      size_t dot = dotted.find('.', start);
      if (dot == std::string::npos) dot = dotted.size();
      Label(dotted.substr(start, dot - start));
      start = dot + 1;
    }
    b.push_back(0);
    return *this;
  }
  Msg& Ptr(uint16_t off) { return U16(0xC000 | off); }
  Msg& Rr(uint16_t type, uint16_t cls, uint32_t ttl, const Bytes& rdata) {
    U16(type).U16(cls).U32(ttl).U16(static_cast<uint16_t>(rdata.size()));
    return Raw(rdata);
  }
};

struct Decoded {
  DnsPacketObject buf;
  int rc = -1;
  explicit Decoded(const Bytes& b) { rc = buf.Decode(b.data(), static_cast<int>(b.size())); }
  dns_packet* p() { return buf.get(); }
};

std::string QuestionName(dns_packet* p) {
  char name[kDnsNameTextMax];
  int qtype = 0, qclass = 0;
  const dns_rrs* q = dns_get_rrs_start(p, DNS_RRS_QD, nullptr);
  if (!q || dns_get_domain(q, name, sizeof name, &qtype, &qclass) != 0) return "<fail>";
  return name;
}

TEST(DnsNames, PresentationFormEscapesAndRoundTrips) {
  // A label holding a dot, a newline and a backslash stays one label and shows no raw control
  // bytes; encoding the text gives the same wire octets back.
  Msg m(1, 0x01, 0, 1, 0, 0, 0);
  m.Label("a.b").Label(std::string("x\ny\\", 4)).Label("test");
  m.b.push_back(0);
  m.U16(DNS_T_A).U16(DNS_C_IN);
  Decoded d(m.b);
  ASSERT_EQ(d.rc, 0);
  EXPECT_EQ(QuestionName(d.p()), "a\\.b.x\\010y\\\\.test");
  uint8_t out[512];
  int n = dns_encode(out, sizeof out, d.p());
  ASSERT_EQ(n, static_cast<int>(m.b.size()));
  EXPECT_EQ(0, std::memcmp(out + 2, m.b.data() + 2, n - 2));

  uint8_t wire[kDnsWireNameMax];
  int len = 0;
  EXPECT_EQ(dns_name_from_text("a\\046b.test.", wire, &len), 0);  // \046 is "."
  EXPECT_EQ(len, 10);
  EXPECT_EQ(wire[0], 3);
  EXPECT_EQ(dns_name_from_text("a..b", wire, &len), -1);
  EXPECT_EQ(dns_name_from_text(".a", wire, &len), -1);
  EXPECT_EQ(dns_name_from_text("a\\256", wire, &len), -1);
  EXPECT_EQ(dns_name_from_text("a\\12", wire, &len), -1);
  EXPECT_EQ(dns_name_from_text(std::string(64, 'x'), wire, &len), -1);
  EXPECT_EQ(dns_name_from_text(std::string(63, 'x'), wire, &len), 0);
  std::string long_name;
  for (int i = 0; i < 4; i++) long_name += std::string(62, 'x') + ".";
  EXPECT_EQ(dns_name_from_text(long_name, wire, &len), 0);  // 4 * 63 + 1 = 253 octets
  EXPECT_EQ(dns_name_from_text(long_name + "ab", wire, &len), -1);
  EXPECT_TRUE(dns_name_equal_nocase("WwW.Example.COM", "www.example.com."));
  EXPECT_FALSE(dns_name_equal_nocase("a.b", "a\\.b"));
  EXPECT_EQ(dns_name_lower("A.TeSt."), "a.test");
}

TEST(DnsNames, ReaderRejectsReservedLabelsLongNamesAndBadPointers) {
  // Label length 64 (a reserved label type) fails.
  Msg bad_label(1, 0x01, 0, 1, 0, 0, 0);
  bad_label.b.push_back(64);
  bad_label.b.insert(bad_label.b.end(), 64, 'a');
  bad_label.b.push_back(0);
  bad_label.U16(1).U16(1);
  EXPECT_EQ(Decoded(bad_label.b).rc, -1);

  // 5 labels of 63 = 321 octets: over 255.
  Msg too_long(1, 0x01, 0, 1, 0, 0, 0);
  for (int i = 0; i < 5; i++) too_long.Label(std::string(63, 'a'));
  too_long.b.push_back(0);
  too_long.U16(1).U16(1);
  EXPECT_EQ(Decoded(too_long.b).rc, -1);

  // A chain of pointers: the answer's owner points to a cell, each cell to the previous one,
  // the first cell to the question name. The cells sit inside a TXT record before it. Four
  // pointers in a row followed by a label pass, five fail.
  auto chain = [](int pointers) {
    Msg out(1, 0x81, 0x80, 1, 2, 0, 0);
    out.Name("a.test").U16(1).U16(1);  // question name at offset 12
    Bytes cells(2 * (pointers - 1), 0);
    out.Ptr(12).Rr(DNS_T_TXT, 1, 60, cells);
    int cells_at = static_cast<int>(out.b.size() - cells.size());
    for (int k = 0; k < pointers - 1; k++) {
      uint16_t target = k == 0 ? 12 : cells_at + 2 * (k - 1);
      out.b[cells_at + 2 * k] = 0xC0 | (target >> 8);
      out.b[cells_at + 2 * k + 1] = target & 0xFF;
    }
    out.Ptr(cells_at + 2 * (pointers - 2)).Rr(DNS_T_A, 1, 60, {1, 2, 3, 4});
    return out.b;
  };
  EXPECT_EQ(Decoded(chain(4)).rc, 0);
  EXPECT_EQ(Decoded(chain(5)).rc, -1);

  // A pointer to itself or forward never loops.
  Msg self(1, 0x01, 0, 1, 0, 0, 0);
  self.Ptr(12).U16(1).U16(1);
  EXPECT_EQ(Decoded(self.b).rc, -1);
  // A pointer running past the end.
  Msg cut(1, 0x01, 0, 1, 0, 0, 0);
  cut.b.push_back(0xC0);
  EXPECT_EQ(Decoded(cut.b).rc, -1);
}

TEST(DnsCodec, BuildEncodeDecodeRoundTrip) {
  DnsPacketBuffer<> buf;
  dns_packet* p = buf.get();
  dns_head head;
  head.id = 0x1234;
  head.qr = 1;
  head.rd = 1;
  head.ra = 1;
  ASSERT_EQ(dns_packet_init(p, buf.size(), &head), 0);
  ASSERT_EQ(dns_add_domain(p, "www.example.com", DNS_T_A, DNS_C_IN), 0);
  ASSERT_EQ(dns_add_CNAME(p, DNS_RRS_AN, "www.example.com", 300, "edge.example.com"), 0);
  const unsigned char a[4] = {192, 0, 2, 1};
  ASSERT_EQ(dns_add_A(p, DNS_RRS_AN, "edge.example.com", 60, a), 0);
  const unsigned char aaaa[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  ASSERT_EQ(dns_add_AAAA(p, DNS_RRS_NR, "edge.example.com", 60, aaaa), 0);
  dns_soa soa{};
  std::strcpy(soa.mname, "ns.example.com");
  std::strcpy(soa.rname, "hostmaster.example.com");
  soa.serial = 7;
  soa.minimum = 86400;
  ASSERT_EQ(dns_add_SOA(p, DNS_RRS_NS, "example.com", 900, &soa), 0);
  ASSERT_EQ(dns_add_NS(p, DNS_RRS_NS, "example.com", 900, "ns.example.com"), 0);
  const uint8_t txt[] = {3, 'a', 'b', 'c'};
  ASSERT_EQ(dns_add_RAW(p, DNS_RRS_NR, "example.com", DNS_T_TXT, 5, txt, sizeof txt), 0);
  dns_opt_ecs ecs;
  ecs.family = 1;
  ecs.source_prefix = 24;
  ecs.addr[0] = 198;
  ecs.addr[1] = 51;
  ecs.addr[2] = 100;
  ASSERT_EQ(dns_add_OPT_ECS(p, &ecs), 0);
  dns_set_OPT_payload_size(p, 1232);

  uint8_t wire[kDnsMessageMax];
  int n = dns_encode(wire, sizeof wire, p);
  ASSERT_GT(n, 0);
  EXPECT_EQ(wire[11], 3);  // additional: AAAA, TXT and the OPT record

  Decoded d(Bytes(wire, wire + n));
  ASSERT_EQ(d.rc, 0);
  dns_packet* q = d.p();
  EXPECT_EQ(q->head.id, 0x1234);
  EXPECT_EQ(q->head.qr, 1);
  EXPECT_EQ(dns_get_OPT_payload_size(q), 1232);
  char name[kDnsNameTextMax];
  char target[kDnsNameTextMax];
  int ttl = 0, count = 0;
  const dns_rrs* r = dns_get_rrs_start(q, DNS_RRS_AN, &count);
  ASSERT_EQ(count, 2);
  ASSERT_EQ(dns_get_CNAME(r, name, sizeof name, &ttl, target, sizeof target), 0);
  EXPECT_STREQ(name, "www.example.com");
  EXPECT_STREQ(target, "edge.example.com");
  EXPECT_EQ(ttl, 300);
  int qtype, qclass;
  EXPECT_EQ(dns_get_domain(r, name, sizeof name, &qtype, &qclass), -1);  // not a question
  r = dns_get_rrs_next(q, r);
  unsigned char got[16];
  ASSERT_EQ(dns_get_A(r, name, sizeof name, &ttl, got), 0);
  EXPECT_EQ(0, std::memcmp(got, a, 4));
  EXPECT_EQ(dns_get_AAAA(r, name, sizeof name, &ttl, got), -1);  // wrong type
  r = dns_get_rrs_start(q, DNS_RRS_NS, &count);
  dns_soa soa2{};
  ASSERT_EQ(dns_get_SOA(r, name, sizeof name, &ttl, &soa2), 0);
  EXPECT_STREQ(soa2.rname, "hostmaster.example.com");
  EXPECT_EQ(soa2.serial, 7u);
  EXPECT_EQ(soa2.minimum, 86400u);
  r = dns_get_rrs_start(q, DNS_RRS_OPT, &count);
  ASSERT_EQ(count, 1);
  dns_opt_ecs ecs2;
  ASSERT_EQ(dns_get_OPT_ECS(r, nullptr, nullptr, &ecs2), 0);
  EXPECT_EQ(ecs2.source_prefix, 24);
  EXPECT_EQ(ecs2.addr[2], 100);
  // Encoding the decoded packet again gives the same bytes.
  uint8_t wire2[kDnsMessageMax];
  ASSERT_EQ(dns_encode(wire2, sizeof wire2, q), n);
  EXPECT_EQ(0, std::memcmp(wire, wire2, n));
}

TEST(DnsCodec, OptRulesAndRawLimits) {
  DnsPacketBuffer<> buf;
  dns_packet* p = buf.get();
  dns_packet_init(p, buf.size(), nullptr);
  dns_set_OPT_payload_size(p, 100);
  EXPECT_EQ(dns_get_OPT_payload_size(p), 512);

  uint8_t wire[kDnsMessageMax];
  dns_packet_init(p, buf.size(), nullptr);
  dns_add_domain(p, "a.test", DNS_T_A, DNS_C_IN);
  int n = dns_encode(wire, sizeof wire, p);
  EXPECT_EQ(wire[11], 0);  // no OPT record when nothing asks for one
  EXPECT_EQ(n, 12 + 8 + 4);

  auto with_opt = [](uint16_t cls, uint32_t ttl, const Bytes& options) {
    Msg m(1, 0x01, 0, 1, 0, 0, 1);
    m.Name("a.test").U16(1).U16(1);
    m.b.push_back(0);
    return m.Rr(DNS_T_OPT, cls, ttl, options).b;
  };
  Decoded small(with_opt(300, 0, {}));
  ASSERT_EQ(small.rc, 0);
  EXPECT_EQ(dns_get_OPT_payload_size(small.p()), 512);
  EXPECT_EQ(Decoded(with_opt(1232, 0x10000, {})).rc, -1);  // extended rcode
  // ECS with source prefix 129 (17 address bytes) and an IPv4 prefix of 33 fail.
  Bytes ecs129 = {0, 8, 0, 21, 0, 2, 129, 0};
  ecs129.insert(ecs129.end(), 17, 0xAB);
  EXPECT_EQ(Decoded(with_opt(4096, 0, ecs129)).rc, -1);
  EXPECT_EQ(Decoded(with_opt(4096, 0, {0, 8, 0, 9, 0, 1, 33, 0, 1, 2, 3, 4, 5})).rc, -1);
  // A cookie of 8 bytes is fine, 9 is not; an unknown option is skipped; a cut header fails.
  EXPECT_EQ(Decoded(with_opt(4096, 0, {0, 10, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8})).rc, 0);
  EXPECT_EQ(Decoded(with_opt(4096, 0, {0, 10, 0, 9, 1, 2, 3, 4, 5, 6, 7, 8, 9})).rc, -1);
  EXPECT_EQ(Decoded(with_opt(4096, 0, {0, 99, 0, 1, 7})).rc, 0);
  EXPECT_EQ(Decoded(with_opt(4096, 0, {0, 99, 0})).rc, -1);

  auto raw = [](int size) {
    Msg m(1, 0x81, 0x80, 1, 1, 0, 0);
    m.Name("a.test").U16(99).U16(1);
    m.Ptr(12).Rr(99, 1, 60, Bytes(size, 0x55));
    return m.b;
  };
  // Any RDATA length the protocol allows is kept and encodes back to the same message.
  for (int size : {1023, 1024, 6800, 65000}) {
    Bytes msg = raw(size);
    Decoded d(msg);
    ASSERT_EQ(d.rc, 0) << size;
    std::vector<uint8_t> out(kDnsStreamMessageMax);
    int n = dns_encode(out.data(), static_cast<int>(out.size()), d.p());
    ASSERT_EQ(n, static_cast<int>(msg.size())) << size;
    EXPECT_TRUE(std::equal(msg.begin(), msg.end(), out.begin())) << size;
  }
  // An A record with 5 bytes of data is damaged.
  Msg bad_a(1, 0x81, 0x80, 1, 1, 0, 0);
  bad_a.Name("a.test").U16(1).U16(1).Ptr(12).Rr(DNS_T_A, 1, 60, {1, 2, 3, 4, 5});
  EXPECT_EQ(Decoded(bad_a.b).rc, -1);
}

TEST(DnsCodec, NearlyFullStreamMessageOfSmallRecordsDecodes) {
  // About 64 KiB of short TXT records with compressed owners: the object grows past the inline
  // size and every record comes back.
  constexpr int kRecords = 4600;
  Msg m(7, 0x81, 0x80, 1, kRecords, 0, 0);
  m.Name("big.test").U16(DNS_T_TXT).U16(1);
  for (int i = 0; i < kRecords; i++) m.Ptr(12).Rr(DNS_T_TXT, 1, 60, {1, static_cast<uint8_t>(i)});
  ASSERT_LE(m.b.size(), static_cast<size_t>(kDnsStreamMessageMax));
  Decoded d(m.b);
  ASSERT_EQ(d.rc, 0);
  int count = 0;
  dns_get_rrs_start(d.p(), DNS_RRS_AN, &count);
  EXPECT_EQ(count, kRecords);
  std::vector<uint8_t> out(kDnsStreamMessageMax);
  ASSERT_EQ(dns_encode(out.data(), static_cast<int>(out.size()), d.p()),
            static_cast<int>(m.b.size()));
}

TEST(DnsCodec, FullPacketObjectFailsCleanly) {
  DnsPacketBuffer<512> buf;
  dns_packet* p = buf.get();
  ASSERT_EQ(dns_packet_init(p, buf.size(), nullptr), 0);
  EXPECT_EQ(dns_packet_init(p, 8, nullptr), -1);
  ASSERT_EQ(dns_add_domain(p, "a.test", DNS_T_A, DNS_C_IN), 0);
  unsigned char a[4] = {10, 0, 0, 1};
  int added = 0;
  char owner[64];
  while (added < 100) {
    std::snprintf(owner, sizeof owner, "host%d.example.test", added);
    if (dns_add_A(p, DNS_RRS_AN, owner, 60, a) != 0) break;
    added++;
  }
  ASSERT_LT(added, 100);
  int count = 0;
  dns_get_rrs_start(p, DNS_RRS_AN, &count);
  EXPECT_EQ(count, added);
  uint8_t wire[kDnsMessageMax];
  int n = dns_encode(wire, sizeof wire, p);
  ASSERT_GT(n, 0);
  Decoded d(Bytes(wire, wire + n));
  ASSERT_EQ(d.rc, 0);
  dns_get_rrs_start(d.p(), DNS_RRS_AN, &count);
  EXPECT_EQ(count, added);
  // The output buffer too small for the message.
  EXPECT_EQ(dns_encode(wire, 40, p), -1);
}

TEST(DnsCodec, InPlaceUpdate) {
  Msg m(0x1111, 0x81, 0x80, 1, 2, 0, 1);
  m.Name("a.test").U16(1).U16(1);
  m.Ptr(12).Rr(DNS_T_A, 1, 100, {10, 0, 0, 1});
  m.Ptr(12).Rr(DNS_T_TXT, 1, 100, {1, 'x'});
  m.b.push_back(0);
  m.Rr(DNS_T_OPT, 1232, 0, {});
  Bytes data = m.b;
  dns_update_param up;
  up.id = 0xBEEF;
  up.ttl = -1;
  inet_pton(AF_INET, "127.0.0.1", &up.ip_addr);
  ASSERT_EQ(dns_packet_update(data.data(), data.size(), &up), 0);
  Decoded d(data);
  ASSERT_EQ(d.rc, 0);
  EXPECT_EQ(d.p()->head.id, 0xBEEF);
  const dns_rrs* r = dns_get_rrs_start(d.p(), DNS_RRS_AN, nullptr);
  char name[256];
  int ttl;
  unsigned char a[4];
  ASSERT_EQ(dns_get_A(r, name, sizeof name, &ttl, a), 0);
  EXPECT_EQ(ttl, 100);
  EXPECT_EQ(a[0], 127);

  up.ttl = 60;
  up.ip_addr = 0;
  ASSERT_EQ(dns_packet_update(data.data(), data.size(), &up), 0);
  Decoded d2(data);
  ASSERT_EQ(d2.rc, 0);
  for (const dns_rrs* e = dns_get_rrs_start(d2.p(), DNS_RRS_AN, nullptr); e;
       e = dns_get_rrs_next(d2.p(), e)) {
    const unsigned char* raw;
    int raw_len, cls;
    ASSERT_EQ(dns_get_RAW(e, name, sizeof name, &cls, &ttl, &raw, &raw_len), 0);
    EXPECT_EQ(ttl, 60);
  }
  EXPECT_EQ(dns_get_OPT_payload_size(d2.p()), 1232);  // the OPT class is left alone
  // The OPT TTL field stays 0.
  EXPECT_EQ(0, std::memcmp(&data[data.size() - 6], "\0\0\0\0", 4));
  // A record running past the end is refused.
  Bytes cut(data.begin(), data.end() - 3);
  EXPECT_EQ(dns_packet_update(cut.data(), cut.size(), &up), -1);
}

Bytes UpstreamAnswer(bool opt_last, int txt_records) {
  Msg m(7, 0x81, 0x80, 1, static_cast<uint16_t>(txt_records), 0, opt_last ? 2 : 2);
  m.Name("big.test").U16(DNS_T_TXT).U16(1);
  for (int i = 0; i < txt_records; i++) {
    Bytes txt(201, 'x');
    txt[0] = 200;
    m.Ptr(12).Rr(DNS_T_TXT, 1, 300, txt);
  }
  Bytes ecs = {0, 8, 0, 7, 0, 1, 24, 24, 10, 1, 2};
  if (opt_last) {
    m.Ptr(12).Rr(DNS_T_A, 1, 300, {10, 0, 0, 9});
    m.b.push_back(0);
    m.Rr(DNS_T_OPT, 1232, 0, ecs);
  } else {
    m.b.push_back(0);
    m.Rr(DNS_T_OPT, 1232, 0, ecs);
    m.Ptr(12).Rr(DNS_T_A, 1, 300, {10, 0, 0, 9});
  }
  return m.b;
}

TEST(DnsWire, DnssecFlagsSurviveDecodeEncodeAndTheClientCopy) {
  // A query with CD in the header and DO in the OPT record.
  Msg m(5, 0x01, 0x10, 1, 0, 0, 1);
  m.Name("a.test").U16(DNS_T_A).U16(1);
  m.b.push_back(0);
  m.Rr(DNS_T_OPT, 1232, kDnsEdnsDo, {});
  Decoded d(m.b);
  ASSERT_EQ(d.rc, 0);
  EXPECT_EQ(d.p()->head.cd, 1);
  EXPECT_EQ(d.p()->edns_flags & kDnsEdnsDo, kDnsEdnsDo);
  uint8_t wire[kDnsMessageMax];
  int n = dns_encode(wire, sizeof wire, d.p());
  ASSERT_EQ(n, static_cast<int>(m.b.size()));
  EXPECT_TRUE(std::equal(m.b.begin(), m.b.end(), wire));

  // The client's copy carries the client's DO and CD, whatever the upstream answer had.
  Bytes up = UpstreamAnswer(true, 1);
  DnsClientEdit edit;
  edit.client_edns = true;
  edit.dnssec_ok = true;
  edit.checking_disabled = true;
  uint8_t out[kDnsMessageMax];
  n = dns_build_client_reply(up.data(), up.size(), edit, out, sizeof out);
  ASSERT_GT(n, 0);
  Decoded c(Bytes(out, out + n));
  ASSERT_EQ(c.rc, 0);
  EXPECT_EQ(c.p()->head.cd, 1);
  EXPECT_EQ(c.p()->edns_flags & kDnsEdnsDo, kDnsEdnsDo);
  edit.dnssec_ok = edit.checking_disabled = false;
  n = dns_build_client_reply(up.data(), up.size(), edit, out, sizeof out);
  Decoded plain(Bytes(out, out + n));
  ASSERT_EQ(plain.rc, 0);
  EXPECT_EQ(plain.p()->head.cd, 0);
  EXPECT_EQ(plain.p()->edns_flags, 0);
}

TEST(DnsWire, ClientCopyRewritesOptAndTruncates) {
  for (bool opt_last : {true, false}) {
    Bytes up = UpstreamAnswer(opt_last, 1);
    uint8_t out[kDnsMessageMax];
    // A client without EDNS gets no OPT record at all.
    DnsClientEdit plain;
    plain.id = 42;
    plain.ttl = 30;
    int n = dns_build_client_reply(up.data(), up.size(), plain, out, sizeof out);
    ASSERT_GT(n, 0);
    Decoded d(Bytes(out, out + n));
    ASSERT_EQ(d.rc, 0);
    EXPECT_EQ(d.p()->head.id, 42);
    EXPECT_EQ(dns_get_OPT_payload_size(d.p()), 0);
    int count = 0;
    dns_get_rrs_start(d.p(), DNS_RRS_NR, &count);
    EXPECT_EQ(count, opt_last ? 1 : 1);
    // An EDNS client gets its own subnet echoed, not the one the upstream packet carried.
    dns_opt_ecs mine;
    mine.family = 1;
    mine.source_prefix = 16;
    mine.addr[0] = 172;
    mine.addr[1] = 16;
    DnsClientEdit edns = plain;
    edns.client_edns = true;
    edns.ecs = &mine;
    n = dns_build_client_reply(up.data(), up.size(), edns, out, sizeof out);
    ASSERT_GT(n, 0);
    Decoded e(Bytes(out, out + n));
    ASSERT_EQ(e.rc, 0);
    const dns_rrs* o = dns_get_rrs_start(e.p(), DNS_RRS_OPT, &count);
    ASSERT_EQ(count, 1);
    dns_opt_ecs echoed;
    ASSERT_EQ(dns_get_OPT_ECS(o, nullptr, nullptr, &echoed), 0);
    EXPECT_EQ(echoed.source_prefix, 16);
    EXPECT_EQ(echoed.addr[0], 172);
  }
  // 8 TXT records of 200 bytes exceed 512: header + question with TC=1.
  Bytes big = UpstreamAnswer(true, 8);
  uint8_t out[kDnsMessageMax];
  DnsClientEdit edit;
  edit.id = 9;
  edit.limit = dns_client_udp_limit(false, 0);
  int n = dns_build_client_reply(big.data(), big.size(), edit, out, sizeof out);
  ASSERT_GT(n, 0);
  EXPECT_LE(n, 512);
  DnsQuestionView q;
  ASSERT_EQ(dns_read_question(out, n, &q), 0);
  EXPECT_TRUE(q.tc);
  EXPECT_EQ(q.id, 9);
  EXPECT_EQ(q.ancount, 0);
  EXPECT_EQ(q.arcount, 0);
  EXPECT_EQ(q.qtype, DNS_T_TXT);
  edit.limit = dns_client_udp_limit(true, 4096);
  EXPECT_GT(dns_build_client_reply(big.data(), big.size(), edit, out, sizeof out), 1600);
  EXPECT_EQ(dns_client_udp_limit(true, 100), 512);
  EXPECT_EQ(dns_client_udp_limit(true, 65000), 4096);
}

TEST(DnsWire, QuestionMatchIgnoresCaseOnly) {
  Msg a(5, 0x01, 0, 1, 0, 0, 0);
  a.Name("A.Test").U16(1).U16(1);
  Msg b(5, 0x81, 0x80, 1, 0, 0, 0);
  b.Name("a.test").U16(1).U16(1);
  Msg c(5, 0x81, 0x80, 1, 0, 0, 0);
  c.Name("a.test").U16(28).U16(1);
  DnsQuestionView qa, qb, qc;
  ASSERT_EQ(dns_read_question(a.b.data(), a.b.size(), &qa), 0);
  ASSERT_EQ(dns_read_question(b.b.data(), b.b.size(), &qb), 0);
  ASSERT_EQ(dns_read_question(c.b.data(), c.b.size(), &qc), 0);
  EXPECT_TRUE(dns_same_question(qa, qb));
  EXPECT_FALSE(dns_same_question(qa, qc));
  Msg none(5, 0x81, 0x80, 0, 0, 0, 0);
  EXPECT_EQ(dns_read_question(none.b.data(), none.b.size(), &qa), -1);
}

}  // namespace
