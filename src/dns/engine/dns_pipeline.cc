// The request pipeline: intake of client messages, rules, hosts and PTR, the verdict, merging,
// forwarding, and the examination of upstream answers. Engine thread only.
#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "dns/codec/dns_name.h"
#include "dns/engine/answer_rules.h"
#include "dns/engine/engine_core.h"
#include "dns/engine/query_intake.h"
#include "utils/log.h"
#include "utils/timescale.h"

namespace zc::dns {

namespace {

// Cuts a client subnet's address to its source prefix, zero bits after it (RFC 7871 section 6):
// stray bits would each make a cache entry, merge key and upstream query of their own, and a
// strict upstream refuses them.
void CutToPrefix(dns_opt_ecs* ecs) {
  size_t bits = std::min<size_t>(ecs->source_prefix, ecs->family == 1 ? 32 : 128);
  size_t keep = bits / 8;
  if (bits % 8 != 0) {
    ecs->addr[keep] &= static_cast<uint8_t>(0xff << (8 - bits % 8));
    keep++;
  }
  std::memset(ecs->addr + keep, 0, sizeof ecs->addr - keep);
}

std::string EcsText(const dns_opt_ecs& ecs) {
  uint8_t addr[16] = {};
  std::memcpy(addr, ecs.addr, (ecs.source_prefix + 7) / 8);
  return AddressText(ecs.family == 1 ? AF_INET : AF_INET6, addr) + "/" +
         std::to_string(ecs.source_prefix);
}

// The address a query arrived on, as IPv4 when it is IPv4-mapped.
bool LocalAddressOf(const Request& r, int family, uint8_t out[16]) {
  if (!r.has_local) return false;
  if (r.local.ss_family == AF_INET && family == AF_INET) {
    std::memcpy(out, &reinterpret_cast<const sockaddr_in&>(r.local).sin_addr, 4);
    return true;
  }
  if (r.local.ss_family != AF_INET6) return false;
  const in6_addr& a6 = reinterpret_cast<const sockaddr_in6&>(r.local).sin6_addr;
  if (IN6_IS_ADDR_V4MAPPED(&a6)) {
    if (family != AF_INET) return false;
    std::memcpy(out, a6.s6_addr + 12, 4);
    return true;
  }
  if (family != AF_INET6) return false;
  std::memcpy(out, a6.s6_addr, 16);
  return true;
}

}  // namespace

Request* DnsEngine::Core::Find(uint64_t id) {
  auto it = requests.find(id);
  return it == requests.end() || it->second->done ? nullptr : it->second.get();
}

void DnsEngine::Core::Count(uint64_t DnsEngineStats::*field) {
  counted.*field += 1;
  stats_changed = true;
}

void DnsEngine::Core::PublishStats() {
  if (!stats_changed) return;
  stats_changed = false;
  std::lock_guard lock(stats_mutex);
  stats = counted;
  stats.live_requests = requests.size();
  stats.tcp_clients = tcp_clients.size();
}

void DnsEngine::Core::StartInternal(const std::string& domain, uint16_t qtype,
                                    std::function<void(int, std::string)> done) {
  DnsPacketBuffer<> buf;
  dns_head head;
  head.rd = 1;
  dns_packet_init(buf.get(), buf.size(), &head);
  uint8_t wire[kDnsMessageMax];
  int len = -1;
  if (dns_add_domain(buf.get(), domain.c_str(), qtype, DNS_C_IN) == 0) {
    len = dns_encode(wire, sizeof wire, buf.get());
  }
  if (len < 0) {
    done(DNS_RC_FORMERR, {});
    return;
  }
  QuerySource src;
  src.origin = Origin::kInternal;
  src.internal_done = std::move(done);
  Intake(wire, len, src);
}

void DnsEngine::Core::Intake(const uint8_t* data, int len, QuerySource& src) {
  Count(&DnsEngineStats::queries);
  auto drop = [&](const char* why) {
    LogOut(LL_DEBUG, "%s", why);
    Count(&DnsEngineStats::dropped);
    if (src.internal_done) src.internal_done(DNS_RC_SERVFAIL, {});
  };
  ClientQuery& q = intake_query;
  switch (ReadClientQuery(data, len, &q)) {
    case QueryReadResult::kUndecodable:
      return drop("decode failed.\n");
    case QueryReadResult::kNotAQuery:
      return drop("forward request.\n");
    case QueryReadResult::kOk:
      break;
  }
  const char* name = q.name;
  int qtype = q.qtype;
  int qclass = q.qclass;

  bool overloaded = requests.size() >= kMaxLiveRequests;
  Request& r = NewRequest(NewRequestId());
  r.start = now;
  r.origin = src.origin;
  r.listener = src.listener;
  r.tcp_client = src.tcp_client;
  r.client = src.client;
  r.client_len = src.client_len;
  if (src.local) {
    r.local = *src.local;
    r.has_local = true;
  }
  r.ifindex = src.ifindex;
  r.internal_done = std::move(src.internal_done);
  r.client_id = q.id;
  r.opcode = q.opcode;
  r.rd = q.rd;
  r.client_edns = q.payloadsize != 0;
  r.client_payload = q.payloadsize;
  if (q.ecs) {
    dns_opt_ecs ecs = *q.ecs;
    CutToPrefix(&ecs);
    r.ecs = ecs;
    r.cache_client_subnet = EcsText(ecs);
  }
  r.dnssec_ok = (q.edns_flags & kDnsEdnsDo) != 0;
  r.checking_disabled = q.cd;
  if (r.dnssec_ok) r.cache_client_subnet += kKeyMarkDo;
  if (r.checking_disabled) r.cache_client_subnet += kKeyMarkCd;
  r.domain.assign(name);
  std::string_view text(name);
  if (text.find('\\') == std::string_view::npos && (text.empty() || text.back() != '.')) {
    // The common case, lower-cased in the request's own buffer.
    r.domain_lower.assign(text);
    for (char& c : r.domain_lower) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
  } else {
    r.domain_lower = dns_name_lower(text);
  }
  std::memcpy(r.qname, q.qname, static_cast<size_t>(q.qname_len));
  r.qname_len = q.qname_len;
  r.qtype = static_cast<uint16_t>(qtype);
  r.qclass = static_cast<uint16_t>(qclass);
  r.expect_owner.assign(r.domain_lower);
  if (r.origin != Origin::kInternal && r.listener < listeners.size()) {
    r.bind_flags = listeners[r.listener].conf.flags;
    r.bind_group = listeners[r.listener].conf.group;
  } else if (src.refresh) {
    r.bind_flags = src.bind_flags;
    r.bind_group = src.bind_group;
    r.refresh = true;
    r.store_kind = src.refresh_expired ? CacheStoreKind::kExpiredRefresh : CacheStoreKind::kRefresh;
  }
  r.gate = ReplyGate(r.qtype == DNS_T_A && r.origin != Origin::kInternal);
  if (g_loglevel.load(std::memory_order_relaxed) == LL_DNS) {
    LogDns(LL_DNS, "DNS_REQUEST: received from %s, domain:%s, qtype = %d, txid = %x",
           AddressText(r.client).c_str(), r.domain.c_str(), r.qtype, r.client_id);
  }

  uint64_t id = r.id;
  Clock::time_point deadline = r.start + zc::Scaled(kMaxRequestLife);
  if (r.origin == Origin::kTcp) {
    auto it = tcp_clients.find(r.tcp_client);
    if (it != tcp_clients.end()) it->second->pending++;
  }
  if (overloaded) {
    Count(&DnsEngineStats::overload);
    PostRcodeOnly(r, DNS_RC_SERVFAIL);
  } else if (r.opcode != DNS_OP_QUERY) {
    PostRcodeOnly(r, DNS_RC_NOTIMP);
  } else if (r.qclass != DNS_C_IN) {
    PostRcodeOnly(r, DNS_RC_REFUSED);
  } else {
    RunQuery(r);
  }
  // Only a request still waiting for something needs a deadline (answered ones, cache hits
  // above all, never enter the queue).
  if (Find(id)) deadlines.emplace_back(deadline, id);
  Reap();
}

bool DnsEngine::Core::AnswerLocally(Request& r) {
  const MatchedRules& rules = r.rules;
  bool is_addr = r.qtype == DNS_T_A || r.qtype == DNS_T_AAAA;
  int family = r.qtype == DNS_T_A ? AF_INET : AF_INET6;
  // Host names of LAN clients.
  if (is_addr) {
    if (const HostEntry* h = hosts.Find(r.domain_lower)) {
      if (family == AF_INET && h->v4)
        return PostLocalAddress(r, AF_INET, &*h->v4, kLocalAnswerTtl), true;
      if (family == AF_INET6 && h->v6)
        return PostLocalAddress(r, AF_INET6, &*h->v6, kLocalAnswerTtl), true;
      return PostSoa(r), true;
    }
  }
  // The router's own names answer with the address the query came to.
  if (is_addr && (rules.flags & kRuleOwnAddress)) {
    uint8_t addr[16];
    if (LocalAddressOf(r, family, addr))
      return PostLocalAddress(r, family, addr, kLocalAnswerTtl), true;
    return PostSoa(r), true;
  }
  if (r.qtype == DNS_T_PTR) {
    if (const std::string* host = hosts.FindPtr(r.domain_lower)) return PostPtr(r, *host), true;
    bool own = r.domain_lower == "0.0.0.0.in-addr.arpa" || r.domain_lower == "zundns";
    for (const sockaddr_storage& a : own_addresses) {
      if (own) break;
      own = a.ss_family == AF_INET
                ? ReverseName(reinterpret_cast<const sockaddr_in&>(a).sin_addr) == r.domain_lower
                : ReverseName(reinterpret_cast<const sockaddr_in6&>(a).sin6_addr) == r.domain_lower;
    }
    if (own) return PostPtr(r, router_name), true;
  }
  if (!is_addr) {
    // Other types are forwarded as they are, unless a SOA rule below says otherwise.
    if (r.qtype != DNS_T_PTR) {
      LogOut(LL_DEBUG, "unsupport qtype: %d, domain: %s", r.qtype, r.domain.c_str());
    }
    r.passthrough = true;
  }
  // SOA rules.
  if (!(r.bind_flags & kBindNoRuleSoa)) {
    if (r.qtype == DNS_T_AAAA && ((r.bind_flags & kBindForceAAAASoa) || conf.force_aaaa_soa)) {
      return PostSoa(r), true;
    }
    if (rules.matched && !(rules.flags & kRuleIgnoreAddr)) {
      if ((rules.flags & kRuleSoaAll) || (r.qtype == DNS_T_A && (rules.flags & kRuleSoaA)) ||
          (r.qtype == DNS_T_AAAA && (rules.flags & kRuleSoaAAAA))) {
        return PostSoa(r), true;
      }
    }
  }
  // Address rules.
  if (!(r.bind_flags & kBindNoRuleAddr)) {
    if (r.qtype == DNS_T_A && rules.v4)
      return PostLocalAddress(r, AF_INET, &*rules.v4, kLocalAnswerTtl), true;
    if (r.qtype == DNS_T_AAAA && rules.v6)
      return PostLocalAddress(r, AF_INET6, &*rules.v6, kLocalAnswerTtl), true;
  }
  if (conf.force_qtype_soa.count(r.qtype)) {
    LogOut(LL_DEBUG, "force qtype %d soa", r.qtype);
    return PostSoa(r), true;
  }
  return false;
}

void DnsEngine::Core::RunQuery(Request& r) {
  r.rules = conf.domain_rules.Match(r.domain_lower);
  if (AnswerLocally(r)) return;
  const SpeedCheckOrders& orders = r.rules.orders ? *r.rules.orders : conf.orders;
  if (OrdersAreNone(orders) || (r.bind_flags & kBindNoSpeedCheck)) r.passthrough = true;
  // A validating client checks the signatures itself: it gets the answer as signed.
  if (r.dnssec_ok || r.checking_disabled) r.passthrough = true;
  if (r.qtype == DNS_T_AAAA && !speed->Ipv6Available()) r.passthrough = true;
  r.group = (r.rules.nameserver && !(r.bind_flags & kBindNoRuleNameserver)) ? *r.rules.nameserver
                                                                            : r.bind_group;
  DualStackDecide(r);
  // The filter's verdict; a pending one comes back through PostVerdict.
  if (r.origin == Origin::kInternal || !options.verdict) {
    r.gate.SetVerdict({kVerdictAllowed, 0});
  } else {
    VerdictQuery vq;
    vq.handle = {generation, r.id};
    vq.domain = r.domain;
    vq.qtype = r.qtype;
    vq.id = r.client_id;
    vq.client = r.client;
    vq.client_len = r.client_len;
    DnsVerdict v = options.verdict->Ask(vq);
    if (v.decision != kVerdictPending) r.gate.SetVerdict(v);
  }
  bool no_cache = r.bind_flags & kBindNoCache;
  if (!no_cache && !r.refresh && !r.ds.parent) {
    CacheKey& key = lookup_key;
    key.domain.assign(r.domain_lower);
    key.qtype = r.qtype;
    key.group.assign(r.group);
    key.client_subnet.assign(r.cache_client_subnet);
    CachedAnswer* hit = &cache_hit;
    if (hit->packet.capacity() == 0 && !spare_packets.empty()) {
      hit->packet = std::move(spare_packets.back());
      spare_packets.pop_back();
    }
    if (cache->Lookup(key, hit) && (hit->ttl > 0 || !IsFailureAnswer(hit->packet))) {
      int ttl = hit->ttl > 0 ? hit->ttl : static_cast<int>(conf.serve_expired_reply_ttl);
      if (hit->ttl > 0 && conf.rr_ttl_reply_max > 0 && ttl > conf.rr_ttl_reply_max) {
        ttl = static_cast<int>(conf.rr_ttl_reply_max);
      }
      if (!DualStackHit(r, *hit, ttl)) {
        Deliver(r, GateAnswer{std::move(hit->packet), ttl, AnswerSource::kCache, hit->soa});
      }
      if (hit->refresh) {
        // Served expired: fetch a fresh answer once this request is out of the way.
        Post([this, key, flags = hit->bind_flags] { StartRefresh(key, flags, true); });
      }
      return;
    }
  }
  if ((r.qtype == DNS_T_A || r.qtype == DNS_T_AAAA) && !r.ds.parent) {
    r.merge_key = MergeKey(r.domain_lower, r.qtype, r.group, r.cache_client_subnet, no_cache);
    if (!r.dualstack) r.merge_key += '\x01';  // its reply may differ from a selecting one's
    if (merges.JoinOrLead(r.merge_key, r.id)) {
      Count(&DnsEngineStats::merged);
      return;  // the leader's answer comes to us
    }
    r.merge_leader = true;
  }
  Forward(r);
  StartCompanion(r);
}

void DnsEngine::Core::Forward(Request& r) {
  const dns_opt_ecs* ecs = r.ecs ? &*r.ecs : nullptr;
  if (!ecs) {
    const EcsSetting& first = r.qtype == DNS_T_AAAA && conf.ecs_v6.set ? conf.ecs_v6 : conf.ecs_v4;
    const EcsSetting& chosen = first.set ? first : conf.ecs_v6;
    if (chosen.set) ecs = &chosen.value;
  }
  uint8_t wire[kDnsMessageMax];
  int len = -1;
  if (!ecs) {
    len = BuildUpstreamQuery(r.client_id, r.checking_disabled, r.dnssec_ok, r.qname, r.qname_len,
                             r.qtype, kUpstreamPayload, wire, sizeof wire);
  }
  if (len < 0) {
    DnsPacketBuffer<> buf;
    dns_packet* p = buf.get();
    dns_head head;
    head.id = r.client_id;
    head.rd = 1;
    head.cd = r.checking_disabled;
    dns_packet_init(p, buf.size(), &head);
    if (r.dnssec_ok) p->edns_flags = kDnsEdnsDo;
    if (dns_add_domain(p, r.domain.c_str(), r.qtype, DNS_C_IN) == 0 &&
        dns_set_OPT_payload_size(p, kUpstreamPayload) == 0 &&
        (!ecs || dns_add_OPT_ECS(p, ecs) == 0)) {
      len = dns_encode(wire, sizeof wire, p);
    }
  }
  uint64_t rid = r.id;
  if (len > 0 && upstream) {
    r.upstream = upstream->Query(
        r.group, std::span<const uint8_t>(wire, len),
        [this, rid](UpstreamResult&& res) { OnUpstreamResult(rid, std::move(res)); });
  }
  if (r.upstream == 0) {
    LogOut(LL_ERR, "send dns request failed.");
    r.upstream_done = true;
    PostAssembled(r, true);
    return;
  }
  Count(&DnsEngineStats::upstream_queries);
  LogOut(LL_DEBUG, "send request %s, qtype %d, group %s", r.domain.c_str(), r.qtype,
         r.group.empty() ? "default" : r.group.c_str());
}

void DnsEngine::Core::OnUpstreamResult(uint64_t request_id, UpstreamResult&& result) {
  Request* r = Find(request_id);
  if (!r) return;
  if (result.event == UpstreamEvent::kAnswer) {
    OnUpstreamAnswer(*r, result);
  } else {
    r->upstream = 0;
    r->upstream_done = true;
    if (!r->gate.has_answer() && !r->speed_pending && !r->ds.waiting) PostAssembled(*r, true);
  }
  Reap();
}

void DnsEngine::Core::OnUpstreamAnswer(Request& r, UpstreamResult& result) {
  if (!r.answer_received && options.verdict && r.origin != Origin::kInternal) {
    options.verdict->UpstreamAnswered(now - r.start);
  }
  r.answer_received = true;
  if (r.gate.has_answer()) return;  // already answered (first answer in passthrough)
  DnsPacketObject buf;
  if (buf.Decode(result.packet.data(), static_cast<int>(result.packet.size())) != 0) {
    LogOut(LL_DEBUG, "%s: undecodable answer for %s", __func__, r.domain.c_str());
    return;
  }
  dns_packet* p = buf.get();
  if (LogWants(LL_DEBUG) && result.server < (upstream ? upstream->ServerCount() : 0)) {
    const UpstreamServerInfo& s = upstream->Server(result.server);
    LogOut(LL_DEBUG, "query result from server %s:%d, type: %d", s.name.c_str(), s.port, r.qtype);
  }
  uint16_t rcode = p->head.rcode;
  if (rcode != DNS_RC_NOERROR && rcode != DNS_RC_NXDOMAIN) {
    if (r.rcode == DNS_RC_SERVFAIL) r.rcode = rcode;
    r.upstream_failed = true;
    LogOut(LL_DEBUG, "inquery failed, %s, rcode = %d, id = %d\n", r.domain.c_str(), rcode,
           r.client_id);
    return;
  }
  r.upstream_examined = true;
  if (r.passthrough) {
    // The whole answer goes to the client; only its TTLs follow our rules.
    int32_t ttl = -1;
    int min_ttl = -1;
    for (int section : {DNS_RRS_AN, DNS_RRS_NS}) {
      for (const dns_rrs* e = dns_get_rrs_start(p, section, nullptr); e;
           e = dns_get_rrs_next(p, e)) {
        char owner[kDnsNameTextMax];
        const unsigned char* data;
        int data_len = 0;
        int t = 0;
        if (dns_get_RAW(e, owner, sizeof owner, nullptr, &t, &data, &data_len) == 0 &&
            (min_ttl < 0 || t < min_ttl)) {
          min_ttl = t;
        }
      }
      if (min_ttl >= 0) break;
    }
    ttl = static_cast<int32_t>(ClampTtl(min_ttl < 0 ? 0 : min_ttl));
    // Signed records are never handed out for longer than they were given for.
    if ((r.dnssec_ok || r.checking_disabled) && min_ttl >= 0 && ttl > min_ttl) ttl = min_ttl;
    if (conf.rr_ttl_reply_max > 0 && ttl > conf.rr_ttl_reply_max) {
      ttl = static_cast<int32_t>(conf.rr_ttl_reply_max);
    }
    r.rcode = rcode;
    bool soa = p->head.ancount == 0;
    GateAnswer answer{std::move(result.packet), ttl, AnswerSource::kUpstream, soa};
    StoreInCache(r, answer);
    ApplyIpset(r, answer);
    Deliver(r, std::move(answer));
    return;
  }
  size_t known = r.seen.size();
  ExamineAnswer(r, p, result.server_flags);
  if (r.seen.size() > known) StartSpeedChecks(r, known);
  // Without speed checks there is nothing better to wait for than the first usable address.
  if (r.has_addr && !r.speed_pending && !r.ds.waiting) PostAssembled(r, false);
}

void DnsEngine::Core::StartSpeedChecks(Request& r, size_t first_new) {
  if (!speed_attached || !speed->Available()) return;
  SpeedCheckStart checks;
  checks.handle = {generation, r.id};
  checks.started = r.start;
  checks.orders = r.rules.orders ? *r.rules.orders : conf.orders;
  checks.may_answer_early = !r.refresh;
  for (size_t i = first_new; i < r.seen.size(); i++) {
    SpeedProbe probe;
    probe.family = r.seen[i].family;
    std::memcpy(probe.addr, r.seen[i].addr, sizeof probe.addr);
    checks.probes.push_back(probe);
  }
  if (speed->Start(checks)) r.speed_pending = r.speed_checked = true;
}

// The fastest address so far becomes the answer; the reply goes when the checks say it is good
// enough, or when they are over and the upstream answers are in.
void DnsEngine::Core::OnSpeedResult(const SpeedResult& result) {
  Request* r = Find(result.handle.id);
  if (!r || result.handle.generation != generation) return;
  if (!result.ranked.empty() && result.ranked[0].family == r->addr_family && r->has_addr) {
    std::memcpy(r->addr, result.ranked[0].addr, sizeof r->addr);
    r->best_ping = result.best_time;
    r->fast_addresses = result.ranked;
  }
  if (result.last) r->speed_pending = false;
  if (!r->gate.has_answer() &&
      (result.answer_now || (result.last && r->upstream_done && !r->ds.waiting))) {
    LogOut(LL_DEBUG, "result: %s, qtype: %d, rtt: %.1f ms, %s", r->domain.c_str(), r->qtype,
           r->best_ping / 10.0, AddressText(r->addr_family, r->addr).c_str());
    PostAssembled(*r, false);
  }
  Reap();
}

int64_t DnsEngine::Core::ClampTtl(int64_t ttl) const {
  if (conf.rr_ttl > 0) return conf.rr_ttl;
  if (conf.rr_ttl_min > 0 && ttl < conf.rr_ttl_min) ttl = conf.rr_ttl_min;
  if (conf.rr_ttl_max > 0 && ttl > conf.rr_ttl_max) ttl = conf.rr_ttl_max;
  return ttl;
}

// Each address counts one hit per upstream answer that carries it.
static void NoteAddress(Request& r, int family, const uint8_t* addr) {
  size_t len = family == AF_INET ? 4 : 16;
  SeenAddress* found = nullptr;
  for (SeenAddress& s : r.seen) {
    if (s.family == family && std::memcmp(s.addr, addr, len) == 0) found = &s;
  }
  if (!found) {
    found = &r.seen.emplace_back();
    found->family = family;
    std::memcpy(found->addr, addr, len);
  }
  if (found->last_answer != r.answers_examined) found->hits++;
  found->last_answer = r.answers_examined;
  found->last_seen = ++r.sightings;
}

void DnsEngine::Core::ExamineAnswer(Request& r, const dns_packet* p, uint32_t server_flags) {
  r.answers_examined++;
  bool bogus = false;
  int wanted = r.qtype;
  char owner[kDnsNameTextMax];
  char target[kDnsNameTextMax];
  int ttl = 0;
  size_t servers = upstream ? upstream->ServerCount() : 1;
  for (const dns_rrs* e = dns_get_rrs_start(p, DNS_RRS_AN, nullptr); e;
       e = dns_get_rrs_next(p, e)) {
    if (e->type == DNS_T_CNAME) {
      if (dns_get_CNAME(e, owner, sizeof owner, &ttl, target, sizeof target) != 0) continue;
      LogOut(LL_DEBUG, "name: %s ttl: %d cname: %s\n", owner, ttl, target);
      if (!dns_name_equal_nocase(owner, r.expect_owner)) continue;
      r.expect_owner = dns_name_lower(target);
      if (!conf.force_no_cname) {
        r.cname = target;
        r.cname_ttl = ttl;
      }
      continue;
    }
    if (e->type != wanted) continue;
    uint8_t addr[16];
    int family = wanted == DNS_T_A ? AF_INET : AF_INET6;
    int rc = family == AF_INET ? dns_get_A(e, owner, sizeof owner, &ttl, addr)
                               : dns_get_AAAA(e, owner, sizeof owner, &ttl, addr);
    if (rc != 0) continue;
    if (!dns_name_equal_nocase(owner, r.expect_owner) && !dns_name_equal_nocase(owner, r.domain)) {
      continue;
    }
    uint32_t ip_flags = conf.ip_rules.Lookup(addr, family);
    if ((ip_flags & kIpBogusNxdomain) ||
        ((ip_flags & kIpBlacklist) && (server_flags & kServerFlagBlacklistIp))) {
      bogus = true;
      if (r.rcode == DNS_RC_SERVFAIL) r.rcode = DNS_RC_NXDOMAIN;
      continue;
    }
    if (ip_flags & kIpIgnore) continue;
    if ((server_flags & kServerFlagWhitelistIp) && !(ip_flags & kIpWhitelist)) continue;
    if (family == AF_INET && IsZeroOrLoopbackV4(addr)) {
      // A loopback or zero answer counts only when enough servers agree on it.
      if (!ZeroOrLoopbackAccepted(++r.zero_addresses, servers)) continue;
    }
    int64_t clamped = ClampTtl(ttl);
    if (!r.has_addr) {
      r.has_addr = true;
      r.addr_family = family;
      std::memcpy(r.addr, addr, family == AF_INET ? 4 : 16);
      r.ttl = clamped;
    } else if (clamped < r.ttl) {
      r.ttl = clamped;
    }
    NoteAddress(r, family, addr);
  }
  for (const dns_rrs* e = dns_get_rrs_start(p, DNS_RRS_NS, nullptr); e;
       e = dns_get_rrs_next(p, e)) {
    if (e->type != DNS_T_SOA) continue;
    dns_soa soa;
    if (dns_get_SOA(e, owner, sizeof owner, &ttl, &soa) == 0) {
      r.soa = std::make_unique<dns_soa>(soa);
      r.soa_owner = owner;
      r.soa_ttl = ttl;
    }
  }
  if (r.has_addr || (p->head.rcode == DNS_RC_NOERROR && !bogus)) {
    r.rcode = DNS_RC_NOERROR;
  } else if (p->head.rcode == DNS_RC_NXDOMAIN && r.rcode == DNS_RC_SERVFAIL) {
    r.rcode = DNS_RC_NXDOMAIN;
  }
}

void DnsEngine::Core::OnVerdict(uint64_t request_id, const DnsVerdict& verdict) {
  Request* r = Find(request_id);
  if (!r) return;
  LogOut(LL_DEBUG, "zuncore responce process status:%d", r->answer_received ? 1 : 0);
  r->gate.SetVerdict(verdict);
  TrySend(*r);
  Reap();
}

void DnsEngine::Core::ExpireRequests(Clock::time_point now) {
  while (!deadlines.empty() && deadlines.front().first <= now) {
    uint64_t id = deadlines.front().second;
    deadlines.pop_front();
    Request* r = Find(id);
    if (!r) continue;
    LogOut(LL_WARN, "%s: %s qtype %d got no reply in time", __func__, r->domain.c_str(), r->qtype);
    if (!r->gate.has_answer()) PostAssembled(*r, true);
    // A verdict that never came does not keep the client without an answer.
    r->gate.SetVerdict({kVerdictAllowed, 0});
    TrySend(*r);
    MarkDone(*r);
  }
  Reap();
}

}  // namespace zc::dns
