// Domain rules (address, nameserver group, ipset, speed-check orders, flags) looked up by the
// domain and each of its parents, and IP rules looked up by best prefix match.
#pragma once

#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "dns/common/speed_orders.h"

namespace zc::dns {

// Domain-rule flags.
inline constexpr uint32_t kRuleSoaAll = 0x1;
inline constexpr uint32_t kRuleSoaA = 0x2;
inline constexpr uint32_t kRuleSoaAAAA = 0x4;
inline constexpr uint32_t kRuleIgnoreAddr = 0x8;
inline constexpr uint32_t kRuleIgnoreAddrV4 = 0x10;
inline constexpr uint32_t kRuleIgnoreAddrV6 = 0x20;
inline constexpr uint32_t kRuleIgnoreIpset = 0x40;
inline constexpr uint32_t kRuleIgnoreIpsetV4 = 0x80;
inline constexpr uint32_t kRuleIgnoreIpsetV6 = 0x100;
inline constexpr uint32_t kRuleIgnoreNameserver = 0x200;
inline constexpr uint32_t kRuleDualstack = 0x400;
inline constexpr uint32_t kRuleOwnAddress = 0x800;

// IP-rule flags.
inline constexpr uint32_t kIpIgnore = 0x10000000;
inline constexpr uint32_t kIpBogusNxdomain = 0x20000000;
inline constexpr uint32_t kIpWhitelist = 0x40000000;
inline constexpr uint32_t kIpBlacklist = 0x80000000;

inline constexpr size_t kMaxDomainLength = 255;
// Parses "ping,tcp:80,tcp:443" / "none". Ports outside 1-65534 become 80; ping entries are
// dropped when icmp_available is false. False on an unknown entry.
bool ParseSpeedCheckOrders(std::string_view text, bool icmp_available, SpeedCheckOrders* orders);

// One rule record: the slots a domain carries.
struct DomainRule {
  uint32_t flags = 0;
  uint32_t mask = 0;  // flags set explicitly (the dual-stack bit can be set "off")
  std::optional<in_addr> v4;
  std::optional<in6_addr> v6;
  std::optional<std::vector<std::string>> ipset;
  std::optional<std::vector<std::string>> ipset_v4;
  std::optional<std::vector<std::string>> ipset_v6;
  std::optional<std::string> nameserver;
  std::optional<SpeedCheckOrders> orders;
};

// The rule slots that apply to one domain after walking its parents.
struct MatchedRules {
  bool matched = false;
  uint32_t flags = 0;
  uint32_t mask = 0;
  std::optional<in_addr> v4;
  std::optional<in6_addr> v6;
  std::optional<std::vector<std::string>> ipset;
  std::optional<std::vector<std::string>> ipset_v4;
  std::optional<std::vector<std::string>> ipset_v6;
  std::optional<std::string> nameserver;
  std::optional<SpeedCheckOrders> orders;
};

class DomainRules {
 public:
  // The record of a domain (lower-cased, leading dots dropped, final dot dropped); created on
  // first use. Null when the domain is too long or not a valid name.
  DomainRule* Get(std::string_view domain);
  // Walks the rules of the domain's parents (shortest first) and of the domain itself.
  MatchedRules Match(std::string_view domain_lower) const;
  bool empty() const { return rules_.empty(); }
  size_t size() const { return rules_.size(); }
  void Clear() { rules_.clear(); }

 private:
  // Looked up by string_view: matching a name allocates nothing.
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  std::unordered_map<std::string, DomainRule, NameHash, std::equal_to<>> rules_;
};

// Applies an address value ("1.2.3.4", "::1", "#", "#4", "#6", "-", "-4", "-6") to a rule.
bool ApplyAddressValue(std::string_view value, DomainRule* rule);
// Applies an ipset value ("set1,set2", "#4:set", "#6:-", "-") to a rule.
bool ApplyIpsetValue(std::string_view value, DomainRule* rule);
// Applies a nameserver value (a group name or "-").
bool ApplyNameserverValue(std::string_view value, DomainRule* rule);

// Parses "/domain/rest": the domain between the first two slashes (leading dots dropped) and
// what follows the second slash.
bool SplitDomainValue(std::string_view text, std::string* domain, std::string* rest);

// IPv4 and IPv6 prefix rules with best-match lookup.
class IpRules {
 public:
  // Adds flags for "addr[/prefix]"; an IPv4-mapped IPv6 address counts as IPv4.
  bool Add(std::string_view text, uint32_t flags);
  // Flags of the longest matching prefix; 0 when none.
  uint32_t Lookup(const uint8_t* addr, int family) const;
  bool empty() const { return count_ == 0; }

 private:
  struct Table {
    // One map per prefix length, keyed by the masked address bytes.
    std::vector<std::unordered_map<std::string, uint32_t>> by_length;
  };
  Table v4_{std::vector<std::unordered_map<std::string, uint32_t>>(33)};
  Table v6_{std::vector<std::unordered_map<std::string, uint32_t>>(129)};
  size_t count_ = 0;
};

// "addr" or "addr/prefix" -> family (AF_INET/AF_INET6), 16 address bytes, prefix (the full
// length when absent). IPv4-mapped IPv6 becomes IPv4. False on malformed text or prefix.
bool ParseAddressPrefix(std::string_view text, int* family, uint8_t addr[16], int* prefix,
                        bool* has_prefix = nullptr);

}  // namespace zc::dns
