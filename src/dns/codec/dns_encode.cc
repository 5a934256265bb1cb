// Packet object -> wire message, and the in-place update of encoded messages.
#include <cstring>

#include "dns/codec/dns_packet_internal.h"
#include "utils/log.h"

using namespace dns_internal;

namespace {

struct Writer {
  uint8_t* out;
  int size;
  int pos;
  dns_compress_table table;
  bool Room(int n) const { return pos + n <= size; }
};

int EncodeQuestion(Writer* w, const dns_rrs* rrs) {
  const dns_packet* p = OwnerOf(rrs);
  int off = DataOffset(rrs);
  int end = off + rrs->len;
  uint8_t wire[kDnsWireNameMax];
  int wire_len = 0;
  if (dns_name_expand(Area(p), end, &off, wire, &wire_len) != 0 || off + 4 > end) return -1;
  if (dns_name_write(w->out, w->size, &w->pos, wire, wire_len, &w->table) != 0 || !w->Room(4))
    return -1;
  std::memcpy(w->out + w->pos, Area(p) + off, 4);
  w->pos += 4;
  return 0;
}

int CopyName(Writer* w, const dns_packet* p, int* off, int end) {
  uint8_t wire[kDnsWireNameMax];
  int wire_len = 0;
  if (dns_name_expand(Area(p), end, off, wire, &wire_len) != 0) return -1;
  return dns_name_write(w->out, w->size, &w->pos, wire, wire_len, &w->table);
}

int EncodeRecord(Writer* w, const dns_rrs* rrs) {
  RecordView v;
  if (ReadRecord(rrs, &v) != 0) return -1;
  const dns_packet* p = OwnerOf(rrs);
  if (dns_name_write(w->out, w->size, &w->pos, v.owner, v.owner_len, &w->table) != 0 ||
      !w->Room(10))
    return -1;
  uint8_t* h = w->out + w->pos;
  Put16(h, v.type);
  Put16(h + 2, v.rclass);
  Put32(h + 4, v.ttl);
  int rdlen_at = w->pos + 8;
  w->pos += 10;
  int start = w->pos;
  int off = v.rdata_off;
  int end = v.rdata_off + v.rdlen;
  switch (v.type) {
    case DNS_T_NS:
    case DNS_T_CNAME:
    case DNS_T_PTR:
      if (CopyName(w, p, &off, end) != 0) return -1;
      break;
    case DNS_T_MX:
      if (off + 2 > end || !w->Room(2)) return -1;
      std::memcpy(w->out + w->pos, Area(p) + off, 2);
      w->pos += 2;
      off += 2;
      if (CopyName(w, p, &off, end) != 0) return -1;
      break;
    case DNS_T_SOA:
      if (CopyName(w, p, &off, end) != 0 || CopyName(w, p, &off, end) != 0 || off + 20 > end ||
          !w->Room(20))
        return -1;
      std::memcpy(w->out + w->pos, Area(p) + off, 20);
      w->pos += 20;
      break;
    default:
      if (!w->Room(v.rdlen)) return -1;
      std::memcpy(w->out + w->pos, Area(p) + off, v.rdlen);
      w->pos += v.rdlen;
      break;
  }
  Put16(w->out + rdlen_at, static_cast<uint16_t>(w->pos - start));
  return 0;
}

int EncodeOpt(Writer* w, const dns_packet* packet) {
  if (!w->Room(11)) return -1;
  uint8_t* h = w->out + w->pos;
  h[0] = 0;  // root owner
  Put16(h + 1, DNS_T_OPT);
  Put16(h + 3, packet->payloadsize < kDnsMinPayload ? kDnsMinPayload : packet->payloadsize);
  Put32(h + 5, packet->edns_flags & kDnsEdnsDo);
  int rdlen_at = w->pos + 9;
  w->pos += 11;
  int start = w->pos;
  int count = 0;
  for (const dns_rrs* o = dns_get_rrs_start(packet, DNS_RRS_OPT, &count); o;
       o = dns_get_rrs_next(packet, o)) {
    if (!w->Room(o->len)) return -1;
    std::memcpy(w->out + w->pos, DataOf(o), o->len);
    w->pos += o->len;
  }
  if (w->pos - start > 0xFFFF) return -1;
  Put16(w->out + rdlen_at, static_cast<uint16_t>(w->pos - start));
  return 0;
}

}  // namespace

