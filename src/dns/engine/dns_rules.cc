#include "dns/engine/dns_rules.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstring>

#include "dns/codec/dns_name.h"
#include "dns/upstream/upstream_config.h"

namespace zc::dns {

namespace {

bool ValidPort(std::string_view text, int* port) {
  int v = 0;
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || p != text.data() + text.size()) return false;
  *port = v;
  return true;
}

std::string NormalizeDomain(std::string_view domain) {
  while (!domain.empty() && domain.front() == '.') domain.remove_prefix(1);
  return dns_name_lower(domain);
}

std::vector<std::string> SplitComma(std::string_view text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) comma = text.size();
    std::string_view part = text.substr(start, comma - start);
    if (!part.empty()) out.emplace_back(part);
    start = comma + 1;
  }
  return out;
}

void MaskAddress(uint8_t* addr, int bytes, int prefix) {
  for (int i = 0; i < bytes; i++) {
    int bits = prefix - i * 8;
    if (bits >= 8) continue;
    addr[i] = bits <= 0 ? 0 : static_cast<uint8_t>(addr[i] & (0xFF << (8 - bits)));
  }
}

}  // namespace

bool ParseSpeedCheckOrders(std::string_view text, bool icmp_available, SpeedCheckOrders* orders) {
  SpeedCheckOrders out{};
  int n = 0;
  for (const std::string& item : SplitComma(text)) {
    if (n >= kMaxSpeedCheckOrders) break;
    std::string_view v = item;
    if (v == "none") break;
    if (v == "ping") {
      if (icmp_available) out[n++] = {SpeedCheckOrder::Kind::kPing, 0};
      continue;
    }
    if (v == "tcp" || v.starts_with("tcp:")) {
      int port = kDefaultSpeedCheckTcpPort;
      if (v.size() > 4 && (!ValidPort(v.substr(4), &port) || port < 1 || port > 65534))
        port = kDefaultSpeedCheckTcpPort;
      out[n++] = {SpeedCheckOrder::Kind::kTcp, static_cast<uint16_t>(port)};
      continue;
    }
    return false;
  }
  *orders = out;
  return true;
}

DomainRule* DomainRules::Get(std::string_view domain) {
  std::string key = NormalizeDomain(domain);
  if (key.size() > kMaxDomainLength) return nullptr;
  if (!key.empty()) {
    uint8_t wire[kDnsWireNameMax];
    int len = 0;
    if (dns_name_from_text(key, wire, &len) != 0) return nullptr;
  }
  return &rules_[key];
}

MatchedRules DomainRules::Match(std::string_view domain) const {
  MatchedRules m;
  if (rules_.empty()) return m;
  // Suffixes from the shortest (the root, then the top label) to the whole name. A name has at
  // most 128 labels; anything longer is matched on its last ones only.
  constexpr size_t kMaxSuffixes = 130;
  size_t starts[kMaxSuffixes];
  size_t n = 0;
  starts[n++] = domain.size();
  for (size_t i = domain.size(); i-- > 0 && n < kMaxSuffixes - 1;) {
    if (domain[i] == '.' && (i == 0 || domain[i - 1] != '\\')) starts[n++] = i + 1;
  }
  starts[n++] = 0;
  size_t last = std::string_view::npos;
  for (size_t k = 0; k < n; k++) {
    size_t start = starts[k];
    if (start == last) continue;
    last = start;
    auto it = rules_.find(domain.substr(start));
    if (it == rules_.end()) continue;
    const DomainRule& r = it->second;
    m.matched = true;
    if (r.mask) {
      m.flags = (m.flags & ~r.mask) | (r.flags & r.mask);
      m.mask |= r.mask;
    }
    if (r.v4) m.v4 = r.v4;
    if (r.v6) m.v6 = r.v6;
    if (r.ipset) m.ipset = r.ipset;
    if (r.ipset_v4) m.ipset_v4 = r.ipset_v4;
    if (r.ipset_v6) m.ipset_v6 = r.ipset_v6;
    if (r.nameserver) m.nameserver = r.nameserver;
    if (r.orders) m.orders = r.orders;
    // The rule's ignore flags clear what its parents gave.
    if (r.flags & kRuleIgnoreAddr) m.v4.reset(), m.v6.reset();
    if (r.flags & kRuleIgnoreAddrV4) m.v4.reset();
    if (r.flags & kRuleIgnoreAddrV6) m.v6.reset();
    if (r.flags & kRuleIgnoreIpset) m.ipset.reset();
    if (r.flags & kRuleIgnoreIpsetV4) m.ipset_v4.reset();
    if (r.flags & kRuleIgnoreIpsetV6) m.ipset_v6.reset();
    if (r.flags & kRuleIgnoreNameserver) m.nameserver.reset();
  }
  return m;
}

