// Replies: assembly from a request's answer fields, local answers, the gate, the per-client
// copy and the send. Engine thread only.
#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "dns/codec/dns_name.h"
#include "dns/engine/answer_rules.h"
#include "dns/engine/engine_core.h"
#include "utils/log.h"

namespace zc::dns {

namespace {

// The SOA given when the engine has none from upstream.
void SynthesizedSoa(dns_soa* soa) {
  std::memset(soa, 0, sizeof *soa);
  std::snprintf(soa->mname, sizeof soa->mname, "a.gtld-servers.net");
  std::snprintf(soa->rname, sizeof soa->rname, "nstld.verisign-grs.com");
  soa->serial = 1800;
  soa->refresh = 1800;
  soa->retry = 900;
  soa->expire = 604800;
  soa->minimum = 86400;
}

struct ReplyBuilder {
  DnsPacketBuffer<> buf;
  dns_packet* p = buf.get();
  ReplyBuilder(const Request& r, uint16_t rcode) {
    dns_head head;
    head.qr = 1;
    head.opcode = r.opcode;
    head.rd = r.rd;
    head.ra = 1;
    head.rcode = rcode;
    dns_packet_init(p, buf.size(), &head);
    dns_add_domain(p, r.domain.c_str(), r.qtype, r.qclass);
  }
  std::vector<uint8_t> Encode() {
    std::vector<uint8_t> out(kDnsMessageMax);
    int n = dns_encode(out.data(), static_cast<int>(out.size()), p);
    if (n < 0) {
      LogOut(LL_ERR, "encode raw packet failed for reply");
      return {};
    }
    out.resize(n);
    return out;
  }
};

// First address of the wanted type in an encoded answer, as text.
std::string FirstAddress(const std::vector<uint8_t>& packet, uint16_t qtype, int* rcode) {
  DnsPacketObject buf;
  if (buf.Decode(packet.data(), static_cast<int>(packet.size())) != 0) {
    *rcode = DNS_RC_SERVFAIL;
    return {};
  }
  *rcode = buf.get()->head.rcode;
  char owner[kDnsNameTextMax];
  int ttl = 0;
  uint8_t addr[16];
  for (const dns_rrs* e = dns_get_rrs_start(buf.get(), DNS_RRS_AN, nullptr); e;
       e = dns_get_rrs_next(buf.get(), e)) {
    if (qtype == DNS_T_A && dns_get_A(e, owner, sizeof owner, &ttl, addr) == 0) {
      return AddressText(AF_INET, addr);
    }
    if (qtype == DNS_T_AAAA && dns_get_AAAA(e, owner, sizeof owner, &ttl, addr) == 0) {
      return AddressText(AF_INET6, addr);
    }
  }
  return {};
}

}  // namespace

void DnsEngine::Core::PostAssembled(Request& r, bool final_post) {
  if (r.gate.has_answer()) return;
  if (r.has_addr && r.best_ping < 1 && (final_post || r.speed_checked)) PickWithoutSpeed(r);
  bool addr_ok = r.has_addr && ((r.qtype == DNS_T_A && r.addr_family == AF_INET) ||
                                (r.qtype == DNS_T_AAAA && r.addr_family == AF_INET6));
  uint16_t rcode = addr_ok ? static_cast<uint16_t>(DNS_RC_NOERROR) : r.rcode;
  int64_t ttl =
      rcode == DNS_RC_SERVFAIL || rcode == DNS_RC_NXDOMAIN ? kNegativeTtl : kDefaultReplyTtl;
  if (addr_ok) {
    ttl = r.ttl;
    if (final_post && !r.upstream_done && ttl > kDefaultReplyTtl) ttl = kDefaultReplyTtl;
  }
  if (conf.rr_ttl_reply_max >= 1 && ttl > conf.rr_ttl_reply_max) ttl = conf.rr_ttl_reply_max;
  ReplyBuilder b(r, rcode);
  std::string owner = r.domain;
  if (!r.cname.empty() && !conf.force_no_cname) {
    dns_add_CNAME(b.p, DNS_RRS_AN, r.domain.c_str(), r.cname_ttl, r.cname.c_str());
    owner = r.cname;
  }
  if (addr_ok) {
    if (r.addr_family == AF_INET) {
      dns_add_A(b.p, DNS_RRS_AN, owner.c_str(), static_cast<int>(ttl), r.addr);
    } else {
      dns_add_AAAA(b.p, DNS_RRS_AN, owner.c_str(), static_cast<int>(ttl), r.addr);
    }
    // With speed results, the addresses about as fast as the answer go along with it.
    int64_t given = 1;
    size_t len = r.addr_family == AF_INET ? 4 : 16;
    for (const SpeedProbe& p : r.fast_addresses) {
      if (r.best_ping < 1 || given >= conf.max_reply_ip_num) break;
      if (p.family != r.addr_family || std::memcmp(p.addr, r.addr, len) == 0) continue;
      if (r.addr_family == AF_INET) {
        dns_add_A(b.p, DNS_RRS_AN, owner.c_str(), static_cast<int>(ttl), p.addr);
      } else {
        dns_add_AAAA(b.p, DNS_RRS_AN, owner.c_str(), static_cast<int>(ttl), p.addr);
      }
      given++;
    }
  } else if (r.qtype == DNS_T_A || r.qtype == DNS_T_AAAA || rcode != DNS_RC_NOERROR) {
    dns_soa soa;
    std::string soa_owner = r.soa_owner;
    if (r.soa) {
      soa = *r.soa;
    } else {
      SynthesizedSoa(&soa);
      soa_owner = r.domain;
    }
    dns_add_SOA(b.p, DNS_RRS_NS, soa_owner.c_str(), static_cast<int>(ttl), &soa);
    LogOut(LL_DEBUG, "result: %s, qtype: %d, return SOA", r.domain.c_str(), r.qtype);
  }
  if (rcode != DNS_RC_NOERROR) {
    LogOut(LL_DEBUG, "result %s, qtype: %d, rtcode: %d", r.domain.c_str(), r.qtype, rcode);
  }
  GateAnswer answer{b.Encode(), static_cast<int32_t>(ttl), AnswerSource::kFinal, !addr_ok};
  if (answer.packet.empty()) return;
  // A SERVFAIL that no upstream answer produced (time-outs, overload) is not worth remembering;
  // one an upstream gave is kept for a while so a broken name does not reach it on every query.
  if (r.upstream_examined || r.upstream_failed || rcode == DNS_RC_NXDOMAIN) {
    StoreInCache(r, answer);
  }
  if (addr_ok) ApplyIpset(r, answer);
  // The cache keeps the address; this client may get a SOA for it (the other family is faster).
  if (addr_ok && DualStackGivesWay(r)) return PostSoa(r, static_cast<int>(ttl));
  Deliver(r, std::move(answer));
}

void DnsEngine::Core::PostLocalAddress(Request& r, int family, const void* addr, int ttl) {
  if (conf.rr_ttl_reply_max >= 1 && ttl > conf.rr_ttl_reply_max) {
    ttl = static_cast<int>(conf.rr_ttl_reply_max);
  }
  ReplyBuilder b(r, DNS_RC_NOERROR);
  const auto* bytes = static_cast<const unsigned char*>(addr);
  if (family == AF_INET) {
    dns_add_A(b.p, DNS_RRS_AN, r.domain.c_str(), ttl, bytes);
  } else {
    dns_add_AAAA(b.p, DNS_RRS_AN, r.domain.c_str(), ttl, bytes);
  }
  r.gate.SetVerdict({kVerdictAllowed, 0});
  Deliver(r, GateAnswer{b.Encode(), ttl, AnswerSource::kLocal, false});
}

void DnsEngine::Core::PostSoa(Request& r, int ttl) {
  ReplyBuilder b(r, DNS_RC_NOERROR);
  dns_soa soa;
  SynthesizedSoa(&soa);
  if (ttl < 0) ttl = kDefaultReplyTtl;
  if (conf.rr_ttl_reply_max >= 1 && ttl > conf.rr_ttl_reply_max) {
    ttl = static_cast<int>(conf.rr_ttl_reply_max);
  }
  dns_add_SOA(b.p, DNS_RRS_NS, r.domain.c_str(), ttl, &soa);
  r.gate.SetVerdict({kVerdictAllowed, 0});
  LogOut(LL_DEBUG, "result: %s, qtype: %d, SOA", r.domain.c_str(), r.qtype);
  GateAnswer answer{b.Encode(), ttl, AnswerSource::kLocal, true};
  answer.dualstack_soa = r.ds.forced_soa;
  Deliver(r, std::move(answer));
}

void DnsEngine::Core::PostPtr(Request& r, const std::string& target) {
  ReplyBuilder b(r, DNS_RC_NOERROR);
  int ttl = kPtrAnswerTtl;
  if (conf.rr_ttl_reply_max >= 1 && ttl > conf.rr_ttl_reply_max) {
    ttl = static_cast<int>(conf.rr_ttl_reply_max);
  }
  if (dns_add_PTR(b.p, DNS_RRS_AN, r.domain.c_str(), ttl, target.c_str()) != 0) {
    PostSoa(r);
    return;
  }
  r.gate.SetVerdict({kVerdictAllowed, 0});
  Deliver(r, GateAnswer{b.Encode(), ttl, AnswerSource::kLocal, false});
}

void DnsEngine::Core::PostRcodeOnly(Request& r, uint16_t rcode) {
  ReplyBuilder b(r, rcode);
  r.gate.SetVerdict({kVerdictAllowed, 0});
  Deliver(r, GateAnswer{b.Encode(), -1, AnswerSource::kLocal, true});
}

void DnsEngine::Core::Deliver(Request& r, GateAnswer answer) {
  if (r.merge_leader) {
    // Everyone who asked the same question meanwhile gets the same pristine answer; each one's
    // own ID, verdict and options are applied when its copy is sent.
    r.merge_leader = false;
    for (uint64_t id : merges.Finish(r.merge_key, r.id)) {
      Request* w = Find(id);
      if (!w) continue;
      GateAnswer copy = answer;
      copy.source = AnswerSource::kMerged;
      w->answer_received = r.answer_received;
      w->gate.SetAnswer(std::move(copy));
      TrySend(*w);
    }
  }
  if (!r.gate.SetAnswer(std::move(answer))) return;
  TrySend(r);
}

void DnsEngine::Core::TrySend(Request& r) {
  if (r.done || !r.gate.TakeSendTurn()) return;
  const GateAnswer& answer = *r.gate.answer();
  if (r.gate.verdict().decision != kVerdictAllowed && r.qtype == DNS_T_A) {
    LogOut(LL_DEBUG, "###overriding ip for the domain : %s", r.domain.c_str());
  }
  SendCopy(r, answer);
  MarkDone(r);
}

void DnsEngine::Core::SendCopy(Request& r, const GateAnswer& answer) {
  if (r.origin == Origin::kInternal) {
    if (r.internal_done) {
      int rcode = DNS_RC_SERVFAIL;
      std::string address = FirstAddress(answer.packet, r.qtype, &rcode);
      auto done = std::move(r.internal_done);
      r.internal_done = nullptr;
      done(address.empty() && rcode == DNS_RC_NOERROR ? DNS_RC_NXDOMAIN : rcode, address);
    }
    return;
  }
  DnsClientEdit edit;
  edit.id = r.client_id;
  edit.ttl = answer.ttl;
  edit.a_addr = r.qtype == DNS_T_A ? r.gate.ARewrite() : 0;
  edit.client_edns = r.client_edns;
  edit.dnssec_ok = r.dnssec_ok;
  edit.checking_disabled = r.checking_disabled;
  edit.payload = kReplyPayload;
  edit.ecs = r.ecs ? &*r.ecs : nullptr;
  edit.limit =
      r.origin == Origin::kUdp ? dns_client_udp_limit(r.client_edns, r.client_payload) : 65535;
  edit.qname = r.qname;
  edit.qname_len = r.qname_len;
  // UDP copies are built where the batch sends them from; others (TCP, oversized) aside.
  int need = static_cast<int>(answer.packet.size()) + 64 + kDnsWireNameMax;
  uint8_t* out = r.origin == Origin::kUdp && need <= kUdpReplySlot ? UdpReplySlot(r) : nullptr;
  std::vector<uint8_t> aside;
  if (out) {
    need = kUdpReplySlot;
  } else {
    aside.resize(need);
    out = aside.data();
  }
  int n = dns_build_client_reply(answer.packet.data(), static_cast<int>(answer.packet.size()), edit,
                                 out, need);
  if (n < 0) {
    LogOut(LL_ERR, "update packet info failed.");
    return;
  }
  if (r.origin == Origin::kUdp && n < static_cast<int>(answer.packet.size()) && (out[2] & 0x02)) {
    Count(&DnsEngineStats::truncated);
  }
  bool sent = r.origin == Origin::kUdp ? SendUdp(r, out, n) : SendTcp(r.tcp_client, out, n);
  if (!sent) {
    if (r.origin == Origin::kTcp)
      LogOut(LL_DEBUG, "client is invalid, domain: %s", r.domain.c_str());
    return;
  }
  Count(&DnsEngineStats::replies);
  if (conf.audit_enable) WriteAudit(r, out, n, answer.soa);
}

void DnsEngine::Core::WriteAudit(const Request& r, const uint8_t* reply, int len, bool soa) {
  std::string result;
  DnsPacketObject buf;
  if (buf.Decode(reply, len) == 0) {
    char owner[kDnsNameTextMax];
    int ttl = 0;
    uint8_t addr[16];
    for (const dns_rrs* e = dns_get_rrs_start(buf.get(), DNS_RRS_AN, nullptr); e;
         e = dns_get_rrs_next(buf.get(), e)) {
      std::string text;
      if (dns_get_A(e, owner, sizeof owner, &ttl, addr) == 0) {
        text = AddressText(AF_INET, addr);
      } else if (dns_get_AAAA(e, owner, sizeof owner, &ttl, addr) == 0) {
        text = AddressText(AF_INET6, addr);
      } else {
        continue;
      }
      result += (result.empty() ? "" : ", ") + text;
    }
  }
  if (result.empty() && soa) {
    if (!conf.audit_soa) return;
    const GateAnswer* given = r.gate.answer();
    result = given && given->dualstack_soa ? "dualstack soa" : "soa";
  }
  long ms = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - r.start).count());
  audit.Write(AuditLog::FormatLine(AddressText(r.client), r.domain, ms, r.qtype, result));
}