int dns_encode(unsigned char* data, int size, const dns_packet* packet) {
  if (!data || size < kDnsHeaderLen) return -1;
  Writer w{data, size, kDnsHeaderLen, {}};
  const dns_head& hd = packet->head;
  Put16(data, hd.id);
  data[2] = static_cast<uint8_t>((hd.qr & 1) << 7 | (hd.opcode & 0x0F) << 3 | (hd.aa & 1) << 2 |
                                 (hd.tc & 1) << 1 | (hd.rd & 1));
  data[3] = static_cast<uint8_t>((hd.ra & 1) << 7 | (hd.ad & 1) << 5 | (hd.cd & 1) << 4 |
                                 (hd.rcode & 0x0F));
  int counts[4] = {0, 0, 0, 0};
  for (int section = DNS_RRS_QD; section <= DNS_RRS_NR; section++) {
    for (const dns_rrs* e = dns_get_rrs_start(packet, section, nullptr); e;
         e = dns_get_rrs_next(packet, e)) {
      int rc = section == DNS_RRS_QD ? EncodeQuestion(&w, e) : EncodeRecord(&w, e);
      if (rc != 0) {
        LogOut(LL_DEBUG, "%s: message does not fit in %d bytes", __func__, size);
        return -1;
      }
      counts[section]++;
    }
  }
  if (packet->optcount > 0 || packet->payloadsize != 0) {
    if (EncodeOpt(&w, packet) != 0) return -1;
    counts[DNS_RRS_NR]++;
  }
  for (int i = 0; i < 4; i++) {
    if (counts[i] > 0xFFFF) return -1;
    Put16(data + 4 + 2 * i, static_cast<uint16_t>(counts[i]));
  }
  return w.pos;
}

int dns_packet_update(unsigned char* data, int len, const dns_update_param* update) {
  if (!data || len < kDnsHeaderLen) return -1;
  const int counts[4] = {Get16(data + 4), Get16(data + 6), Get16(data + 8), Get16(data + 10)};
  int pos = kDnsHeaderLen;
  for (int i = 0; i < counts[0]; i++) {
    if (dns_name_skip(data, len, &pos) != 0 || pos + 4 > len) {
      LogOut(LL_DEBUG, "update qd failed.");
      return -1;
    }
    pos += 4;
  }
  static const char* const kFail[4] = {"", "update an failed.", "update ns failed.",
                                       "update nr failed."};
  bool replace_ip = update->ip_addr != 0;
  if (replace_ip) LogDns(LL_DNS, "updating ip address with paramip 1");
  for (int section = DNS_RRS_AN; section <= DNS_RRS_NR; section++) {
    for (int i = 0; i < counts[section]; i++) {
      if (dns_name_skip(data, len, &pos) != 0 || pos + 10 > len) {
        LogOut(LL_DEBUG, "%s", kFail[section]);
        LogOut(LL_DEBUG, "decode body failed.\n");
        return -1;
      }
      uint8_t* h = data + pos;
      uint16_t type = Get16(h);
      uint16_t rdlen = Get16(h + 8);
      if (pos + 10 + rdlen > len) {
        LogOut(LL_DEBUG, "length mismatch , %s, %ld:%d", "", static_cast<long>(len - pos - 10),
               rdlen);
        return -1;
      }
      if (type != DNS_T_OPT && update->ttl >= 0) Put32(h + 4, static_cast<uint32_t>(update->ttl));
      if (type == DNS_T_A && replace_ip) {
        if (rdlen != 4) {
          LogOut(LL_DEBUG, "length mismatch , %s, %ld:%d", "A", static_cast<long>(rdlen), 4);
          return -1;
        }
        std::memcpy(h + 10, &update->ip_addr, 4);
        LogDns(LL_DNS, "updating ip address with paramip 2:%x", update->ip_addr);
      }
      pos += 10 + rdlen;
    }
  }
  Put16(data, update->id);
  return 0;
}
