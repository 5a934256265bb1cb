// The directive table and the loader: include files, depth limit, error positions.
#include <arpa/inet.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <unordered_map>

#include "dns/engine/conf_handlers.h"
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

#define CONF(field) &l.conf().field
const std::unordered_map<std::string_view, Handler>& Directives() {
  static const std::unordered_map<std::string_view, Handler> table = {
      {"server-name",
       [](Loader& l, const Args& a, std::string* e) {
         return SetString(a, kMaxServerNameText, CONF(server_name), e);
       }},
      {"bind", [](Loader& l, const Args& a,
                  std::string* e) { return AddBind(l.conf(), a, Transport::kUdp, e); }},
      {"bind-tcp", [](Loader& l, const Args& a,
                      std::string* e) { return AddBind(l.conf(), a, Transport::kTcp, e); }},
      {"server", [](Loader& l, const Args& a,
                    std::string* e) { return AddServer(l.conf(), a, UpstreamType::kUdp, e); }},
      {"server-tcp", [](Loader& l, const Args& a,
                        std::string* e) { return AddServer(l.conf(), a, UpstreamType::kTcp, e); }},
      {"server-tls", [](Loader& l, const Args& a,
                        std::string* e) { return AddServer(l.conf(), a, UpstreamType::kTls, e); }},
      {"server-https",
       [](Loader& l, const Args& a, std::string* e) {
         return AddServer(l.conf(), a, UpstreamType::kHttps, e);
       }},
      {"nameserver",
       [](Loader& l, const Args& a, std::string* e) {
         return DomainDirective(l.conf(), a, ApplyNameserverValue, "nameserver", e);
       }},
      {"address",
       [](Loader& l, const Args& a, std::string* e) {
         return DomainDirective(l.conf(), a, ApplyAddressValue, "address", e);
       }},
      {"ipset",
       [](Loader& l, const Args& a, std::string* e) {
         return DomainDirective(l.conf(), a, ApplyIpsetValue, "ipset", e);
       }},
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
      {"log-level",
       [](Loader& l, const Args& a, std::string* e) { return LogLevelDirective(l.conf(), a, e); }},
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
      {"force-qtype-SOA",
       [](Loader& l, const Args& a, std::string* e) { return ForceQtypeSoa(l.conf(), a, e); }},
      {"blacklist-ip",
       [](Loader& l, const Args& a,
          std::string* e) { return IpRuleDirective(l.conf(), a, kIpBlacklist, e); }},
      {"whitelist-ip",
       [](Loader& l, const Args& a,
          std::string* e) { return IpRuleDirective(l.conf(), a, kIpWhitelist, e); }},
      {"bogus-nxdomain",
       [](Loader& l, const Args& a,
          std::string* e) { return IpRuleDirective(l.conf(), a, kIpBogusNxdomain, e); }},
      {"ignore-ip", [](Loader& l, const Args& a,
                       std::string* e) { return IpRuleDirective(l.conf(), a, kIpIgnore, e); }},
      {"edns-client-subnet",
       [](Loader& l, const Args& a, std::string* e) { return EcsDirective(l.conf(), a, e); }},
      {"domain-rules", [](Loader& l, const Args& a,
                          std::string* e) { return DomainRulesDirective(l.conf(), a, e); }},
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

bool UnderRoot(const std::string& canonical) {
  const std::string& root = zc::RootDir();
  if (root.empty()) return true;  // the root is "/"
  char resolved[PATH_MAX];
  std::string base = realpath(root.c_str(), resolved) ? std::string(resolved) : root;
  if (base == "/") return true;
  return canonical.compare(0, base.size(), base) == 0 &&
         (canonical.size() == base.size() || canonical[base.size()] == '/');
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
  // Relative names and links are resolved first, so "../" or a link cannot reach a file of the
  // host outside the router's root.
  if (!UnderRoot(canonical)) {
    *error = "conf-file leads outside the root, refused";
    return false;
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
  // A directory or a device opens and reads as an empty file: refused rather than taken for a
  // file without a single option.
  struct stat st {};
  if (stat(real_path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    *error = real_path + ":0: not a regular file";
    return false;
  }
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
        // Only a word that could be an option's name is repeated: a line of some other file
        // (an include gone astray) is not echoed into the log.
        if (LooksLikeDirectiveName(parsed.key)) {
          LogOut(LL_WARN, "unknown option %s in %s:%d, ignored", parsed.key.c_str(), name.c_str(),
                 number);
        } else {
          LogOut(LL_WARN, "line that is no option in %s:%d, ignored", name.c_str(), number);
        }
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
