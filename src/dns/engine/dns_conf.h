// The engine's settings: everything the option file can say, with its defaults, and the loader.
//
// One DnsConf per engine start; nothing here is process-wide, so loading twice in one process
// (an engine restart) gives the same result.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "dns/codec/dns_packet.h"
#include "dns/engine/dns_rules.h"
#include "dns/upstream/upstream_config.h"

namespace zc::dns {

// Listener flags from the options of `bind` / `bind-tcp`.
inline constexpr uint32_t kBindNoRuleAddr = 0x1;
inline constexpr uint32_t kBindNoRuleNameserver = 0x2;
inline constexpr uint32_t kBindNoRuleIpset = 0x4;
inline constexpr uint32_t kBindNoRuleSniProxy = 0x8;
inline constexpr uint32_t kBindNoRuleSoa = 0x10;
inline constexpr uint32_t kBindNoSpeedCheck = 0x20;
inline constexpr uint32_t kBindNoCache = 0x40;
inline constexpr uint32_t kBindNoDualstack = 0x80;
inline constexpr uint32_t kBindForceAAAASoa = 0x100;

inline constexpr size_t kMaxBinds = 64;
inline constexpr int kMaxIncludeDepth = 8;
inline constexpr size_t kMaxConfLine = 1023;
inline constexpr size_t kMaxConfKey = 63;

enum class Transport : uint8_t { kUdp, kTcp };

struct BindConfig {
  std::string text;  // as written, for log lines
  sockaddr_storage addr{};
  socklen_t addr_len = 0;
  Transport transport = Transport::kUdp;
  uint32_t flags = 0;
  std::string group;
};

struct EcsSetting {
  bool set = false;
  dns_opt_ecs value;
};

struct DnsConf {
  std::string server_name;
  std::vector<BindConfig> binds;
  UpstreamClientConfig upstream;  // servers, ca-file, ca-path
  DomainRules domain_rules;
  IpRules ip_rules;
  bool ipset_timeout = false;
  SpeedCheckOrders orders{{{SpeedCheckOrder::Kind::kPing, 0},
                           {SpeedCheckOrder::Kind::kTcp, 80},
                           {SpeedCheckOrder::Kind::kTcp, 443}}};
  int tcp_idle_time = 120;
  int64_t cache_size = 512;
  std::string cache_file;
  int cache_persist = 2;
  bool prefetch_domain = false;
  bool serve_expired = true;
  int64_t serve_expired_ttl = 86400;
  int64_t serve_expired_reply_ttl = 3;
  int64_t serve_expired_prefetch_time = 0;
  bool dualstack_ip_selection = true;
  bool dualstack_ip_allow_force_aaaa = false;
  int dualstack_ip_selection_threshold = 15;
  int log_level = 10;  // LL_ERR
  std::string log_file;
  int64_t log_size = 1048576;
  int log_num = 8;
  bool audit_enable = false;
  bool audit_soa = false;
  std::string audit_file;
  int64_t audit_size = 1048576;
  int audit_num = 2;
  int64_t rr_ttl = 0;
  int64_t rr_ttl_min = 600;
  int64_t rr_ttl_max = 0;
  int64_t rr_ttl_reply_max = 0;
  int64_t max_reply_ip_num = 8;
  bool force_aaaa_soa = false;
  bool force_no_cname = false;
  std::set<uint16_t> force_qtype_soa;
  EcsSetting ecs_v4;
  EcsSetting ecs_v6;
  std::string lease_file;  // router path
  std::string user;

  // Whether ICMP probes are possible (ping orders are dropped otherwise); set by the loader's
  // caller before parsing.
  bool icmp_available = false;
};

// Reads an option file (a router path, mapped under the root) and the files it includes.
// On failure *error holds "<file>:<line>: <reason>" and the engine must not start.
bool LoadDnsConf(const std::string& router_path, DnsConf* conf, std::string* error);

// Parses option text as if it were the file `name` (tests and the fuzzer). Includes are read
// relative to `name`'s directory.
bool LoadDnsConfText(const std::string& name, const std::string& text, DnsConf* conf,
                     std::string* error);

// With no server configured: one UDP server per "nameserver" line of /etc/resolv.conf (under
// the root). Returns how many were added.
int LoadResolvConf(DnsConf* conf);

}  // namespace zc::dns
