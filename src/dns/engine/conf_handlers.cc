#include "dns/engine/conf_handlers.h"

#include <arpa/inet.h>

#include <cstring>
#include <sstream>
#include <unordered_map>

#include "dns/engine/conf_parser.h"
#include "utils/log.h"

namespace zc::dns {

namespace {

constexpr uint16_t kDefaultDnsPort = 53;

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
  auto* a4 = reinterpret_cast<sockaddr_in*>(&bind->addr);
  auto* a6 = reinterpret_cast<sockaddr_in6*>(&bind->addr);
  if (host.empty() || host == "*") {
    a6->sin6_addr = in6addr_any;  // every address of both families
  } else if (inet_pton(AF_INET, host.c_str(), &a4->sin_addr) == 1) {
    a4->sin_family = AF_INET;
    a4->sin_port = htons(static_cast<uint16_t>(port));
    bind->addr_len = sizeof(sockaddr_in);
    return true;
  } else if (inet_pton(AF_INET6, host.c_str(), &a6->sin6_addr) != 1) {
    return false;
  }
  a6->sin6_family = AF_INET6;
  a6->sin6_port = htons(static_cast<uint16_t>(port));
  bind->addr_len = sizeof(sockaddr_in6);
  return true;
}

constexpr OptionSpec kBindOptions[] = {
    {"group", true},           {"no-rule-addr", false},      {"no-rule-nameserver", false},
    {"no-rule-ipset", false},  {"no-rule-sni-proxy", false}, {"no-rule-soa", false},
    {"no-speed-check", false}, {"no-cache", false},          {"no-dualstack-selection", false},
    {"force-aaaa-soa", false},
};

constexpr OptionSpec kServerOptions[] = {
    {"blacklist-ip", false},   {"whitelist-ip", false}, {"spki-pin", true},
    {"host-name", true},       {"http-host", true},     {"no-check-certificate", false},
    {"tls-host-verify", true}, {"group", true},         {"exclude-default-group", false},
    {"http2", false},
};

constexpr OptionSpec kDomainRuleOptions[] = {
    {"speed-check-mode", true},       {"address", true}, {"nameserver", true}, {"ipset", true},
    {"dualstack-ip-selection", true},
};

}  // namespace

bool AddBind(DnsConf& c, const ConfArgs& args, Transport transport, std::string* error) {
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
  for (const BindConfig& b : c.binds) {
    if (b.transport == transport && b.addr_len == bind.addr_len &&
        std::memcmp(&b.addr, &bind.addr, b.addr_len) == 0) {
      LogOut(LL_WARN, "Bind server %s, type %d, already configured, skip.", bind.text.c_str(),
             type);
      return true;
    }
  }
  if (c.binds.size() >= kMaxBinds) {
    LogOut(LL_WARN, "exceeds max server number, %s", bind.text.c_str());
    return true;
  }
  LogOut(LL_INFO, "bind ip %s, type:%d, flag: %X", bind.text.c_str(), type, bind.flags);
  c.binds.push_back(std::move(bind));
  return true;
}

bool AddServer(DnsConf& c, const ConfArgs& args, UpstreamType type, std::string* error) {
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
    } else if (name == "http2") {
      if (type != UpstreamType::kHttps) {
        *error = "-http2 applies to server-https only";
        return false;
      }
      server.http2 = true;
    }
  }
  auto& servers = c.upstream.servers;
  if (servers.size() >= kMaxUpstreamServers) {
    LogOut(LL_WARN, "exceeds max server number, %s", where.c_str());
    return true;
  }
  LogOut(LL_INFO, "add server %s, flag: %X, ttl: %d", where.c_str(), server.flags, 0);
  servers.push_back(std::move(server));
  return true;
}

// "/domain/value" directives: address, nameserver, ipset.
bool DomainDirective(DnsConf& c, const ConfArgs& args, bool (*apply)(std::string_view, DomainRule*),
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
  DomainRule* rule = c.domain_rules.Get(domain);
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

bool DomainRulesDirective(DnsConf& c, const ConfArgs& args, std::string* error) {
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
  DomainRule* rule = c.domain_rules.Get(domain);
  if (!rule) {
    *error = "add doamin " + domain + " rule failed";
    return false;
  }
  for (const auto& [name, value] : opts.options) {
    bool ok = true;
    if (name == "speed-check-mode") {
      SpeedCheckOrders orders;
      ok = ParseSpeedCheckOrders(value, c.icmp_available, &orders);
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

bool IpRuleDirective(DnsConf& c, const ConfArgs& args, uint32_t flag, std::string* error) {
  if (!c.ip_rules.Add(args[0], flag)) {
    *error = "invalid address " + args[0];
    return false;
  }
  return true;
}

bool EcsDirective(DnsConf& c, const ConfArgs& args, std::string* error) {
  int family = 0;
  int prefix = 0;
  uint8_t addr[16];
  bool has_prefix = false;
  if (!ParseAddressPrefix(args[0], &family, addr, &prefix, &has_prefix)) {
    *error = "invalid client subnet " + args[0];
    return false;
  }
  if (!has_prefix) prefix = 0;
  EcsSetting& s = family == AF_INET ? c.ecs_v4 : c.ecs_v6;
  s.set = true;
  s.value.family = family == AF_INET ? 1 : 2;
  s.value.source_prefix = static_cast<uint8_t>(prefix);
  s.value.scope_prefix = 0;
  std::memset(s.value.addr, 0, sizeof s.value.addr);
  std::memcpy(s.value.addr, addr, (prefix + 7) / 8);
  return true;
}

bool ForceQtypeSoa(DnsConf& c, const ConfArgs& args, std::string* error) {
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
      c.force_qtype_soa.insert(static_cast<uint16_t>(qtype));
      if (qtype == DNS_T_AAAA) c.force_aaaa_soa = true;
    }
  }
  return true;
}

bool LogLevelDirective(DnsConf& c, const ConfArgs& args, std::string* error) {
  static const std::unordered_map<std::string, int> kLevels = {
      {"debug", LL_DEBUG}, {"info", LL_INFO}, {"notice", LL_NOTICE},
      {"warn", LL_WARN},   {"error", LL_ERR}, {"fatal", LL_CRIT},
  };
  auto it = kLevels.find(args[0]);
  if (it == kLevels.end()) {
    *error = "unknown log level " + args[0];
    return false;
  }
  c.log_level = it->second;
  return true;
}

}  // namespace zc::dns