void DnsEngine::Core::StoreInCache(const Request& r, const GateAnswer& answer) {
  if (r.bind_flags & kBindNoCache || (r.origin == Origin::kInternal && !r.refresh && !r.ds.parent))
    return;
  DnsQuestionView q;
  if (dns_read_question(answer.packet.data(), static_cast<int>(answer.packet.size()), &q) != 0)
    return;
  int ttl = answer.ttl;
  if (q.rcode != DNS_RC_NOERROR && q.rcode != DNS_RC_NXDOMAIN && r.refresh) {
    return;  // a failed refresh leaves the answer it was meant to renew in place
  }
  if (q.rcode != DNS_RC_NOERROR) {
    ttl = kFailedAnswerCacheTtl;
  } else if (answer.soa && answer.source == AnswerSource::kFinal &&
             (r.qtype == DNS_T_A || r.qtype == DNS_T_AAAA)) {
    // A name without an address of this type is kept for `rr-ttl` (the cache's floor when 0).
    ttl = static_cast<int>(std::min<int64_t>(conf.rr_ttl, INT32_MAX));
  } else if (r.qtype != DNS_T_A && r.qtype != DNS_T_AAAA && r.qtype != DNS_T_TXT &&
             r.qtype != DNS_T_PTR && r.qtype != DNS_T_SRV && r.qtype != DNS_T_HTTPS) {
    return;
  }
  // Signed answers are never kept longer than their records say, denials included.
  if ((r.dnssec_ok || r.checking_disabled) && answer.ttl >= 0 && ttl > answer.ttl) ttl = answer.ttl;
  CacheKey key{r.domain_lower, r.qtype, r.group, r.cache_client_subnet};
  CachedAnswer stored{answer.packet, ttl, answer.soa, r.best_ping};
  stored.bind_flags = r.bind_flags;
  cache->Store(key, stored, r.store_kind);
  // The records under a CNAME target answer a query for the target itself, too.
  if (r.dnssec_ok || r.checking_disabled) return;
  std::string target;
  if (auto target_answer = CnameTargetAnswer(answer.packet, r.domain, r.qtype, &target)) {
    LogOut(LL_DEBUG, "Cache CNAME: %s, qtype: %d, speed: %d", target.c_str(), r.qtype, r.best_ping);
    CacheKey target_key{target, r.qtype, r.group, r.cache_client_subnet};
    CachedAnswer target_stored{std::move(*target_answer), ttl, false, r.best_ping};
    target_stored.bind_flags = r.bind_flags;
    cache->Store(target_key, target_stored, r.store_kind);
  }
}

