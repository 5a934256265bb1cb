// Refreshes of cached answers: the query of a cache entry run through the pipeline without a
// client, its answer replacing the entry. Engine thread only.
#include <arpa/inet.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "dns/engine/engine_core.h"
#include "utils/log.h"

namespace zc::dns {

namespace {

// The client subnet of a cache key back into an option ("192.0.2.0/24").
bool ParseEcsText(const std::string& text, dns_opt_ecs* ecs) {
  size_t slash = text.find('/');
  if (slash == std::string::npos) return false;
  std::string addr = text.substr(0, slash);
  int prefix = std::atoi(text.c_str() + slash + 1);
  *ecs = dns_opt_ecs{};
  if (inet_pton(AF_INET, addr.c_str(), ecs->addr) == 1 && prefix >= 0 && prefix <= 32) {
    ecs->family = 1;
  } else if (inet_pton(AF_INET6, addr.c_str(), ecs->addr) == 1 && prefix >= 0 && prefix <= 128) {
    ecs->family = 2;
  } else {
    return false;
  }
  ecs->source_prefix = static_cast<uint8_t>(prefix);
  return true;
}

}  // namespace

void DnsEngine::Core::StartRefresh(const CacheKey& key, uint32_t bind_flags, bool expired) {
  DnsPacketBuffer<> buf;
  // The DNSSEC marks of the key come back as the query's DO and CD flags.
  std::string subnet = key.client_subnet;
  auto take_mark = [&subnet](std::string_view mark) {
    size_t at = subnet.find(mark);
    if (at == std::string::npos) return false;
    subnet.erase(at, mark.size());
    return true;
  };
  bool dnssec_ok = take_mark(kKeyMarkDo);
  bool checking_disabled = take_mark(kKeyMarkCd);
  dns_head head;
  head.rd = 1;
  head.cd = checking_disabled;
  dns_packet_init(buf.get(), buf.size(), &head);
  if (dnssec_ok) buf.get()->edns_flags = kDnsEdnsDo;
  dns_opt_ecs ecs;
  bool with_ecs = !subnet.empty();
  if (with_ecs && !ParseEcsText(subnet, &ecs)) return;
  uint8_t wire[kDnsMessageMax];
  int len = -1;
  if (dns_add_domain(buf.get(), key.domain.c_str(), key.qtype, DNS_C_IN) == 0 &&
      (!(with_ecs || dnssec_ok) || dns_set_OPT_payload_size(buf.get(), kUpstreamPayload) == 0) &&
      (!with_ecs || dns_add_OPT_ECS(buf.get(), &ecs) == 0)) {
    len = dns_encode(wire, sizeof wire, buf.get());
  }
  if (len < 0) {
    LogOut(LL_ERR, "prefetch domain %s, qtype %d, failed.", key.domain.c_str(), key.qtype);
    return;
  }
  LogOut(
      LL_DEBUG,
      expired ? "expired domain, prefetch by cache %s, qtype %d" : "prefetch by cache %s, qtype %d",
      key.domain.c_str(), key.qtype);
  QuerySource src;
  src.origin = Origin::kInternal;
  src.refresh = true;
  src.refresh_expired = expired;
  src.bind_flags = bind_flags;
  src.bind_group = key.group;
  Intake(wire, len, src);
}

}  // namespace zc::dns
