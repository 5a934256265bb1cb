#include <algorithm>
#include <cstring>

#include "dns/codec/dns_packet_internal.h"
#include "utils/log.h"

using namespace dns_internal;

namespace {

constexpr int kMaxAreaOffset = kDnsPacketObjectMax;

uint32_t* ListHead(dns_packet* p, int section) {
  return section == DNS_RRS_OPT ? &p->optional : &p->list_head[section];
}
uint32_t* ListTail(dns_packet* p, int section) {
  return section == DNS_RRS_OPT ? &p->opt_tail : &p->list_tail[section];
}
uint16_t* ListCount(dns_packet* p, int section) {
  switch (section) {
    case DNS_RRS_QD:
      return &p->head.qdcount;
    case DNS_RRS_AN:
      return &p->head.ancount;
    case DNS_RRS_NS:
      return &p->head.nscount;
    case DNS_RRS_NR:
      return &p->head.nrcount;
    default:
      return &p->optcount;
  }
}

bool ValidSection(int section) {
  return section >= DNS_RRS_QD && section < DNS_RRS_END;
}

int AddRecord(dns_packet* packet, int section, const char* domain, uint16_t type, int ttl,
              const void* rdata, int rdlen) {
  if (!ValidSection(section) || section == DNS_RRS_QD || section == DNS_RRS_OPT) return -1;
  uint8_t owner[kDnsWireNameMax];
  int owner_len = 0;
  if (dns_name_from_text(domain ? domain : "", owner, &owner_len) != 0) return -1;
  EntryWriter w(packet, section, type);
  w.Name(owner, owner_len);
  w.U16(type);
  w.U16(DNS_C_IN);
  w.U32(static_cast<uint32_t>(ttl));
  w.U16(static_cast<uint16_t>(rdlen));
  w.Bytes(rdata, rdlen);
  return w.Commit();
}

// Record whose data is one name (CNAME, PTR, NS), stored compressed in the record area.
int AddNameRecord(dns_packet* packet, int section, const char* domain, uint16_t type, int ttl,
                  const char* target) {
  if (!ValidSection(section) || section == DNS_RRS_QD || section == DNS_RRS_OPT) return -1;
  uint8_t owner[kDnsWireNameMax];
  uint8_t wire[kDnsWireNameMax];
  int owner_len = 0;
  int wire_len = 0;
  if (dns_name_from_text(domain ? domain : "", owner, &owner_len) != 0 ||
      dns_name_from_text(target ? target : "", wire, &wire_len) != 0)
    return -1;
  EntryWriter w(packet, section, type);
  w.Name(owner, owner_len);
  w.U16(type);
  w.U16(DNS_C_IN);
  w.U32(static_cast<uint32_t>(ttl));
  int rdlen_at = w.pos();
  w.U16(0);
  int start = w.pos();
  w.Name(wire, wire_len);
  if (!w.ok()) return -1;
  Put16(w.at(rdlen_at), static_cast<uint16_t>(w.pos() - start));
  return w.Commit();
}

int GetNameRecord(const dns_rrs* rrs, uint16_t type, char* domain, int maxsize, int* ttl,
                  char* target, int target_size) {
  RecordView v;
  if (rrs->type != type || ReadRecord(rrs, &v) != 0) return -1;
  const dns_packet* p = OwnerOf(rrs);
  int off = v.rdata_off;
  if (dns_name_to_text(v.owner, v.owner_len, domain, maxsize) != 0 ||
      dns_name_read_text(Area(p), p->len, &off, target, target_size) != 0)
    return -1;
  *ttl = static_cast<int>(v.ttl);
  return 0;
}

}  // namespace

