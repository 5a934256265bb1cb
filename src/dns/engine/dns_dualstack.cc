// Dual-stack selection: the rules, and the engine's part of it (engine thread only).
//
// A request that selects starts a companion request for the other family right after its own
// upstream query. The companion is an internal request: no client, no cache lookup, no merging,
// speed checks as usual; its answer is cached like any other (so a later cache hit finds both
// families measured). When it ends, its best ping goes to the parent. The parent replies as soon
// as its own checks find a good address; when it would otherwise reply at the end of its
// upstream answers or checks, it waits for the companion's result, at most kCompanionWait after
// it started. The reply then gives a SOA instead of the address when the other family is faster
// by more than the threshold. The cache keeps the address answer (with its measurement), never
// that SOA: the rule is applied again at every cache hit, for the request at hand, so a listener
// or domain without dual-stack selection still gets the address.
#include "dns/engine/dns_dualstack.h"

#include <arpa/inet.h>

#include <cstring>

#include "dns/engine/engine_core.h"
#include "utils/log.h"
#include "utils/timescale.h"

namespace zc::dns {

namespace {

DualStackSettings SettingsOf(const DnsConf& conf) {
  return {conf.dualstack_ip_selection, conf.dualstack_ip_allow_force_aaaa,
          conf.dualstack_ip_selection_threshold};
}

// The threshold in the unit of ping times.
int ThresholdTenths(const DualStackSettings& s) {
  return s.threshold_ms * 10;
}

const char* Preferred(uint16_t qtype) {
  return qtype == DNS_T_AAAA ? "IPv4" : "IPv6";
}

}  // namespace

bool DualStackSelected(const DualStackQuery& q, const DualStackSettings& s) {
  if (q.qtype != DNS_T_A && q.qtype != DNS_T_AAAA) return false;
  if (q.companion || q.internal || q.refresh || q.passthrough) return false;
  bool on = s.enabled;
  if (q.rule_mask & kRuleDualstack) {
    on = (q.rule_flags & kRuleDualstack) != 0;
  } else if (q.bind_flags & kBindNoDualstack) {
    on = false;
  }
  if (on && q.qtype == DNS_T_AAAA && q.rule_matched && !(q.bind_flags & kBindNoRuleSoa) &&
      !(q.rule_flags & kRuleIgnoreAddr) && (q.rule_flags & kRuleSoaA) &&
      !(q.rule_flags & kRuleIgnoreAddrV6)) {
    on = false;
  }
  return on;
}

bool DualStackSoaAtReply(uint16_t qtype, int own_ping, int companion_ping,
                         const DualStackSettings& s) {
  if (companion_ping < 1) return false;
  if (own_ping > 0 && own_ping < companion_ping + ThresholdTenths(s)) return false;
  if (qtype == DNS_T_AAAA) return true;
  return qtype == DNS_T_A && s.allow_force_aaaa;
}

bool DualStackSoaOnHit(uint16_t qtype, int hit_speed, const OtherFamilyEntry& other,
                       const DualStackSettings& s) {
  if (qtype != DNS_T_AAAA && !(qtype == DNS_T_A && s.allow_force_aaaa)) return false;
  if (!other.present || other.soa || other.speed < 1) return false;
  return hit_speed < 0 || hit_speed > other.speed + ThresholdTenths(s);
}

uint16_t OtherFamily(uint16_t qtype) {
  return qtype == DNS_T_A ? DNS_T_AAAA : DNS_T_A;
}

// --- the engine's part ---------------------------------------------------------------------------

void DnsEngine::Core::DualStackDecide(Request& r) {
  DualStackQuery q;
  q.qtype = r.qtype;
  q.companion = r.ds.parent != 0;
  q.internal = r.origin == Origin::kInternal && !q.companion && !r.refresh;
  q.refresh = r.refresh;
  q.passthrough = r.passthrough;
  q.rule_matched = r.rules.matched;
  q.rule_flags = r.rules.flags;
  q.rule_mask = r.rules.mask;
  q.bind_flags = r.bind_flags;
  // Without speed checks neither family is ever measured, and without IPv6 an AAAA companion
  // is passed through unchecked: either way the companion would be wasted.
  r.dualstack = DualStackSelected(q, SettingsOf(conf)) && speed_attached && speed->Available() &&
                (r.qtype == DNS_T_AAAA || speed->Ipv6Available());
}

bool DnsEngine::Core::DualStackHit(Request& r, const CachedAnswer& hit, int ttl) {
  if (!r.dualstack || hit.soa) return false;
  if (r.qtype == DNS_T_A && !conf.dualstack_ip_allow_force_aaaa) return false;
  // The lookup key still names this query; only its type changes for a look at the other.
  CachedAnswer peeked;
  OtherFamilyEntry other;
  lookup_key.qtype = OtherFamily(r.qtype);
  other.present = cache->Peek(lookup_key, &peeked);
  lookup_key.qtype = r.qtype;
  other.soa = peeked.soa;
  other.speed = peeked.speed;
  if (!DualStackSoaOnHit(r.qtype, hit.speed, other, SettingsOf(conf))) return false;
  LogOut(LL_DEBUG, "cache result: %s, qtype: %d, force %s perfered, id: %d, time1: %d, time2: %d",
         r.domain.c_str(), r.qtype, Preferred(r.qtype), r.client_id, hit.speed, other.speed);
  r.ds.forced_soa = true;
  PostSoa(r, ttl);
  return true;
}

void DnsEngine::Core::StartCompanion(Request& r) {
  if (!r.dualstack || r.done || r.upstream == 0 || requests.size() >= kMaxLiveRequests) return;
  uint64_t parent = r.id;
  Request& c = NewRequest(NewRequestId());
  c.start = now;
  c.origin = Origin::kInternal;
  c.listener = r.listener;
  c.opcode = r.opcode;
  c.rd = r.rd;
  c.ecs = r.ecs;
  c.cache_client_subnet = r.cache_client_subnet;
  c.domain = r.domain;
  c.domain_lower = r.domain_lower;
  std::memcpy(c.qname, r.qname, sizeof c.qname);
  c.qname_len = r.qname_len;
  c.qtype = OtherFamily(r.qtype);
  c.qclass = r.qclass;
  c.expect_owner = r.domain_lower;
  c.bind_flags = r.bind_flags;
  c.bind_group = r.bind_group;
  c.gate = ReplyGate(false);
  // Its answer refreshes an entry already cached for that family without resetting its
  // popularity, or adds one.
  c.store_kind = CacheStoreKind::kRefresh;
  c.ds.parent = parent;
  r.ds.waiting = true;
  companion_waits.emplace_back(r.start + zc::Scaled(kCompanionWait), parent);
  deadlines.emplace_back(now + zc::Scaled(kMaxRequestLife), c.id);
  LogOut(LL_DEBUG, "dualstack query %s, qtype %d", c.domain.c_str(), c.qtype);
  RunQuery(c);
}

void DnsEngine::Core::OnCompanionEnd(const Request& c) {
  bool usable = c.has_addr && c.addr_family == (c.qtype == DNS_T_A ? AF_INET : AF_INET6);
  LogOut(LL_DEBUG, "dualstack result: domain: %s, ip: %s, type: %d, ping: %d", c.domain.c_str(),
         usable ? AddressText(c.addr_family, c.addr).c_str() : "", c.qtype, c.best_ping);
  Request* p = Find(c.ds.parent);
  if (!p || !p->ds.waiting) return;  // replied already, or gone
  p->ds.waiting = false;
  p->ds.reported = true;
  p->ds.companion_ping = usable ? c.best_ping : -1;
  ReleaseCompanionHold(*p);
}

void DnsEngine::Core::ReleaseCompanionHold(Request& p) {
  // Whatever the reply waited for besides the companion is in: the upstream answers are over, or
  // an address came with no checks to wait for.
  if (!p.gate.has_answer() && !p.speed_pending && (p.upstream_done || p.has_addr)) {
    PostAssembled(p, p.upstream_done);
  }
}

bool DnsEngine::Core::DualStackGivesWay(Request& r) {
  if (!r.dualstack) return false;
  if (!DualStackSoaAtReply(r.qtype, r.best_ping, r.ds.companion_ping, SettingsOf(conf))) {
    return false;
  }
  LogOut(LL_DEBUG, "result: %s, qtype: %d, force %s perfered, id: %d, time1: %d, time2: %d",
         r.domain.c_str(), r.qtype, Preferred(r.qtype), r.client_id, r.best_ping,
         r.ds.companion_ping);
  r.ds.forced_soa = true;
  return true;
}

void DnsEngine::Core::DualStackBeat(Clock::time_point at) {
  while (!companion_waits.empty() && companion_waits.front().first <= at) {
    uint64_t id = companion_waits.front().second;
    companion_waits.pop_front();
    Request* p = Find(id);
    if (!p || !p->ds.waiting) continue;
    p->ds.waiting = false;
    LogOut(LL_DEBUG, "dualstack: %s qtype %d replies without the other family", p->domain.c_str(),
           p->qtype);
    ReleaseCompanionHold(*p);
  }
}

}  // namespace zc::dns
