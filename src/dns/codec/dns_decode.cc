// Wire message -> packet object.
#include <cstring>

#include "dns/codec/dns_packet_internal.h"
#include "utils/log.h"

using namespace dns_internal;

namespace {

constexpr uint32_t kMaxOptTtl = 65535;
constexpr int kCookieClientLen = 8;
constexpr int kCookieServerMin = 8;
constexpr int kCookieServerMax = 32;

struct Reader {
  const uint8_t* data;
  int len;
  int pos;
};

const char* NameForLog(const uint8_t* wire, int wire_len, char* buf, int size) {
  if (dns_name_to_text(wire, wire_len, buf, size) != 0) std::snprintf(buf, size, "?");
  return buf;
}

int DecodeQuestion(dns_packet* packet, Reader* r) {
  uint8_t wire[kDnsWireNameMax];
  int wire_len = 0;
  if (dns_name_expand(r->data, r->len, &r->pos, wire, &wire_len) != 0) {
    LogOut(LL_DEBUG, "decode domain failed.");
    return -1;
  }
  if (r->pos + 4 > r->len) {
    char name[kDnsNameTextMax];
    LogOut(LL_DEBUG, "left length is not enough, %s.",
           NameForLog(wire, wire_len, name, sizeof name));
    return -1;
  }
  uint16_t qtype = Get16(r->data + r->pos);
  uint16_t qclass = Get16(r->data + r->pos + 2);
  r->pos += 4;
  EntryWriter w(packet, DNS_RRS_QD, qtype);
  w.Name(wire, wire_len);
  w.U16(qtype);
  w.U16(qclass);
  return w.Commit();
}

// Walks the options of an OPT record; keeps client subnet options, checks cookies.
int DecodeOptions(dns_packet* packet, const uint8_t* d, int len) {
  int pos = 0;
  while (pos < len) {
    if (len - pos < 4) {
      LogOut(LL_DEBUG, "data length is invalid, %d:%d", len, pos);
      return -1;
    }
    uint16_t code = Get16(d + pos);
    uint16_t olen = Get16(d + pos + 2);
    if (pos + 4 + olen > len) {
      LogOut(LL_DEBUG, "read opt data failed, opt_code = %d, opt_le = %d", code, olen);
      return -1;
    }
    const uint8_t* o = d + pos + 4;
    if (code == DNS_OPT_T_ECS) {
      if (olen < 4) {
        LogOut(LL_DEBUG, "decode ecs failed.");
        return -1;
      }
      uint16_t family = Get16(o);
      int source = o[2];
      int scope = o[3];
      int max_prefix = family == 1 ? 32 : family == 2 ? 128 : -1;
      int addr_len = (source + 7) / 8;
      if (max_prefix < 0 || source > max_prefix || scope > max_prefix || addr_len > 16 ||
          olen != 4 + addr_len) {
        LogOut(LL_DEBUG, "decode ecs failed.");
        return -1;
      }
      EntryWriter w(packet, DNS_RRS_OPT, DNS_OPT_T_ECS);
      w.Bytes(d + pos, 4 + olen);
      if (w.Commit() != 0) {
        LogOut(LL_ERR, "add ecs failed.");
        return -1;
      }
    } else if (code == DNS_OPT_T_COOKIE) {
      bool ok = olen == kCookieClientLen || (olen >= kCookieClientLen + kCookieServerMin &&
                                             olen <= kCookieClientLen + kCookieServerMax);
      if (!ok) {
        LogOut(LL_DEBUG, "decode cookie failed.");
        return -1;
      }
    } else {
      LogOut(LL_DEBUG, "DNS opt type = %d not supported", code);
    }
    pos += 4 + olen;
  }
  if (pos != len) {
    LogOut(LL_DEBUG, "opt length mismatch, %s\n", "");
    return -1;
  }
  return 0;
}

int DecodeRecord(dns_packet* packet, int section, Reader* r, bool* seen_opt) {
  uint8_t owner[kDnsWireNameMax];
  int owner_len = 0;
  char name[kDnsNameTextMax];
  if (dns_name_expand(r->data, r->len, &r->pos, owner, &owner_len) != 0) {
    LogOut(LL_DEBUG, "decode domain failed.");
    return -1;
  }
  if (r->pos + 10 > r->len) {
    LogOut(LL_DEBUG, "left length is not enough, %s.",
           NameForLog(owner, owner_len, name, sizeof name));
    return -1;
  }
  const uint8_t* h = r->data + r->pos;
  uint16_t type = Get16(h);
  uint16_t rclass = Get16(h + 2);
  uint32_t ttl = Get32(h + 4);
  uint16_t rdlen = Get16(h + 8);
  int rdata = r->pos + 10;
  int end = rdata + rdlen;
  if (end > r->len) {
    LogOut(LL_DEBUG, "length mismatch, %s, %ld:%d", NameForLog(owner, owner_len, name, sizeof name),
           static_cast<long>(r->len - rdata), rdlen);
    return -1;
  }
  r->pos = end;

  if (type == DNS_T_OPT) {
    if (section != DNS_RRS_NR || *seen_opt) {
      LogOut(LL_ERR, "decode opt failed, %s", "misplaced or repeated OPT record");
      return -1;
    }
    *seen_opt = true;
    if (ttl > kMaxOptTtl) {
      LogOut(LL_DEBUG, "extend rcode invalid.");
      LogOut(LL_ERR, "decode opt failed, %s", NameForLog(owner, owner_len, name, sizeof name));
      return -1;
    }
    dns_set_OPT_payload_size(packet, rclass);
    packet->edns_flags = static_cast<uint16_t>(ttl & 0xFFFF);
    if (DecodeOptions(packet, r->data + rdata, rdlen) != 0) {
      LogOut(LL_ERR, "decode opt failed, %s", NameForLog(owner, owner_len, name, sizeof name));
      return -1;
    }
    return 0;
  }

  EntryWriter w(packet, section, type);
  w.Name(owner, owner_len);
  w.U16(type);
  w.U16(rclass);
  w.U32(ttl);
  int rdlen_at = w.pos();
  w.U16(0);
  int start = w.pos();
  const char* what = nullptr;
  auto copy_name = [&](int* off) {
    uint8_t target[kDnsWireNameMax];
    int target_len = 0;
    if (dns_name_expand(r->data, end, off, target, &target_len) != 0) return false;
    w.Name(target, target_len);
    return true;
  };
  int off = rdata;
  bool parsed = true;
  switch (type) {
    case DNS_T_A:
    case DNS_T_AAAA:
      what = type == DNS_T_A ? "A" : "AAAA";
      parsed = rdlen == (type == DNS_T_A ? 4 : 16);
      if (parsed) {
        w.Bytes(r->data + rdata, rdlen);
        off = end;
      }
      break;
    case DNS_T_NS:
    case DNS_T_CNAME:
    case DNS_T_PTR:
      what = type == DNS_T_NS ? "NS" : type == DNS_T_CNAME ? "CNAME" : "PTR";
      parsed = copy_name(&off);
      break;
    case DNS_T_MX:
      what = "MX";
      parsed = rdlen >= 3;
      if (parsed) {
        w.Bytes(r->data + rdata, 2);
        off += 2;
        parsed = copy_name(&off);
      }
      break;
    case DNS_T_SOA:
      what = "SOA";
      parsed = copy_name(&off) && copy_name(&off) && off + 20 <= end;
      if (parsed) {
        w.Bytes(r->data + off, 20);
        off += 20;
      }
      break;
    default:
      LogOut(LL_DEBUG, "DNS type = %d not supported", type);
      what = "raw";
      w.Bytes(r->data + rdata, rdlen);
      off = end;
      break;
  }
  NameForLog(owner, owner_len, name, sizeof name);
  if (!parsed) {
    LogOut(LL_ERR, "decode %s failed, %s", what, name);
    return -1;
  }
  if (off != end) {
    LogOut(LL_DEBUG, "length mismatch, %s, %ld:%d", name, static_cast<long>(off - rdata), rdlen);
    return -1;
  }
  if (!w.ok()) {
    LogOut(LL_ERR, "add %s failed, %s", what, name);
    return -1;
  }
  Put16(w.at(rdlen_at), static_cast<uint16_t>(w.pos() - start));
  if (w.Commit() != 0) {
    LogOut(LL_ERR, "add %s failed, %s", what, name);
    return -1;
  }
  return 0;
}

}  // namespace