bool ApplyAddressValue(std::string_view value, DomainRule* rule) {
  auto set_flag = [&](uint32_t f) {
    rule->flags |= f;
    rule->mask |= f;
    return true;
  };
  if (value == "#") return set_flag(kRuleSoaAll);
  if (value == "#4") return set_flag(kRuleSoaA);
  if (value == "#6") return set_flag(kRuleSoaAAAA);
  if (value == "-") return set_flag(kRuleIgnoreAddr);
  if (value == "-4") return set_flag(kRuleIgnoreAddrV4);
  if (value == "-6") return set_flag(kRuleIgnoreAddrV6);
  int family = 0;
  int prefix = 0;
  uint8_t addr[16];
  bool has_prefix = false;
  if (!ParseAddressPrefix(value, &family, addr, &prefix, &has_prefix) || has_prefix) return false;
  if (family == AF_INET) {
    in_addr a;
    std::memcpy(&a, addr, 4);
    rule->v4 = a;
  } else {
    in6_addr a;
    std::memcpy(&a, addr, 16);
    rule->v6 = a;
  }
  return true;
}

bool ApplyIpsetValue(std::string_view value, DomainRule* rule) {
  uint32_t ignore = kRuleIgnoreIpset;
  std::optional<std::vector<std::string>>* slot = &rule->ipset;
  if (value.starts_with("#4:")) {
    ignore = kRuleIgnoreIpsetV4;
    slot = &rule->ipset_v4;
    value.remove_prefix(3);
  } else if (value.starts_with("#6:")) {
    ignore = kRuleIgnoreIpsetV6;
    slot = &rule->ipset_v6;
    value.remove_prefix(3);
  }
  if (value == "-") {
    rule->flags |= ignore;
    rule->mask |= ignore;
    return true;
  }
  std::vector<std::string> names = SplitComma(value);
  if (names.empty()) return false;
  for (const std::string& n : names) {
    if (n.size() > 31) return false;  // kernel set names are at most 31 characters
  }
  *slot = std::move(names);
  return true;
}

bool ApplyNameserverValue(std::string_view value, DomainRule* rule) {
  if (value == "-") {
    rule->flags |= kRuleIgnoreNameserver;
    rule->mask |= kRuleIgnoreNameserver;
    return true;
  }
  if (value.empty() || value.size() > kMaxGroupNameLength) return false;
  rule->nameserver = std::string(value);
  return true;
}

bool SplitDomainValue(std::string_view text, std::string* domain, std::string* rest) {
  if (text.size() < 2 || text[0] != '/') return false;
  size_t second = text.find('/', 1);
  if (second == std::string_view::npos) return false;
  std::string_view d = text.substr(1, second - 1);
  while (!d.empty() && d.front() == '.') d.remove_prefix(1);
  *domain = std::string(d);
  *rest = std::string(text.substr(second + 1));
  return true;
}

bool ParseAddressPrefix(std::string_view text, int* family, uint8_t addr[16], int* prefix,
                        bool* has_prefix) {
  std::string host(text);
  int bits = -1;
  size_t slash = host.find('/');
  if (slash != std::string::npos) {
    std::string_view p = std::string_view(host).substr(slash + 1);
    if (!ValidPort(p, &bits) || bits < 0) return false;
    host.resize(slash);
  }
  if (has_prefix) *has_prefix = bits >= 0;
  std::memset(addr, 0, 16);
  if (inet_pton(AF_INET, host.c_str(), addr) == 1) {
    *family = AF_INET;
  } else if (inet_pton(AF_INET6, host.c_str(), addr) == 1) {
    static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::memcmp(addr, kMapped, 12) == 0) {
      std::memmove(addr, addr + 12, 4);
      std::memset(addr + 4, 0, 12);
      *family = AF_INET;
      if (bits >= 0) bits = bits >= 96 ? bits - 96 : -2;
      if (bits == -2) return false;
    } else {
      *family = AF_INET6;
    }
  } else {
    return false;
  }
  int max = *family == AF_INET ? 32 : 128;
  if (bits > max) return false;
  *prefix = bits < 0 ? max : bits;
  return true;
}

bool IpRules::Add(std::string_view text, uint32_t flags) {
  int family = 0;
  int prefix = 0;
  uint8_t addr[16];
  if (!ParseAddressPrefix(text, &family, addr, &prefix)) return false;
  int bytes = family == AF_INET ? 4 : 16;
  MaskAddress(addr, bytes, prefix);
  Table& t = family == AF_INET ? v4_ : v6_;
  t.by_length[prefix][std::string(reinterpret_cast<char*>(addr), bytes)] |= flags;
  count_++;
  return true;
}

uint32_t IpRules::Lookup(const uint8_t* addr, int family) const {
  if (count_ == 0) return 0;
  const Table& t = family == AF_INET ? v4_ : v6_;
  int bytes = family == AF_INET ? 4 : 16;
  for (int prefix = static_cast<int>(t.by_length.size()) - 1; prefix >= 0; prefix--) {
    const auto& m = t.by_length[prefix];
    if (m.empty()) continue;
    uint8_t masked[16];
    std::memcpy(masked, addr, bytes);
    MaskAddress(masked, bytes, prefix);
    auto it = m.find(std::string(reinterpret_cast<char*>(masked), bytes));
    if (it != m.end()) return it->second;
  }
  return 0;
}

}  // namespace zc::dns
