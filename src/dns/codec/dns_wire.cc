#include "dns/codec/dns_wire.h"

#include <algorithm>
#include <cstring>

#include "dns/codec/dns_packet_internal.h"

using namespace dns_internal;

namespace {

constexpr uint8_t kTcBit = 0x02;

// Finds the OPT record: its byte span, and whether it is the last record of the message.
struct OptSpan {
  int start = -1;
  int end = -1;
  bool last = false;
  int records_end = 0;
};

int FindOpt(const uint8_t* msg, int len, OptSpan* span) {
  if (len < kDnsHeaderLen) return -1;
  const int counts[4] = {Get16(msg + 4), Get16(msg + 6), Get16(msg + 8), Get16(msg + 10)};
  int pos = kDnsHeaderLen;
  for (int i = 0; i < counts[0]; i++) {
    if (dns_name_skip(msg, len, &pos) != 0 || pos + 4 > len) return -1;
    pos += 4;
  }
  for (int s = 1; s < 4; s++) {
    for (int i = 0; i < counts[s]; i++) {
      int start = pos;
      if (dns_name_skip(msg, len, &pos) != 0 || pos + 10 > len) return -1;
      uint16_t type = Get16(msg + pos);
      int end = pos + 10 + Get16(msg + pos + 8);
      if (end > len) return -1;
      if (type == DNS_T_OPT) {
        if (span->start >= 0) return -1;  // two OPT records
        span->start = start;
        span->end = end;
      }
      pos = end;
    }
  }
  span->records_end = pos;
  span->last = span->start >= 0 && span->end == pos;
  return 0;
}

int AppendOpt(uint8_t* out, int pos, int outsize, uint16_t payload, const dns_opt_ecs* ecs,
              bool dnssec_ok = false) {
  int addr_len = ecs ? (ecs->source_prefix + 7) / 8 : 0;
  int opt_len = ecs ? 4 + 4 + addr_len : 0;
  if (pos + 11 + opt_len > outsize) return -1;
  uint8_t* h = out + pos;
  h[0] = 0;
  Put16(h + 1, DNS_T_OPT);
  Put16(h + 3, std::max<uint16_t>(payload, kDnsMinPayload));
  Put32(h + 5, dnssec_ok ? kDnsEdnsDo : 0);
  Put16(h + 9, static_cast<uint16_t>(opt_len));
  if (ecs) {
    uint8_t* o = h + 11;
    Put16(o, DNS_OPT_T_ECS);
    Put16(o + 2, static_cast<uint16_t>(4 + addr_len));
    Put16(o + 4, ecs->family);
    o[6] = ecs->source_prefix;
    o[7] = ecs->scope_prefix;
    std::memcpy(o + 8, ecs->addr, addr_len);
  }
  Put16(out + 10, static_cast<uint16_t>(Get16(out + 10) + 1));
  return pos + 11 + opt_len;
}

// Re-encodes a reply whose OPT record sits between other records (rare): decode, drop the OPT
// record, encode again.
int RebuildWithoutOpt(const uint8_t* reply, int len, uint8_t* out, int outsize) {
  DnsPacketObject buf;
  if (buf.Decode(reply, len) != 0) return -1;
  dns_packet* p = buf.get();
  p->payloadsize = 0;
  p->optcount = 0;
  p->optional = p->opt_tail = kDnsListEnd;
  return dns_encode(out, outsize, p);
}

}  // namespace

int dns_read_question(const uint8_t* msg, int len, DnsQuestionView* q) {
  if (!msg || len < kDnsHeaderLen) return -1;
  q->id = Get16(msg);
  q->qr = msg[2] >> 7;
  q->opcode = (msg[2] >> 3) & 0x0F;
  q->tc = (msg[2] & kTcBit) != 0;
  q->rcode = msg[3] & 0x0F;
  q->qdcount = Get16(msg + 4);
  q->ancount = Get16(msg + 6);
  q->nscount = Get16(msg + 8);
  q->arcount = Get16(msg + 10);
  if (q->qdcount < 1) return -1;
  int pos = kDnsHeaderLen;
  if (dns_name_expand(msg, len, &pos, q->qname, &q->qname_len) != 0 || pos + 4 > len) return -1;
  q->qtype = Get16(msg + pos);
  q->qclass = Get16(msg + pos + 2);
  q->question_end = pos + 4;
  return 0;
}