int dns_decode(dns_packet* packet, int maxsize, const unsigned char* data, int len) {
  if (!data || len < kDnsHeaderLen) {
    LogOut(LL_DEBUG, "%s: message shorter than a header", __func__);
    return -1;
  }
  dns_head head;
  head.id = Get16(data);
  head.qr = data[2] >> 7;
  head.opcode = (data[2] >> 3) & 0x0F;
  head.aa = (data[2] >> 2) & 1;
  head.tc = (data[2] >> 1) & 1;
  head.rd = data[2] & 1;
  head.ra = data[3] >> 7;
  head.ad = (data[3] >> 5) & 1;
  head.cd = (data[3] >> 4) & 1;
  head.rcode = data[3] & 0x0F;
  if (dns_packet_init(packet, maxsize, &head) != 0) return -1;
  const int counts[4] = {Get16(data + 4), Get16(data + 6), Get16(data + 8), Get16(data + 10)};
  Reader r{data, len, kDnsHeaderLen};
  for (int i = 0; i < counts[0]; i++) {
    if (DecodeQuestion(packet, &r) != 0) {
      LogOut(LL_DEBUG, "decode qd failed.");
      return -1;
    }
  }
  static const char* const kFail[4] = {"", "decode an failed.", "decode ns failed.",
                                       "decode nr failed."};
  bool seen_opt = false;
  for (int section = DNS_RRS_AN; section <= DNS_RRS_NR; section++) {
    for (int i = 0; i < counts[section]; i++) {
      if (DecodeRecord(packet, section, &r, &seen_opt) != 0) {
        LogOut(LL_DEBUG, "%s", kFail[section]);
        LogOut(LL_DEBUG, "decode body failed.\n");
        return -1;
      }
    }
  }
  packet->size = static_cast<int32_t>(sizeof(dns_packet)) + packet->len;
  return 0;
}