// No speed result to go by: the address most upstream answers agree on, else the latest one.
void DnsEngine::Core::PickWithoutSpeed(Request& r) {
  int chosen = zc::dns::PickWithoutSpeed(r.seen, r.addr_family);
  if (chosen < 0) return;
  const SeenAddress& s = r.seen[chosen];
  std::memcpy(r.addr, s.addr, sizeof r.addr);
  if (r.ttl > kDefaultReplyTtl) r.ttl = kDefaultReplyTtl;
  LogOut(LL_DEBUG, "possible result: %s, rcode: %d,  hitnum: %d, %s", r.domain.c_str(), r.rcode,
         s.hits, AddressText(s.family, s.addr).c_str());
}

Request& DnsEngine::Core::NewRequest(uint64_t id) {
  if (spare_requests.empty()) {
    auto [it, inserted] = requests.emplace(id, std::make_unique<Request>());
    it->second->id = id;
    return *it->second;
  }
  RequestTable::node_type node = std::move(spare_requests.back());
  spare_requests.pop_back();
  node.key() = id;
  node.mapped()->id = id;
  return *requests.insert(std::move(node)).position->second;
}

void DnsEngine::Core::MarkDone(Request& r) {
  if (r.done) return;
  r.done = true;
  reap.push_back(r.id);
}

