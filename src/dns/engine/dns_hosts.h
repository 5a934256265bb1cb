// Host names of LAN clients from the DHCP lease file: forward (A/AAAA) and reverse (PTR) tables.
#pragma once

#include <netinet/in.h>
#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace zc::dns {

inline constexpr size_t kMaxHostLabel = 63;

struct HostEntry {
  std::optional<in_addr> v4;
  std::optional<in6_addr> v6;
};

class HostsTable {
 public:
  // Parses lease-file text ("expiry mac ip name client-id" per line). Names must be a single
  // label of letters, digits and '-' (1-63), or a name under router_domain; other lines are
  // skipped with a log. Returns the number of entries added.
  int LoadLeaseText(std::string_view text, std::string_view router_domain);
  void Clear();

  // Lower-cased name -> entry; null when unknown.
  const HostEntry* Find(std::string_view name_lower) const;
  // Reverse name (in-addr.arpa / ip6.arpa, lower case) -> host name; null when unknown.
  const std::string* FindPtr(std::string_view reverse_lower) const;
  bool empty() const { return hosts_.empty(); }
  size_t size() const { return hosts_.size(); }

 private:
  std::unordered_map<std::string, HostEntry> hosts_;
  std::unordered_map<std::string, std::string> ptr_;
};

// Whether a DHCP host name may be answered: a single label [A-Za-z0-9-]{1,63}, or a name that
// ends in "." + router_domain (router_domain not empty) whose labels are of that form.
bool AcceptableLeaseName(std::string_view name, std::string_view router_domain);

// "d.c.b.a.in-addr.arpa" or the nibble form ending in "ip6.arpa".
std::string ReverseName(const in_addr& a);
std::string ReverseName(const in6_addr& a);

// The lease file, reloaded when its modification time changes and has settled.
class LeaseFile {
 public:
  void SetPath(std::string real_path) { path_ = std::move(real_path); }
  const std::string& path() const { return path_; }
  // Loads now (start). False when the file cannot be read.
  bool Load(HostsTable* table, std::string_view router_domain);
  // Reloads when the modification time differs from the loaded one and lies at least
  // settle_seconds in the past. True when reloaded.
  bool ReloadIfChanged(HostsTable* table, std::string_view router_domain, time_t now,
                       time_t settle_seconds);

 private:
  std::string path_;
  timespec mtime_{};
  bool loaded_ = false;
};

}  // namespace zc::dns
