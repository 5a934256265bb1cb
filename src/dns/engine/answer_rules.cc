#include "dns/engine/answer_rules.h"

#include "dns/codec/dns_name.h"
#include "dns/codec/dns_packet.h"
#include "dns/codec/dns_wire.h"

namespace zc::dns {

bool ZeroOrLoopbackAccepted(int count, size_t servers) {
  size_t needed = (servers + 1) / 2 + 1;
  if (needed > servers) needed = servers;
  if (needed < 1) needed = 1;
  return count > 0 && static_cast<size_t>(count) >= needed;
}

std::optional<std::vector<uint8_t>> CnameTargetAnswer(const std::vector<uint8_t>& packet,
                                                      const std::string& qname, uint16_t qtype,
                                                      std::string* target_lower) {
  if (qtype != DNS_T_A && qtype != DNS_T_AAAA) return std::nullopt;
  DnsPacketObject in;
  if (in.Decode(packet.data(), static_cast<int>(packet.size())) != 0) return std::nullopt;
  const dns_packet* p = in.get();
  if (p->head.rcode != DNS_RC_NOERROR) return std::nullopt;
  char owner[kDnsNameTextMax];
  char target[kDnsNameTextMax];
  int ttl = 0;
  // Follow the chain from the question; records may come in any order, so walk until it stops
  // moving (a loop ends after as many rounds as there are records).
  std::string expect = dns_name_lower(qname);
  int moves = 0;
  for (bool moved = true; moved && moves <= p->head.ancount;) {
    moved = false;
    for (const dns_rrs* e = dns_get_rrs_start(p, DNS_RRS_AN, nullptr); e;
         e = dns_get_rrs_next(p, e)) {
      if (e->type != DNS_T_CNAME ||
          dns_get_CNAME(e, owner, sizeof owner, &ttl, target, sizeof target) != 0 ||
          !dns_name_equal_nocase(owner, expect)) {
        continue;
      }
      expect = dns_name_lower(target);
      moved = true;
      moves++;
      break;
    }
  }
  if (moves == 0 || dns_name_equal_nocase(expect, qname)) return std::nullopt;

  DnsPacketBuffer<> buf;
  dns_packet* out = buf.get();
  dns_head head;
  head.qr = 1;
  head.rd = 1;
  head.ra = 1;
  dns_packet_init(out, buf.size(), &head);
  if (dns_add_domain(out, expect.c_str(), qtype, DNS_C_IN) != 0) return std::nullopt;
  int added = 0;
  uint8_t addr[16];
  for (const dns_rrs* e = dns_get_rrs_start(p, DNS_RRS_AN, nullptr); e;
       e = dns_get_rrs_next(p, e)) {
    if (e->type != qtype) continue;
    int rc = qtype == DNS_T_A ? dns_get_A(e, owner, sizeof owner, &ttl, addr)
                              : dns_get_AAAA(e, owner, sizeof owner, &ttl, addr);
    if (rc != 0 || !dns_name_equal_nocase(owner, expect)) continue;
    rc = qtype == DNS_T_A ? dns_add_A(out, DNS_RRS_AN, expect.c_str(), ttl, addr)
                          : dns_add_AAAA(out, DNS_RRS_AN, expect.c_str(), ttl, addr);
    if (rc != 0) return std::nullopt;
    added++;
  }
  if (added == 0) return std::nullopt;
  std::vector<uint8_t> encoded(kDnsMessageMax);
  int n = dns_encode(encoded.data(), static_cast<int>(encoded.size()), out);
  if (n < 0) return std::nullopt;
  encoded.resize(n);
  *target_lower = std::move(expect);
  return encoded;
}

}  // namespace zc::dns
