// Ipset rules: the addresses of an answer for a domain with ipset rules go to the named kernel
// sets. The engine thread only queues them; the ipset client's thread talks to the kernel.
#include <arpa/inet.h>

#include <cstring>

#include "dns/engine/engine_core.h"
#include "utils/log.h"

namespace zc::dns {

namespace {

// The sets for one family: the family's own rule, else the rule for both families unless the
// family's rules are switched off ("#4:-" / "#6:-").
const std::vector<std::string>* SetsFor(const MatchedRules& m, int family) {
  const auto& own = family == AF_INET ? m.ipset_v4 : m.ipset_v6;
  if (own) return &*own;
  uint32_t off = family == AF_INET ? kRuleIgnoreIpsetV4 : kRuleIgnoreIpsetV6;
  if (m.ipset && !(m.flags & off)) return &*m.ipset;
  return nullptr;
}

}  // namespace

void DnsEngine::Core::ApplyIpset(const Request& r, const GateAnswer& answer) {
  if (r.bind_flags & kBindNoRuleIpset || !r.rules.matched) return;
  const std::vector<std::string>* v4 = SetsFor(r.rules, AF_INET);
  const std::vector<std::string>* v6 = SetsFor(r.rules, AF_INET6);
  if (!v4 && !v6) return;
  DnsPacketObject buf;
  if (buf.Decode(answer.packet.data(), static_cast<int>(answer.packet.size())) != 0) return;
  if (!ipset) {
    // Started on first use: an engine without ipset rules never opens the netlink socket.
    ipset = std::make_unique<IpsetClient>();
    std::string why;
    if (!ipset->Start(&why)) LogOut(LL_ERR, "setup ipset failed.");
  }
  char owner[kDnsNameTextMax];
  for (const dns_rrs* e = dns_get_rrs_start(buf.get(), DNS_RRS_AN, nullptr); e;
       e = dns_get_rrs_next(buf.get(), e)) {
    IpsetEntry entry;
    int ttl = 0;
    if (dns_get_A(e, owner, sizeof owner, &ttl, entry.addr) == 0) {
      entry.family = AF_INET;
    } else if (dns_get_AAAA(e, owner, sizeof owner, &ttl, entry.addr) == 0) {
      entry.family = AF_INET6;
    } else {
      continue;
    }
    const std::vector<std::string>* sets = entry.family == AF_INET ? v4 : v6;
    if (!sets) continue;
    if (conf.ipset_timeout) {
      // Twice the TTL the client is given; never 0, which the kernel reads as "for ever".
      int64_t given = answer.ttl >= 0 ? answer.ttl : ttl;
      entry.timeout = static_cast<uint32_t>(std::clamp<int64_t>(given * 2, 1, kIpsetMaxTimeout));
    }
    for (const std::string& set : *sets) {
      if (LogWants(LL_DEBUG)) {
        LogOut(LL_DEBUG, "IPSET-MATCH: domain: %s, ipset: %s, IP: %s", r.domain.c_str(),
               set.c_str(), AddressText(entry.family, entry.addr).c_str());
      }
      IpsetEntry copy = entry;
      copy.set = set;
      // Dropped only when the sender is gone or far behind; its counters say how many.
      if (!ipset->Add(std::move(copy))) {
        LogOut(LL_DEBUG, "setup ipset failed.");
        return;
      }
    }
  }
}

}  // namespace zc::dns
