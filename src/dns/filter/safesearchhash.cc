#include "dns/filter/safesearchhash.h"

#include <arpa/inet.h>

#include <atomic>
#include <cctype>
#include <mutex>
#include <sstream>

#include "utils/files.h"
#include "utils/log.h"
#include "utils/paths.h"

namespace zc::safesearch {
namespace {

std::mutex gTableMutex;
std::shared_ptr<const Table> gTable;

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool ValidAddress(int family, const std::string& text) {
  unsigned char buffer[16];
  return inet_pton(family, text.c_str(), buffer) == 1;
}

// Host names of the search services whose answers are rewritten (after a leading "www.").
constexpr std::string_view kServicePrefixes[] = {"google.", "bing.com", "duckduckgo.com",
                                                 "youtube.com", "m.youtube.com"};

std::string_view StripWww(std::string_view name) {
  if (name.size() > 4 && Lower(name.substr(0, 4)) == "www.") {
    return name.substr(4);
  }
  return name;
}

bool IsSearchService(std::string_view name) {
  std::string lower = Lower(StripWww(name));
  for (std::string_view prefix : kServicePrefixes) {
    if (lower.compare(0, prefix.size(), prefix) == 0) return true;
  }
  return false;
}

}  // namespace

size_t SlotOf(std::string_view name) {
  size_t sum = 0;
  for (unsigned char c : name) sum += c;
  return sum % kSlots;
}

bool Table::Insert(Entry entry) {
  size_t slot = SlotOf(entry.name);
  for (size_t probe = 0; probe < kSlots; ++probe, slot = (slot + 1) % kSlots) {
    if (!slots_[slot]) {
      slots_[slot] = std::make_unique<Entry>(std::move(entry));
      ++count_;
      return true;
    }
  }
  return false;
}

std::shared_ptr<const Table> Table::Parse(std::string_view text) {
  auto table = std::make_shared<Table>();
  size_t lineNo = 0;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    ++lineNo;
    if (line.size() > kMaxLine) {
      LogOut(LL_DEBUG, "CreateSafeSearchHashTable: line %zu too long, skipped", lineNo);
      continue;
    }
    // Text only: a NUL would let a field pass inet_pton while carrying bytes after it.
    if (line.find('\0') != std::string_view::npos) continue;
    std::istringstream fields{std::string(line)};
    std::string v6, v4, host, extra;
    if (!(fields >> v6 >> v4 >> host)) continue;
    host = Lower(host);
    if (host.size() > kMaxName || !ValidAddress(AF_INET, v4) || !ValidAddress(AF_INET6, v6)) {
      LogOut(LL_DEBUG, "CreateSafeSearchHashTable: line %zu skipped", lineNo);
      continue;
    }
    if (table->count_ >= kSlots || !table->Insert(Entry{host, v4, v6})) {
      ++table->refused_;
      LogOut(LL_ERR, "CreateSafeSearchHashTable: table full, %s refused", host.c_str());
    }
  }
  return table;
}

const Entry* Table::Find(std::string_view name) const {
  if (name.empty() || name.size() > kMaxName) return nullptr;
  std::string lower = Lower(name);
  size_t slot = SlotOf(lower);
  for (size_t probe = 0; probe < kSlots; ++probe, slot = (slot + 1) % kSlots) {
    const Entry* e = slots_[slot].get();
    if (!e) return nullptr;
    if (e->name == lower) return e;
  }
  return nullptr;
}

std::shared_ptr<const Table> Current() {
  std::lock_guard lock(gTableMutex);
  return gTable;
}

void Install(std::shared_ptr<const Table> table) {
  std::lock_guard lock(gTableMutex);
  gTable = std::move(table);
}

}  // namespace zc::safesearch

int CreateSafeSearchHashTable() {
  std::optional<std::string> text = zc::ReadFile(zc::RootPath(kSafeUrlFile), 256 * 1024);
  if (!text) {
    LogOut(LL_ERR, "Error in safe_url file open!!!!");
    return -1;
  }
  auto table = zc::safesearch::Table::Parse(*text);
  LogOut(LL_INFO, "CreateSafeSearchHashTable: %zu entries loaded", table->size());
  zc::safesearch::Install(std::move(table));
  return 0;
}

std::optional<std::string> HashTableSearch(std::string_view name, int family) {
  auto table = zc::safesearch::Current();
  if (!table) return std::nullopt;
  const zc::safesearch::Entry* e = table->Find(name);
  if (!e) return std::nullopt;
  return family == 0 ? e->ipv4 : e->ipv6;
}

std::optional<std::string> GetSafeSearchIpAddr(const char* name, int family) {
  if (!name) return std::nullopt;
  std::string_view n(name);
  if (n.substr(0, 10) == "http://www") n = n.size() > 11 ? n.substr(11) : std::string_view();
  LogOut(LL_DEBUG, "GetSafeSearchIpAddr: checking for safe search category %.*s",
         static_cast<int>(n.size()), n.data());
  if (!zc::safesearch::IsSearchService(n)) {
    LogOut(LL_DEBUG,
           "GetSafeSearchIpAddr: URL:%.*s will not be looked out for safe search Ip address ",
           static_cast<int>(n.size()), n.data());
    return std::nullopt;
  }
  if (auto hit = HashTableSearch(n, family)) return hit;
  // The table may list either form of a host: with or without its "www." label.
  std::string_view stripped = zc::safesearch::StripWww(n);
  if (stripped.size() != n.size()) return HashTableSearch(stripped, family);
  return HashTableSearch("www." + std::string(n), family);
}

std::optional<std::string> GetSafeSearchIpv4Addr(const char* name) {
  return GetSafeSearchIpAddr(name, 0);
}

std::optional<std::string> GetSafeSearchIpv6Addr(const char* name) {
  return GetSafeSearchIpAddr(name, 1);
}