namespace dns_internal {

int EntryWriter::Commit() {
  if (!ok_ || start_ > kMaxAreaOffset) return -1;
  dns_rrs* e = reinterpret_cast<dns_rrs*>(Area(packet_) + start_);
  e->packet_off =
      static_cast<uint32_t>(reinterpret_cast<uint8_t*>(e) - reinterpret_cast<uint8_t*>(packet_));
  e->next = kDnsListEnd;
  e->len = static_cast<uint32_t>(pos_ - start_ - static_cast<int>(sizeof(dns_rrs)));
  e->type = type_;
  e->section = static_cast<uint16_t>(section_);
  uint32_t* head = ListHead(packet_, section_);
  uint32_t* tail = ListTail(packet_, section_);
  if (*head == kDnsListEnd) {
    *head = static_cast<uint32_t>(start_);
  } else {
    reinterpret_cast<dns_rrs*>(Area(packet_) + *tail)->next = static_cast<uint32_t>(start_);
  }
  *tail = static_cast<uint32_t>(start_);
  (*ListCount(packet_, section_))++;
  packet_->len = pos_;
  committed_ = true;
  return 0;
}

int ReadRecord(const dns_rrs* rrs, RecordView* v) {
  if (rrs->section == DNS_RRS_QD || rrs->section == DNS_RRS_OPT) return -1;
  const dns_packet* p = OwnerOf(rrs);
  int off = DataOffset(rrs);
  int end = off + rrs->len;
  if (dns_name_expand(Area(p), end, &off, v->owner, &v->owner_len) != 0) return -1;
  if (off + 10 > end) return -1;
  const uint8_t* d = Area(p) + off;
  v->type = Get16(d);
  v->rclass = Get16(d + 2);
  v->ttl = Get32(d + 4);
  v->rdlen = Get16(d + 8);
  v->rdata_off = off + 10;
  if (v->rdata_off + v->rdlen > end) return -1;
  return 0;
}

}  // namespace dns_internal

int dns_packet_init(dns_packet* packet, int size, const dns_head* head) {
  if (!packet || size < static_cast<int>(sizeof(dns_packet)) ||
      size - static_cast<int>(sizeof(dns_packet)) > kMaxAreaOffset)
    return -1;
  // The record area is written before it is ever read; only the header needs clearing.
  std::memset(static_cast<void*>(packet), 0, sizeof(dns_packet));
  if (head) {
    packet->head.id = head->id;
    packet->head.qr = head->qr;
    packet->head.opcode = head->opcode;
    packet->head.aa = head->aa;
    packet->head.tc = head->tc;
    packet->head.rd = head->rd;
    packet->head.ra = head->ra;
    packet->head.ad = head->ad;
    packet->head.cd = head->cd;
    packet->head.rcode = head->rcode;
  }
  for (int i = 0; i < 4; i++) packet->list_head[i] = packet->list_tail[i] = kDnsListEnd;
  packet->optional = packet->opt_tail = kDnsListEnd;
  packet->payloadsize = 0;
  packet->size = size;
  packet->len = 0;
  return 0;
}

int dns_add_domain(dns_packet* packet, const char* domain, int qtype, int qclass) {
  uint8_t wire[kDnsWireNameMax];
  int wire_len = 0;
  if (dns_name_from_text(domain ? domain : "", wire, &wire_len) != 0) return -1;
  EntryWriter w(packet, DNS_RRS_QD, static_cast<uint16_t>(qtype));
  w.Name(wire, wire_len);
  w.U16(static_cast<uint16_t>(qtype));
  w.U16(static_cast<uint16_t>(qclass));
  return w.Commit();
}

int dns_add_A(dns_packet* packet, dns_section section, const char* domain, int ttl,
              const unsigned char addr[4]) {
  if (AddRecord(packet, section, domain, DNS_T_A, ttl, addr, 4) != 0) {
    LogOut(LL_ERR, "add A failed, %s", domain ? domain : "");
    return -1;
  }
  return 0;
}

int dns_add_AAAA(dns_packet* packet, dns_section section, const char* domain, int ttl,
                 const unsigned char addr[16]) {
  if (AddRecord(packet, section, domain, DNS_T_AAAA, ttl, addr, 16) != 0) {
    LogOut(LL_ERR, "add AAAA failed, %s", domain ? domain : "");
    return -1;
  }
  return 0;
}

