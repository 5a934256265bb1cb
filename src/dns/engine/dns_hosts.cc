#include "dns/engine/dns_hosts.h"

#include <arpa/inet.h>

#include <cstring>
#include <sstream>

#include "dns/codec/dns_name.h"
#include "utils/files.h"
#include "utils/log.h"

namespace zc::dns {

namespace {

constexpr size_t kMaxLeaseFile = 4 << 20;

bool IsLabel(std::string_view label) {
  if (label.empty() || label.size() > kMaxHostLabel) return false;
  for (char c : label) {
    bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
    if (!ok) return false;
  }
  return true;
}

}  // namespace

bool AcceptableLeaseName(std::string_view name, std::string_view router_domain) {
  if (IsLabel(name)) return true;
  if (router_domain.empty() || name.size() <= router_domain.size() + 1) return false;
  std::string_view suffix = name.substr(name.size() - router_domain.size());
  if (name[name.size() - router_domain.size() - 1] != '.' ||
      !dns_name_equal_nocase(suffix, router_domain))
    return false;
  std::string_view head = name.substr(0, name.size() - router_domain.size() - 1);
  size_t start = 0;
  while (start <= head.size()) {
    size_t dot = head.find('.', start);
    if (dot == std::string_view::npos) dot = head.size();
    if (!IsLabel(head.substr(start, dot - start))) return false;
    start = dot + 1;
  }
  return name.size() <= 253;
}

std::string ReverseName(const in_addr& a) {
  const auto* b = reinterpret_cast<const uint8_t*>(&a);
  char text[64];
  std::snprintf(text, sizeof text, "%d.%d.%d.%d.in-addr.arpa", b[3], b[2], b[1], b[0]);
  return text;
}

std::string ReverseName(const in6_addr& a) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(72);
  for (int i = 15; i >= 0; i--) {
    out.push_back(kHex[a.s6_addr[i] & 0xF]);
    out.push_back('.');
    out.push_back(kHex[a.s6_addr[i] >> 4]);
    out.push_back('.');
  }
  out += "ip6.arpa";
  return out;
}

int HostsTable::LoadLeaseText(std::string_view text, std::string_view router_domain) {
  std::istringstream in{std::string(text)};
  std::string line;
  int number = 0;
  int added = 0;
  while (std::getline(in, line)) {
    number++;
    std::istringstream fields(line);
    std::string expiry, mac, ip, name, client;
    if (!(fields >> expiry >> mac >> ip >> name)) continue;
    if (name == "*") continue;
    if (!AcceptableLeaseName(name, router_domain)) {
      std::string shown = name.substr(0, 64);
      for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
      }
      LogOut(LL_WARN, "add host %s/%s at %d failed", shown.c_str(), ip.c_str(), number);
      continue;
    }
    std::string key = dns_name_lower(name);
    in_addr a4;
    in6_addr a6;
    if (inet_pton(AF_INET, ip.c_str(), &a4) == 1) {
      hosts_[key].v4 = a4;
      ptr_[ReverseName(a4)] = name;
    } else if (inet_pton(AF_INET6, ip.c_str(), &a6) == 1) {
      hosts_[key].v6 = a6;
      ptr_[ReverseName(a6)] = name;
    } else {
      LogOut(LL_WARN, "add ptr %s/%s at %d failed.", name.c_str(), ip.c_str(), number);
      continue;
    }
    added++;
  }
  return added;
}

void HostsTable::Clear() {
  hosts_.clear();
  ptr_.clear();
}

const HostEntry* HostsTable::Find(std::string_view name_lower) const {
  if (hosts_.empty()) return nullptr;
  auto it = hosts_.find(std::string(name_lower));
  return it == hosts_.end() ? nullptr : &it->second;
}

const std::string* HostsTable::FindPtr(std::string_view reverse_lower) const {
  if (ptr_.empty()) return nullptr;
  auto it = ptr_.find(std::string(reverse_lower));
  return it == ptr_.end() ? nullptr : &it->second;
}

bool LeaseFile::Load(HostsTable* table, std::string_view router_domain) {
  struct stat st {};
  if (path_.empty()) return false;
  if (stat(path_.c_str(), &st) != 0) {
    LogOut(LL_WARN, "open file %s error, %s", path_.c_str(), std::strerror(errno));
    return false;
  }
  auto text = zc::ReadFile(path_, kMaxLeaseFile);
  if (!text) {
    LogOut(LL_WARN, "open file %s error, %s", path_.c_str(), std::strerror(errno));
    return false;
  }
  table->Clear();
  table->LoadLeaseText(*text, router_domain);
  mtime_ = st.st_mtim;
  loaded_ = true;
  return true;
}

bool LeaseFile::ReloadIfChanged(HostsTable* table, std::string_view router_domain, time_t now,
                                time_t settle_seconds) {
  struct stat st {};
  if (path_.empty() || stat(path_.c_str(), &st) != 0) return false;
  bool changed =
      !loaded_ || st.st_mtim.tv_sec != mtime_.tv_sec || st.st_mtim.tv_nsec != mtime_.tv_nsec;
  if (!changed || st.st_mtim.tv_sec > now - settle_seconds) return false;
  return Load(table, router_domain);
}

}  // namespace zc::dns