bool dns_same_question(const DnsQuestionView& a, const DnsQuestionView& b) {
  return a.qtype == b.qtype && a.qclass == b.qclass &&
         dns_wire_name_equal_nocase(a.qname, a.qname_len, b.qname, b.qname_len);
}

int dns_client_udp_limit(bool client_edns, int client_payload) {
  if (!client_edns) return kDnsMinPayload;
  return std::clamp(client_payload, kDnsMinPayload, kDnsMessageMax);
}

int dns_truncated_reply(const uint8_t* msg, int len, bool edns, uint16_t payload, uint8_t* out,
                        int outsize, bool dnssec_ok) {
  DnsQuestionView q;
  if (dns_read_question(msg, len, &q) != 0) return -1;
  // The question is rewritten uncompressed: it is the first name of the message anyway.
  int qlen = q.qname_len + 4;
  if (kDnsHeaderLen + qlen > outsize) return -1;
  std::memcpy(out, msg, 4);
  out[2] |= kTcBit;
  Put16(out + 4, 1);
  Put16(out + 6, 0);
  Put16(out + 8, 0);
  Put16(out + 10, 0);
  std::memcpy(out + kDnsHeaderLen, q.qname, q.qname_len);
  Put16(out + kDnsHeaderLen + q.qname_len, q.qtype);
  Put16(out + kDnsHeaderLen + q.qname_len + 2, q.qclass);
  int pos = kDnsHeaderLen + qlen;
  if (edns) pos = AppendOpt(out, pos, outsize, payload, nullptr, dnssec_ok);
  return pos;
}

int dns_build_client_reply(const uint8_t* reply, int len, const DnsClientEdit& edit, uint8_t* out,
                           int outsize) {
  OptSpan opt;
  if (FindOpt(reply, len, &opt) != 0) return -1;
  int pos;
  if (opt.start < 0 || opt.last) {
    // The common case: the OPT record, if any, is the last record; cut it off.
    int keep = opt.start >= 0 ? opt.start : opt.records_end;
    if (keep > outsize) return -1;
    std::memcpy(out, reply, keep);
    if (opt.start >= 0) Put16(out + 10, static_cast<uint16_t>(Get16(out + 10) - 1));
    pos = keep;
  } else {
    pos = RebuildWithoutOpt(reply, len, out, outsize);
    if (pos < 0) return -1;
  }
  if (edit.qname) {
    DnsQuestionView q;
    if (dns_read_question(out, pos, &q) == 0 && q.question_end - 4 - kDnsHeaderLen == q.qname_len &&
        dns_wire_name_equal_nocase(q.qname, q.qname_len, edit.qname, edit.qname_len)) {
      std::memcpy(out + kDnsHeaderLen, edit.qname, edit.qname_len);
    }
  }
  constexpr uint8_t kCdBit = 0x10;
  out[3] = static_cast<uint8_t>(edit.checking_disabled ? out[3] | kCdBit : out[3] & ~kCdBit);
  dns_update_param update;
  update.id = edit.id;
  update.ttl = edit.ttl;
  update.ip_addr = edit.a_addr;
  if (dns_packet_update(out, pos, &update) != 0) return -1;
  if (edit.client_edns) {
    pos = AppendOpt(out, pos, outsize, edit.payload, edit.ecs, edit.dnssec_ok);
    if (pos < 0) return -1;
  }
  if (pos > edit.limit) {
    uint8_t copy[kDnsHeaderLen + kDnsWireNameMax + 4];
    DnsQuestionView q;
    if (dns_read_question(out, pos, &q) != 0) return -1;
    std::memcpy(copy, out, std::min<int>(pos, sizeof copy));
    return dns_truncated_reply(copy, std::min<int>(pos, sizeof copy), edit.client_edns,
                               edit.payload, out, outsize, edit.dnssec_ok);
  }
  return pos;
}