int dns_add_CNAME(dns_packet* packet, dns_section section, const char* domain, int ttl,
                  const char* cname) {
  if (AddNameRecord(packet, section, domain, DNS_T_CNAME, ttl, cname) != 0) {
    LogOut(LL_ERR, "add CNAME failed, %s", domain ? domain : "");
    return -1;
  }
  return 0;
}

int dns_add_PTR(dns_packet* packet, dns_section section, const char* domain, int ttl,
                const char* name) {
  if (AddNameRecord(packet, section, domain, DNS_T_PTR, ttl, name) != 0) {
    LogOut(LL_ERR, "add PTR failed, %s", domain ? domain : "");
    return -1;
  }
  return 0;
}

int dns_add_NS(dns_packet* packet, dns_section section, const char* domain, int ttl,
               const char* name) {
  if (AddNameRecord(packet, section, domain, DNS_T_NS, ttl, name) != 0) {
    LogOut(LL_ERR, "add NS failed, %s", domain ? domain : "");
    return -1;
  }
  return 0;
}

int dns_add_SOA(dns_packet* packet, dns_section section, const char* domain, int ttl,
                const dns_soa* soa) {
  uint8_t owner[kDnsWireNameMax];
  uint8_t mname[kDnsWireNameMax];
  uint8_t rname[kDnsWireNameMax];
  int owner_len = 0;
  int mname_len = 0;
  int rname_len = 0;
  bool ok = ValidSection(section) && section != DNS_RRS_QD && section != DNS_RRS_OPT &&
            dns_name_from_text(domain ? domain : "", owner, &owner_len) == 0 &&
            dns_name_from_text(soa->mname, mname, &mname_len) == 0 &&
            dns_name_from_text(soa->rname, rname, &rname_len) == 0;
  if (ok) {
    EntryWriter w(packet, section, DNS_T_SOA);
    w.Name(owner, owner_len);
    w.U16(DNS_T_SOA);
    w.U16(DNS_C_IN);
    w.U32(static_cast<uint32_t>(ttl));
    int rdlen_at = w.pos();
    w.U16(0);
    int start = w.pos();
    w.Name(mname, mname_len);
    w.Name(rname, rname_len);
    w.U32(soa->serial);
    w.U32(soa->refresh);
    w.U32(soa->retry);
    w.U32(soa->expire);
    w.U32(soa->minimum);
    if (w.ok()) {
      Put16(w.at(rdlen_at), static_cast<uint16_t>(w.pos() - start));
      if (w.Commit() == 0) return 0;
    }
  }
  LogOut(LL_ERR, "add SOA failed, %s", domain ? domain : "");
  return -1;
}

int dns_add_RAW(dns_packet* packet, dns_section section, const char* domain, int type, int ttl,
                const void* data, int len) {
  if (len < 0 || len > kDnsMaxRawData ||
      AddRecord(packet, section, domain, static_cast<uint16_t>(type), ttl, data, len) != 0) {
    LogOut(LL_ERR, "add raw failed, %s", domain ? domain : "");
    return -1;
  }
  return 0;
}

int dns_set_OPT_payload_size(dns_packet* packet, int size) {
  if (size < kDnsMinPayload) size = kDnsMinPayload;
  if (size > 0xFFFF) size = 0xFFFF;
  packet->payloadsize = static_cast<uint16_t>(size);
  return 0;
}

int dns_get_OPT_payload_size(const dns_packet* packet) {
  return packet->payloadsize;
}

int dns_add_OPT_ECS(dns_packet* packet, const dns_opt_ecs* ecs) {
  int max_prefix = ecs->family == 1 ? 32 : ecs->family == 2 ? 128 : -1;
  if (max_prefix < 0 || ecs->source_prefix > max_prefix || ecs->scope_prefix > max_prefix) {
    LogOut(LL_ERR, "add ecs failed.");
    return -1;
  }
  int addr_len = (ecs->source_prefix + 7) / 8;
  EntryWriter w(packet, DNS_RRS_OPT, DNS_OPT_T_ECS);
  w.U16(DNS_OPT_T_ECS);
  w.U16(static_cast<uint16_t>(4 + addr_len));
  w.U16(ecs->family);
  uint8_t prefixes[2] = {ecs->source_prefix, ecs->scope_prefix};
  w.Bytes(prefixes, 2);
  w.Bytes(ecs->addr, addr_len);
  if (w.Commit() != 0) {
    LogOut(LL_ERR, "add ecs failed.");
    return -1;
  }
  return 0;
}

