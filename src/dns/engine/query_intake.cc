#include "dns/engine/query_intake.h"

#include <cstring>

#include "dns/codec/dns_wire.h"

namespace zc::dns {
namespace {

constexpr int kHeaderLength = 12;
constexpr uint32_t kMaxOptTtl = 65535;  // extended rcode 0, version 0

uint16_t Get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

// The common shape only; false sends the message through the full decoder.
bool ReadDirect(const uint8_t* data, int len, ClientQuery* q) {
  if (len < kHeaderLength || (data[2] & 0x80) || Get16(data + 4) != 1 || Get16(data + 6) != 0 ||
      Get16(data + 8) != 0 || Get16(data + 10) > 1) {
    return false;
  }
  DnsQuestionView view;
  if (dns_read_question(data, len, &view) != 0) return false;
  uint16_t payload = 0, flags = 0;
  if (Get16(data + 10) == 1) {
    // An OPT record at the root without options: its payload size and flags.
    int pos = view.question_end;
    if (pos + 11 > len || data[pos] != 0 || Get16(data + pos + 1) != DNS_T_OPT) return false;
    uint32_t ttl = static_cast<uint32_t>(Get16(data + pos + 5)) << 16 | Get16(data + pos + 7);
    if (ttl > kMaxOptTtl || Get16(data + pos + 9) != 0) return false;
    payload = Get16(data + pos + 3);
    if (payload < kDnsMinPayload) payload = kDnsMinPayload;
    flags = static_cast<uint16_t>(ttl & 0xFFFF);
  }
  if (dns_name_to_text(view.qname, view.qname_len, q->name, sizeof q->name) != 0) return false;
  q->id = view.id;
  q->opcode = view.opcode;
  q->rd = data[2] & 1;
  q->cd = (data[3] >> 4) & 1;
  q->payloadsize = payload;
  q->edns_flags = flags;
  q->ecs.reset();
  std::memcpy(q->qname, view.qname, static_cast<size_t>(view.qname_len));
  q->qname_len = view.qname_len;
  q->qtype = view.qtype;
  q->qclass = view.qclass;
  return true;
}

}  // namespace

QueryReadResult ReadClientQuery(const uint8_t* data, int len, ClientQuery* q) {
  if (ReadDirect(data, len, q)) return QueryReadResult::kOk;
  return ReadClientQueryDecoded(data, len, q);
}

QueryReadResult ReadClientQueryDecoded(const uint8_t* data, int len, ClientQuery* q) {
  DnsPacketObject buf;
  if (buf.Decode(data, len) != 0) return QueryReadResult::kUndecodable;
  dns_packet* p = buf.get();
  if (p->head.qr || p->head.qdcount != 1) return QueryReadResult::kNotAQuery;
  const dns_rrs* question = dns_get_rrs_start(p, DNS_RRS_QD, nullptr);
  int qtype = 0, qclass = 0;
  if (!question || dns_get_domain(question, q->name, sizeof q->name, &qtype, &qclass) != 0) {
    return QueryReadResult::kNotAQuery;
  }
  q->id = p->head.id;
  q->opcode = static_cast<uint8_t>(p->head.opcode);
  q->rd = p->head.rd;
  q->cd = p->head.cd;
  q->payloadsize = p->payloadsize;
  q->edns_flags = p->edns_flags;
  q->ecs.reset();
  for (const dns_rrs* o = dns_get_rrs_start(p, DNS_RRS_OPT, nullptr); o;
       o = dns_get_rrs_next(p, o)) {
    dns_opt_ecs ecs;
    if (dns_get_OPT_ECS(o, nullptr, nullptr, &ecs) == 0) {
      q->ecs = ecs;
      break;
    }
  }
  dns_name_from_text(q->name, q->qname, &q->qname_len);
  q->qtype = static_cast<uint16_t>(qtype);
  q->qclass = static_cast<uint16_t>(qclass);
  return QueryReadResult::kOk;
}

int BuildUpstreamQuery(uint16_t id, bool checking_disabled, bool dnssec_ok, const uint8_t* qname,
                       int qname_len, uint16_t qtype, uint16_t payload, uint8_t* out, int size) {
  int len = kHeaderLength + qname_len + 4 + 11;
  if (qname_len <= 0 || len > size) return -1;
  const uint8_t header[kHeaderLength] = {static_cast<uint8_t>(id >> 8),
                                         static_cast<uint8_t>(id),
                                         0x01,  // RD
                                         static_cast<uint8_t>(checking_disabled ? 0x10 : 0),
                                         0,
                                         1,
                                         0,
                                         0,
                                         0,
                                         0,
                                         0,
                                         1};
  std::memcpy(out, header, sizeof header);
  uint8_t* p = out + kHeaderLength;
  std::memcpy(p, qname, static_cast<size_t>(qname_len));
  p += qname_len;
  if (payload < kDnsMinPayload) payload = kDnsMinPayload;
  const uint8_t tail[15] = {static_cast<uint8_t>(qtype >> 8),
                            static_cast<uint8_t>(qtype),
                            0,
                            DNS_C_IN,
                            0,  // OPT at the root
                            0,
                            DNS_T_OPT,
                            static_cast<uint8_t>(payload >> 8),
                            static_cast<uint8_t>(payload),
                            0,
                            0,
                            static_cast<uint8_t>(dnssec_ok ? 0x80 : 0),
                            0,
                            0,
                            0};
  std::memcpy(p, tail, sizeof tail);
  return len;
}

}  // namespace zc::dns
