// The directive table and the loader: include files, depth limit, error positions.
#include <arpa/inet.h>
#include <limits.h>
#include <stdlib.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <unordered_map>

#include "dns/engine/conf_parser.h"
#include "dns/engine/dns_conf.h"
#include "utils/log.h"
#include "utils/paths.h"

namespace zc::dns {

namespace {

constexpr int64_t kIntMax = 2147483647;
constexpr size_t kMaxPathText = 1024;
constexpr size_t kMaxServerNameText = 128;
constexpr size_t kMaxUserText = 32;
constexpr uint16_t kDefaultDnsPort = 53;

using Args = std::vector<std::string>;

class Loader;
using Handler = bool (*)(Loader& l, const Args& args, std::string* error);

class Loader {
 public:
  explicit Loader(DnsConf* conf) : conf_(conf) {}
  bool LoadFile(const std::string& real_path, std::string* error);
  bool LoadText(const std::string& name, std::istream& in, std::string* error);
  DnsConf& conf() { return *conf_; }
  const std::string& current_file() const { return files_.back(); }
  bool Include(const std::string& path, std::string* error);

 private:
  DnsConf* conf_;
  std::vector<std::string> files_;    // stack of files being read (real paths)
  std::set<std::string> open_files_;  // canonical paths on the stack
  bool nested_failure_ = false;       // the last error already carries its position
};

// --- value helpers -------------------------------------------------------------------------

bool SetInt(const Args& a, int64_t min, int64_t max, int64_t* out, std::string* error) {
  if (!ParseConfInt(a[0], min, max, out)) {
    *error =
        "value " + a[0] + " is not a number in " + std::to_string(min) + ".." + std::to_string(max);
    return false;
  }
  return true;
}

bool SetInt32(const Args& a, int64_t min, int64_t max, int* out, std::string* error) {
  int64_t v = 0;
  if (!SetInt(a, min, max, &v, error)) return false;
  *out = static_cast<int>(v);
  return true;
}

bool SetSize(const Args& a, int64_t min, int64_t max, int64_t* out, std::string* error) {
  if (!ParseConfSize(a[0], min, max, out)) {
    *error = "size " + a[0] + " out of range";
    return false;
  }
  return true;
}

bool SetString(const Args& a, size_t max, std::string* out, std::string* error) {
  if (a[0].size() >= max) {
    *error = "value longer than " + std::to_string(max - 1) + " characters";
    return false;
  }
  *out = a[0];
  return true;
}

// "yes"/"YES" is on, "auto"/"AUTO" keeps the default, anything else is off.
template <typename T>
bool SetYesNo(const Args& a, T* out, std::string*) {
  const std::string& v = a[0];
  if (v == "yes" || v == "YES") {
    *out = 1;
  } else if (v == "auto" || v == "AUTO") {
    // default stays
  } else {
    if (v != "no" && v != "NO") LogOut(LL_WARN, "conf_yesno: value '%s' taken as no", v.c_str());
    *out = 0;
  }
  return true;
}

// "addr", "addr:port", "[v6]", "[v6]:port", ":port".
bool ParseBindAddress(const std::string& text, BindConfig* bind) {
  std::string host;
  std::string port_text;
  if (!text.empty() && text[0] == '[') {
    size_t close = text.find(']');
    if (close == std::string::npos) return false;
    host = text.substr(1, close - 1);
    if (close + 1 < text.size()) {
      if (text[close + 1] != ':') return false;
      port_text = text.substr(close + 2);
    }
  } else {
    size_t colon = text.rfind(':');
    if (colon != std::string::npos && text.find(':') == colon) {
      host = text.substr(0, colon);
      port_text = text.substr(colon + 1);
    } else {
      host = text;  // IPv4 or a bare IPv6 address
    }
  }
  int64_t port = kDefaultDnsPort;
  if (!port_text.empty() && !ParseConfInt(port_text, 1, 65535, &port)) return false;
  std::memset(&bind->addr, 0, sizeof bind->addr);
  if (host.empty() || host == "*") {
    auto* a6 = reinterpret_cast<sockaddr_in6*>(&bind->addr);
    a6->sin6_family = AF_INET6;
    a6->sin6_addr = in6addr_any;
    a6->sin6_port = htons(static_cast<uint16_t>(port));
    bind->addr_len = sizeof(sockaddr_in6);
    return true;
  }
  auto* a4 = reinterpret_cast<sockaddr_in*>(&bind->addr);
  if (inet_pton(AF_INET, host.c_str(), &a4->sin_addr) == 1) {
    a4->sin_family = AF_INET;
    a4->sin_port = htons(static_cast<uint16_t>(port));
    bind->addr_len = sizeof(sockaddr_in);
    return true;
  }
  auto* a6 = reinterpret_cast<sockaddr_in6*>(&bind->addr);
  if (inet_pton(AF_INET6, host.c_str(), &a6->sin6_addr) == 1) {
    a6->sin6_family = AF_INET6;
    a6->sin6_port = htons(static_cast<uint16_t>(port));
    bind->addr_len = sizeof(sockaddr_in6);
    return true;
  }
  return false;
}

constexpr OptionSpec kBindOptions[] = {
    {"group", true},           {"no-rule-addr", false},      {"no-rule-nameserver", false},
    {"no-rule-ipset", false},  {"no-rule-sni-proxy", false}, {"no-rule-soa", false},
    {"no-speed-check", false}, {"no-cache", false},          {"no-dualstack-selection", false},
    {"force-aaaa-soa", false},
};

bool AddBind(Loader& l, const Args& args, Transport transport, std::string* error) {
  ParsedOptions opts;
  if (!ParseOptions(args, kBindOptions, &opts, error)) return false;
  if (opts.positional.size() != 1) {
    *error = "bind needs exactly one address";
    return false;
  }
  BindConfig bind;
  bind.text = opts.positional[0];
  bind.transport = transport;
  if (!ParseBindAddress(bind.text, &bind)) {
    *error = "invalid bind address " + bind.text;
    return false;
  }
  static const std::unordered_map<std::string, uint32_t> kFlags = {
      {"no-rule-addr", kBindNoRuleAddr},
      {"no-rule-nameserver", kBindNoRuleNameserver},
      {"no-rule-ipset", kBindNoRuleIpset},
      {"no-rule-sni-proxy", kBindNoRuleSniProxy},
      {"no-rule-soa", kBindNoRuleSoa},
      {"no-speed-check", kBindNoSpeedCheck},
      {"no-cache", kBindNoCache},
      {"no-dualstack-selection", kBindNoDualstack},
      {"force-aaaa-soa", kBindForceAAAASoa},
  };
  for (const auto& [name, value] : opts.options) {
    if (name == "group") {
      if (value.empty() || value.size() > kMaxGroupNameLength) {
        *error = "invalid group name " + value;
        return false;
      }
      bind.group = value;
    } else {
      bind.flags |= kFlags.at(name);
    }
  }
  int type = transport == Transport::kUdp ? 0 : 1;
  for (const BindConfig& b : l.conf().binds) {
    if (b.transport == transport && b.addr_len == bind.addr_len &&
        std::memcmp(&b.addr, &bind.addr, b.addr_len) == 0) {
      LogOut(LL_WARN, "Bind server %s, type %d, already configured, skip.", bind.text.c_str(),
             type);
      return true;
    }
  }
  if (l.conf().binds.size() >= kMaxBinds) {
    LogOut(LL_WARN, "exceeds max server number, %s", bind.text.c_str());
    return true;
  }
  LogOut(LL_INFO, "bind ip %s, type:%d, flag: %X", bind.text.c_str(), type, bind.flags);
  l.conf().binds.push_back(std::move(bind));
  return true;
}

constexpr OptionSpec kServerOptions[] = {
    {"blacklist-ip", false},   {"whitelist-ip", false}, {"spki-pin", true},
    {"host-name", true},       {"http-host", true},     {"no-check-certificate", false},
    {"tls-host-verify", true}, {"group", true},         {"exclude-default-group", false},
};

bool AddServer(Loader& l, const Args& args, UpstreamType type, std::string* error) {
  ParsedOptions opts;
  if (!ParseOptions(args, kServerOptions, &opts, error)) return false;
  if (opts.positional.size() != 1) {
    *error = "server needs exactly one address";
    return false;
  }
  UpstreamServerConfig server;
  server.type = type;
  const std::string& where = opts.positional[0];
  bool ok = type == UpstreamType::kHttps ? ParseHttpsUri(where, &server, error)
                                         : ParseServerAddress(where, &server, error);
  if (!ok) {
    if (error->empty()) *error = "invalid server address " + where;
    return false;
  }
  for (const auto& [name, value] : opts.options) {
    if (name == "blacklist-ip") {
      server.flags |= kServerFlagBlacklistIp;
    } else if (name == "whitelist-ip") {
      server.flags |= kServerFlagWhitelistIp;
    } else if (name == "spki-pin") {
      if (value.size() > kMaxSpkiPinTextLength || !DecodeSpkiPin(value, &server.spki_pin, error)) {
        *error = "spki data length is invalid.";
        return false;
      }
    } else if (name == "host-name") {
      server.host_name = value;
    } else if (name == "http-host") {
      server.http_host = value;
    } else if (name == "no-check-certificate") {
      server.no_check_certificate = true;
    } else if (name == "tls-host-verify") {
      server.tls_host_verify = value;
    } else if (name == "group") {
      if (value.empty() || value.size() > kMaxGroupNameLength) {
        *error = "invalid group name " + value;
        return false;
      }
      server.groups.push_back(value);
    } else if (name == "exclude-default-group") {
      server.exclude_default_group = true;
    }
  }
  auto& servers = l.conf().upstream.servers;
  if (servers.size() >= kMaxUpstreamServers) {
    LogOut(LL_WARN, "exceeds max server number, %s", where.c_str());
    return true;
  }
  LogOut(LL_INFO, "add server %s, flag: %X, ttl: %d", where.c_str(), server.flags, 0);
  servers.push_back(std::move(server));
  return true;
}

// "/domain/value" directives: address, nameserver, ipset.
bool DomainDirective(Loader& l, const Args& args, bool (*apply)(std::string_view, DomainRule*),
                     const char* what, std::string* error) {
  std::string domain;
  std::string value;
  if (!SplitDomainValue(args[0], &domain, &value)) {
    *error = std::string("invalid ") + what + " value " + args[0];
    return false;
  }
  if (domain.size() > kMaxDomainLength) {
    *error = "domain name " + domain + " too long";
    return false;
  }
  DomainRule* rule = l.conf().domain_rules.Get(domain);
  if (!rule) {
    *error = "add doamin " + domain + " rule failed";
    return false;
  }
  if (!apply(value, rule)) {
    *error = std::string("add ") + what + " " + domain + ", " + value + " failed";
    return false;
  }
  return true;
}

constexpr OptionSpec kDomainRuleOptions[] = {
    {"speed-check-mode", true},       {"address", true}, {"nameserver", true}, {"ipset", true},
    {"dualstack-ip-selection", true},
};

bool DomainRulesDirective(Loader& l, const Args& args, std::string* error) {
  ParsedOptions opts;
  if (!ParseOptions(args, kDomainRuleOptions, &opts, error)) return false;
  if (opts.positional.size() != 1) {
    *error = "domain-rules needs /domain/ and options";
    return false;
  }
  std::string domain;
  std::string rest;
  if (!SplitDomainValue(opts.positional[0], &domain, &rest) || !rest.empty()) {
    *error = "invalid domain-rules domain " + opts.positional[0];
    return false;
  }
  if (domain.size() > kMaxDomainLength) {
    *error = "domain name " + domain + " too long";
    return false;
  }
  DomainRule* rule = l.conf().domain_rules.Get(domain);
  if (!rule) {
    *error = "add doamin " + domain + " rule failed";
    return false;
  }
  for (const auto& [name, value] : opts.options) {
    bool ok = true;
    if (name == "speed-check-mode") {
      SpeedCheckOrders orders;
      ok = ParseSpeedCheckOrders(value, l.conf().icmp_available, &orders);
      if (ok) rule->orders = orders;
    } else if (name == "address") {
      ok = ApplyAddressValue(value, rule);
    } else if (name == "nameserver") {
      ok = ApplyNameserverValue(value, rule);
    } else if (name == "ipset") {
      ok = ApplyIpsetValue(value, rule);
    } else if (name == "dualstack-ip-selection") {
      rule->mask |= kRuleDualstack;
      if (value == "yes" || value == "Yes") {
        rule->flags |= kRuleDualstack;
      } else {
        rule->flags &= ~kRuleDualstack;
      }
    }
    if (!ok) {
      *error = "domain-rules -" + name + " " + value + " failed for " + domain;
      return false;
    }
  }
  return true;
}

bool IpRuleDirective(Loader& l, const Args& args, uint32_t flag, std::string* error) {
  if (!l.conf().ip_rules.Add(args[0], flag)) {
    *error = "invalid address " + args[0];
    return false;
  }
  return true;
}

bool EcsDirective(Loader& l, const Args& args, std::string* error) {
  int family = 0;
  int prefix = 0;
  uint8_t addr[16];
  bool has_prefix = false;
  if (!ParseAddressPrefix(args[0], &family, addr, &prefix, &has_prefix)) {
    *error = "invalid client subnet " + args[0];
    return false;
  }
  if (!has_prefix) prefix = 0;
  EcsSetting& s = family == AF_INET ? l.conf().ecs_v4 : l.conf().ecs_v6;
  s.set = true;
  s.value.family = family == AF_INET ? 1 : 2;
  s.value.source_prefix = static_cast<uint8_t>(prefix);
  s.value.scope_prefix = 0;
  std::memset(s.value.addr, 0, sizeof s.value.addr);
  std::memcpy(s.value.addr, addr, (prefix + 7) / 8);
  return true;
}

bool ForceQtypeSoa(Loader& l, const Args& args, std::string* error) {
  for (const std::string& arg : args) {
    std::stringstream ss(arg);
    std::string item;
    while (std::getline(ss, item, ',')) {
      if (item.empty()) continue;
      int64_t qtype = 0;
      if (!ParseConfInt(item, 0, 65535, &qtype)) {
        *error = "invalid qtype " + item;
        return false;
      }
      l.conf().force_qtype_soa.insert(static_cast<uint16_t>(qtype));
      if (qtype == DNS_T_AAAA) l.conf().force_aaaa_soa = true;
    }
  }
  return true;
}

bool LogLevelDirective(Loader& l, const Args& args, std::string* error) {
  static const std::unordered_map<std::string, int> kLevels = {
      {"debug", LL_DEBUG}, {"info", LL_INFO}, {"notice", LL_NOTICE},
      {"warn", LL_WARN},   {"error", LL_ERR}, {"fatal", LL_CRIT},
  };
  auto it = kLevels.find(args[0]);
  if (it == kLevels.end()) {
    *error = "unknown log level " + args[0];
    return false;
  }
  l.conf().log_level = it->second;
  return true;
}

#define CONF(field) &l.conf().field
const std::unordered_map<std::string_view, Handler>& Directives() {
  static const std::unordered_map<std::string_view, Handler> table = {
      {"server-name",
       [](Loader& l, const Args& a, std::string* e) {
         return SetString(a, kMaxServerNameText, CONF(server_name), e);
       }},
      {"bind",
       [](Loader& l, const Args& a, std::string* e) { return AddBind(l, a, Transport::kUdp, e); }},
      {"bind-tcp",
       [](Loader& l, const Args& a, std::string* e) { return AddBind(l, a, Transport::kTcp, e); }},
      {"server", [](Loader& l, const Args& a,
                    std::string* e) { return AddServer(l, a, UpstreamType::kUdp, e); }},
      {"server-tcp", [](Loader& l, const Args& a,
                        std::string* e) { return AddServer(l, a, UpstreamType::kTcp, e); }},
      {"server-tls", [](Loader& l, const Args& a,
                        std::string* e) { return AddServer(l, a, UpstreamType::kTls, e); }},
      {"server-https", [](Loader& l, const Args& a,
                          std::string* e) { return AddServer(l, a, UpstreamType::kHttps, e); }},
      {"nameserver",
       [](Loader& l, const Args& a, std::string* e) {
         return DomainDirective(l, a, ApplyNameserverValue, "nameserver", e);
       }},
      {"address",
       [](Loader& l, const Args& a, std::string* e) {
         return DomainDirective(l, a, ApplyAddressValue, "address", e);
       }},
      {"ipset", [](Loader& l, const Args& a,
                   std::string* e) { return DomainDirective(l, a, ApplyIpsetValue, "ipset", e); }},
      {"ipset-timeout", [](Loader& l, const Args& a,
                           std::string* e) { return SetYesNo(a, CONF(ipset_timeout), e); }},
      {"speed-check-mode",
       [](Loader& l, const Args& a, std::string* e) {
         if (!ParseSpeedCheckOrders(a[0], l.conf().icmp_available, CONF(orders))) {
           *e = "invalid speed-check-mode " + a[0];
           return false;
         }
         return true;
       }},
      {"tcp-idle-time",
       [](Loader& l, const Args& a, std::string* e) {
         return SetInt32(a, 0, 3600, CONF(tcp_idle_time), e);
       }},
      {"cache-size", [](Loader& l, const Args& a,
                        std::string* e) { return SetInt(a, 0, kIntMax, CONF(cache_size), e); }},
      {"cache-file",
       [](Loader& l, const Args& a, std::string* e) {
         return SetString(a, kMaxPathText, CONF(cache_file), e);
       }},
      {"cache-persist", [](Loader& l, const Args& a,
                           std::string* e) { return SetYesNo(a, CONF(cache_persist), e); }},
      {"prefetch-domain", [](Loader& l, const Args& a,
                             std::string* e) { return SetYesNo(a, CONF(prefetch_domain), e); }},
      {"serve-expired", [](Loader& l, const Args& a,
                           std::string* e) { return SetYesNo(a, CONF(serve_expired), e); }},
      {"serve-expired-ttl",
       [](Loader& l, const Args& a, std::string* e) {
         return SetInt(a, 0, kIntMax, CONF(serve_expired_ttl), e);
       }},
      {"serve-expired-reply-ttl",
       [](Loader& l, const Args& a, std::string* e) {
         return SetInt(a, 0, kIntMax, CONF(serve_expired_reply_ttl), e);
       }},
      {"serve-expired-prefetch-time",
       [](Loader& l, const Args& a, std::string* e) {
         return SetInt(a, 0, kIntMax, CONF(serve_expired_prefetch_time), e);
       }},
      {"dualstack-ip-selection",
       [](Loader& l, const Args& a, std::string* e) {
         return SetYesNo(a, CONF(dualstack_ip_selection), e);
       }},
      {"dualstack-ip-allow-force-AAAA",
       [](Loader& l, const Args& a, std::string* e) {
         return SetYesNo(a, CONF(dualstack_ip_allow_force_aaaa), e);
       }},
      {"dualstack-ip-selection-threshold",
       [](Loader& l, const Args& a, std::string* e) {
         return SetInt32(a, 0, 1000, CONF(dualstack_ip_selection_threshold), e);
       }},
      {"log-level", LogLevelDirective},
      {"log-file", [](Loader& l, const Args& a,
                      std::string* e) { return SetString(a, kMaxPathText, CONF(log_file), e); }},
      {"log-size", [](Loader& l, const Args& a,
                      std::string* e) { return SetSize(a, 0, 1073741824, CONF(log_size), e); }},
      {"log-num", [](Loader& l, const Args& a,
                     std::string* e) { return SetInt32(a, 0, 1024, CONF(log_num), e); }},
      {"audit-enable",
       [](Loader& l, const Args& a, std::string* e) { return SetYesNo(a, CONF(audit_enable), e); }},
      {"audit-SOA",
       [](Loader& l, const Args& a, std::string* e) { return SetYesNo(a, CONF(audit_soa), e); }},
      {"audit-file",
       [](Loader& l, const Args& a,
          std::string* e) { return SetString(a, kMaxPathText, CONF(audit_file), e); }},
      {"audit-size", [](Loader& l, const Args& a,
                        std::string* e) { return SetSize(a, 0, 1073741824, CONF(audit_size), e); }},
      {"audit-num", [](Loader& l, const Args& a,
                       std::string* e) { return SetInt32(a, 0, 1024, CONF(audit_num), e); }},
      {"rr-ttl", [](Loader& l, const Args& a,
                    std::string* e) { return SetInt(a, 0, kIntMax, CONF(rr_ttl), e); }},
      {"rr-ttl-min", [](Loader& l, const Args& a,
                        std::string* e) { return SetInt(a, 0, kIntMax, CONF(rr_ttl_min), e); }},
      {"rr-ttl-max", [](Loader& l, const Args& a,
                        std::string* e) { return SetInt(a, 0, kIntMax, CONF(rr_ttl_max), e); }},
      {"rr-ttl-reply-max",
       [](Loader& l, const Args& a,
          std::string* e) { return SetInt(a, 0, kIntMax, CONF(rr_ttl_reply_max), e); }},
      {"max-reply-ip-num",
       [](Loader& l, const Args& a,
          std::string* e) { return SetInt(a, 1, kIntMax, CONF(max_reply_ip_num), e); }},
      {"force-AAAA-SOA", [](Loader& l, const Args& a,
                            std::string* e) { return SetYesNo(a, CONF(force_aaaa_soa), e); }},
      {"force-no-CNAME", [](Loader& l, const Args& a,
                            std::string* e) { return SetYesNo(a, CONF(force_no_cname), e); }},
      {"force-qtype-SOA", ForceQtypeSoa},
      {"blacklist-ip", [](Loader& l, const Args& a,
                          std::string* e) { return IpRuleDirective(l, a, kIpBlacklist, e); }},
      {"whitelist-ip", [](Loader& l, const Args& a,
                          std::string* e) { return IpRuleDirective(l, a, kIpWhitelist, e); }},
      {"bogus-nxdomain", [](Loader& l, const Args& a,
                            std::string* e) { return IpRuleDirective(l, a, kIpBogusNxdomain, e); }},
      {"ignore-ip", [](Loader& l, const Args& a,
                       std::string* e) { return IpRuleDirective(l, a, kIpIgnore, e); }},
      {"edns-client-subnet", EcsDirective},
      {"domain-rules", DomainRulesDirective},
      {"dnsmasq-lease-file",
       [](Loader& l, const Args& a,
          std::string* e) { return SetString(a, kMaxPathText, CONF(lease_file), e); }},
      {"hosts-file", [](Loader&, const Args&, std::string*) { return true; }},
      {"ca-file",
       [](Loader& l, const Args& a,
          std::string* e) { return SetString(a, kMaxPathText, CONF(upstream.ca_file), e); }},
      {"ca-path",
       [](Loader& l, const Args& a,
          std::string* e) { return SetString(a, kMaxPathText, CONF(upstream.ca_path), e); }},
      {"user", [](Loader& l, const Args& a,
                  std::string* e) { return SetString(a, kMaxUserText, CONF(user), e); }},
      {"conf-file", [](Loader& l, const Args& a, std::string* e) { return l.Include(a[0], e); }},
  };
  return table;
}
#undef CONF

std::string DirName(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool Loader::Include(const std::string& path, std::string* error) {
  if (files_.size() >= static_cast<size_t>(kMaxIncludeDepth)) {
    *error = "conf-file nesting deeper than " + std::to_string(kMaxIncludeDepth);
    return false;
  }
  std::string real;
  if (!path.empty() && path[0] == '/') {
    real = zc::RootPath(path);
  } else {
    real = DirName(current_file()) + "/" + path;
  }
  char canonical[PATH_MAX];
  if (!realpath(real.c_str(), canonical) || access(canonical, R_OK) != 0) {
    LogOut(LL_WARN, "conf file %s is not readable.", path.c_str());
    return true;
  }
  if (open_files_.count(canonical)) {
    *error = "conf-file " + path + " includes itself";
    return false;
  }
  if (!LoadFile(canonical, error)) {
    nested_failure_ = true;
    return false;
  }
  return true;
}

bool Loader::LoadFile(const std::string& real_path, std::string* error) {
  std::ifstream in(real_path);
  if (!in) {
    *error = real_path + ":0: cannot open: " + std::strerror(errno);
    return false;
  }
  return LoadText(real_path, in, error);
}

bool Loader::LoadText(const std::string& name, std::istream& in, std::string* error) {
  char canonical[PATH_MAX];
  std::string key = realpath(name.c_str(), canonical) ? std::string(canonical) : name;
  files_.push_back(name);
  open_files_.insert(key);
  std::string line;
  int number = 0;
  bool ok = true;
  while (ok && std::getline(in, line)) {
    number++;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    ConfLine parsed;
    std::string why;
    LineKind kind = SplitConfLine(line, &parsed, &why);
    if (kind == LineKind::kSkip) continue;
    if (kind == LineKind::kDirective) {
      auto it = Directives().find(parsed.key);
      if (it == Directives().end()) {
        LogOut(LL_WARN, "unknown option %s in %s:%d, ignored", parsed.key.c_str(), name.c_str(),
               number);
        continue;
      }
      nested_failure_ = false;
      if (it->second(*this, parsed.args, &why)) continue;
    }
    // An error from an included file already names its own file and line.
    *error = nested_failure_ ? why : name + ":" + std::to_string(number) + ": " + why;
    nested_failure_ = true;
    LogOut(LL_ERR, "process config file '%s' failed at line %d.", name.c_str(), number);
    ok = false;
  }
  open_files_.erase(key);
  files_.pop_back();
  return ok;
}

}  // namespace

bool LoadDnsConf(const std::string& router_path, DnsConf* conf, std::string* error) {
  error->clear();
  Loader loader(conf);
  return loader.LoadFile(zc::RootPath(router_path), error);
}

bool LoadDnsConfText(const std::string& name, const std::string& text, DnsConf* conf,
                     std::string* error) {
  error->clear();
  Loader loader(conf);
  std::istringstream in(text);
  return loader.LoadText(name, in, error);
}

int LoadResolvConf(DnsConf* conf) {
  std::string path = zc::RootPath("/etc/resolv.conf");
  std::ifstream in(path);
  if (!in) {
    LogOut(LL_ERR, "open %s failed, %s", path.c_str(), std::strerror(errno));
    return 0;
  }
  int added = 0;
  std::string line;
  while (std::getline(in, line) && conf->upstream.servers.size() < kMaxUpstreamServers) {
    std::istringstream ss(line);
    std::string word;
    std::string address;
    if (!(ss >> word) || word != "nameserver" || !(ss >> address)) continue;
    UpstreamServerConfig server;
    std::string why;
    // A scope suffix (fe80::1%eth0) is not usable here.
    if (address.find('%') != std::string::npos || !ParseServerAddress(address, &server, &why)) {
      LogOut(LL_WARN, "%s: skipping nameserver %s", __func__, address.c_str());
      continue;
    }
    server.type = UpstreamType::kUdp;
    conf->upstream.servers.push_back(std::move(server));
    added++;
  }
  return added;
}

}  // namespace zc::dns