int dns_add_OPT_TCP_KEEYALIVE(dns_packet* packet, unsigned short timeout) {
  EntryWriter w(packet, DNS_RRS_OPT, DNS_OPT_T_TCP_KEEPALIVE);
  w.U16(DNS_OPT_T_TCP_KEEPALIVE);
  w.U16(timeout ? 2 : 0);
  if (timeout) w.U16(timeout);
  return w.Commit();
}

int dns_get_OPT_TCP_KEEYALIVE(const dns_rrs*, unsigned short*) {
  return -1;
}

dns_rrs* dns_get_rrs_start(dns_packet* packet, int section, int* count) {
  if (!ValidSection(section)) return nullptr;
  if (count) *count = *ListCount(packet, section);
  uint32_t head = *ListHead(packet, section);
  return head == kDnsListEnd ? nullptr : reinterpret_cast<dns_rrs*>(Area(packet) + head);
}

dns_rrs* dns_get_rrs_next(dns_packet* packet, dns_rrs* rrs) {
  if (!rrs || rrs->next == kDnsListEnd) return nullptr;
  return reinterpret_cast<dns_rrs*>(Area(packet) + rrs->next);
}

const dns_rrs* dns_get_rrs_start(const dns_packet* packet, int section, int* count) {
  return dns_get_rrs_start(const_cast<dns_packet*>(packet), section, count);
}

const dns_rrs* dns_get_rrs_next(const dns_packet* packet, const dns_rrs* rrs) {
  return dns_get_rrs_next(const_cast<dns_packet*>(packet), const_cast<dns_rrs*>(rrs));
}

int dns_get_domain(const dns_rrs* rrs, char* domain, int maxsize, int* qtype, int* qclass) {
  if (rrs->section != DNS_RRS_QD) return -1;
  const dns_packet* p = OwnerOf(rrs);
  int off = DataOffset(rrs);
  int end = off + rrs->len;
  if (dns_name_read_text(Area(p), end, &off, domain, maxsize) != 0 || off + 4 > end) return -1;
  *qtype = Get16(Area(p) + off);
  *qclass = Get16(Area(p) + off + 2);
  return 0;
}

int dns_get_A(const dns_rrs* rrs, char* domain, int maxsize, int* ttl, unsigned char addr[4]) {
  RecordView v;
  if (rrs->type != DNS_T_A || ReadRecord(rrs, &v) != 0 || v.rdlen != 4 ||
      dns_name_to_text(v.owner, v.owner_len, domain, maxsize) != 0)
    return -1;
  *ttl = static_cast<int>(v.ttl);
  std::memcpy(addr, Area(OwnerOf(rrs)) + v.rdata_off, 4);
  return 0;
}

int dns_get_AAAA(const dns_rrs* rrs, char* domain, int maxsize, int* ttl, unsigned char addr[16]) {
  RecordView v;
  if (rrs->type != DNS_T_AAAA || ReadRecord(rrs, &v) != 0 || v.rdlen != 16 ||
      dns_name_to_text(v.owner, v.owner_len, domain, maxsize) != 0)
    return -1;
  *ttl = static_cast<int>(v.ttl);
  std::memcpy(addr, Area(OwnerOf(rrs)) + v.rdata_off, 16);
  return 0;
}

int dns_get_CNAME(const dns_rrs* rrs, char* domain, int maxsize, int* ttl, char* cname,
                  int cname_size) {
  return GetNameRecord(rrs, DNS_T_CNAME, domain, maxsize, ttl, cname, cname_size);
}