void DnsEngine::Core::Reap() {
  while (!reap.empty()) {
    uint64_t id = reap.back();
    reap.pop_back();
    Finish(id);
  }
}

void DnsEngine::Core::Finish(uint64_t request_id) {
  auto it = requests.find(request_id);
  if (it == requests.end()) return;
  // Out of the table before any callback runs: the callbacks below (merged waiters' internal
  // queries, this request's own) may start requests and so grow the table, and nothing here may
  // hold a position in it meanwhile.
  RequestTable::node_type node = requests.extract(it);
  Request& r = *node.mapped();
  if (r.upstream && upstream) upstream->Cancel(r.upstream);
  if (r.speed_pending) speed->Cancel({generation, r.id});
  if (r.merge_leader) {
    // The leader goes without an answer (its client vanished): its waiters still need one.
    r.merge_leader = false;
    for (uint64_t id : merges.Finish(r.merge_key, r.id)) {
      if (Request* w = Find(id)) PostAssembled(*w, true);
    }
  }
  if (r.ds.parent) OnCompanionEnd(r);
  if (r.origin == Origin::kTcp) {
    auto c = tcp_clients.find(r.tcp_client);
    if (c != tcp_clients.end()) {
      TcpClient& client = *c->second;
      client.pending--;
      if (client.read_closed && client.pending == 0 && client.out.size() == client.out_offset) {
        CloseTcpClient(client.id, "answered after peer close");
      }
    }
  }
  if (r.internal_done) {
    auto done = std::move(r.internal_done);
    r.internal_done = nullptr;
    done(DNS_RC_SERVFAIL, {});
  }
  if (spare_requests.size() < kSpareRequests) {
    // Every field back to its default; the name buffers and the packet keep their capacity.
    Request& done = *node.mapped();
    std::vector<uint8_t> packet = done.gate.ReleasePacket();
    std::string domain = std::move(done.domain);
    std::string lower = std::move(done.domain_lower);
    std::string owner = std::move(done.expect_owner);
    // Made anew in place: cheaper than assigning a fresh temporary member by member.
    std::destroy_at(&done);
    std::construct_at(&done);
    domain.clear();
    lower.clear();
    owner.clear();
    done.domain = std::move(domain);
    done.domain_lower = std::move(lower);
    done.expect_owner = std::move(owner);
    if (packet.capacity() && spare_packets.size() < kSpareRequests) {
      packet.clear();
      spare_packets.push_back(std::move(packet));
    }
    spare_requests.push_back(std::move(node));
  }
  stats_changed = true;  // the live count, published with this wake's counters
}

}  // namespace zc::dns
