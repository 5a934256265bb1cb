// Helpers of the cache tests: encoded replies as the engine stores them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dns/codec/dns_packet.h"

namespace zc::dns::cachetest {

// An encoded reply to (name, qtype) with one A record of address 192.0.2.<last>, or a
// negative answer with only a SOA record when last is 0.
inline std::vector<uint8_t> Reply(const std::string& name, uint16_t qtype = DNS_T_A,
                                  uint8_t last = 1) {
  DnsPacketBuffer<> buf;
  dns_head head;
  head.qr = 1;
  head.rd = 1;
  head.ra = 1;
  dns_packet_init(buf.get(), buf.size(), &head);
  dns_add_domain(buf.get(), name.c_str(), qtype, DNS_C_IN);
  if (last != 0 && qtype == DNS_T_A) {
    const unsigned char addr[4] = {192, 0, 2, last};
    dns_add_A(buf.get(), DNS_RRS_AN, name.c_str(), 300, addr);
  } else {
    dns_soa soa{};
    std::snprintf(soa.mname, sizeof soa.mname, "ns.test");
    std::snprintf(soa.rname, sizeof soa.rname, "admin.test");
    soa.minimum = 60;
    dns_add_SOA(buf.get(), DNS_RRS_NS, "test", 60, &soa);
  }
  std::vector<uint8_t> out(kDnsMessageMax);
  int n = dns_encode(out.data(), static_cast<int>(out.size()), buf.get());
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

}  // namespace zc::dns::cachetest