int dns_get_PTR(const dns_rrs* rrs, char* domain, int maxsize, int* ttl, char* name,
                int name_size) {
  return GetNameRecord(rrs, DNS_T_PTR, domain, maxsize, ttl, name, name_size);
}

int dns_get_NS(const dns_rrs* rrs, char* domain, int maxsize, int* ttl, char* name, int name_size) {
  return GetNameRecord(rrs, DNS_T_NS, domain, maxsize, ttl, name, name_size);
}

int dns_get_SOA(const dns_rrs* rrs, char* domain, int maxsize, int* ttl, dns_soa* soa) {
  RecordView v;
  if (rrs->type != DNS_T_SOA || ReadRecord(rrs, &v) != 0) return -1;
  const dns_packet* p = OwnerOf(rrs);
  int off = v.rdata_off;
  int end = v.rdata_off + v.rdlen;
  if (dns_name_to_text(v.owner, v.owner_len, domain, maxsize) != 0 ||
      dns_name_read_text(Area(p), end, &off, soa->mname, sizeof soa->mname) != 0 ||
      dns_name_read_text(Area(p), end, &off, soa->rname, sizeof soa->rname) != 0 || off + 20 > end)
    return -1;
  const uint8_t* d = Area(p) + off;
  soa->serial = Get32(d);
  soa->refresh = Get32(d + 4);
  soa->retry = Get32(d + 8);
  soa->expire = Get32(d + 12);
  soa->minimum = Get32(d + 16);
  *ttl = static_cast<int>(v.ttl);
  return 0;
}

int dns_get_RAW(const dns_rrs* rrs, char* domain, int maxsize, int* rclass, int* ttl,
                const unsigned char** data, int* data_len) {
  RecordView v;
  if (ReadRecord(rrs, &v) != 0 || dns_name_to_text(v.owner, v.owner_len, domain, maxsize) != 0)
    return -1;
  if (rclass) *rclass = v.rclass;
  if (ttl) *ttl = static_cast<int>(v.ttl);
  *data = Area(OwnerOf(rrs)) + v.rdata_off;
  *data_len = v.rdlen;
  return 0;
}

int dns_get_OPT_ECS(const dns_rrs* rrs, unsigned short* opt_code, unsigned short* opt_len,
                    dns_opt_ecs* ecs) {
  if (rrs->section != DNS_RRS_OPT || rrs->type != DNS_OPT_T_ECS) return -1;
  if (rrs->len < 4 + 4 || rrs->len > 256) return -1;
  const uint8_t* d = DataOf(rrs);
  uint16_t len = Get16(d + 2);
  if (len < 4 || 4u + len != rrs->len) return -1;
  dns_opt_ecs out;
  out.family = Get16(d + 4);
  out.source_prefix = d[6];
  out.scope_prefix = d[7];
  int addr_len = len - 4;
  if (addr_len > 16) return -1;
  std::memcpy(out.addr, d + 8, addr_len);
  *ecs = out;
  if (opt_code) *opt_code = DNS_OPT_T_ECS;
  if (opt_len) *opt_len = len;
  return 0;
}

int dns_packet_object_size(int message_len) {
  // A decoded record takes an entry header and its names written out: about twice its wire
  // size for ordinary answers; four times leaves room for names stored whole.
  int64_t want = static_cast<int64_t>(sizeof(dns_packet)) + 4 * static_cast<int64_t>(message_len) +
                 kDnsWireNameMax * 4;
  if (want <= kDnsPacketObjectSize) return kDnsPacketObjectSize;
  return static_cast<int>(std::min<int64_t>(want, kDnsPacketObjectMax));
}

int DnsPacketObject::Decode(const unsigned char* data, int len) {
  int size = dns_packet_object_size(len);
  if (size <= kDnsPacketObjectSize) {
    packet_ = inline_.get();
    return dns_decode(packet_, inline_.size(), data, len);
  }
  heap_.reset(new unsigned char[size]);
  packet_ = reinterpret_cast<dns_packet*>(heap_.get());
  return dns_decode(packet_, size, data, len);
}
