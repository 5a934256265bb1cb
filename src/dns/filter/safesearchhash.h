// The safe-search table: search engines' restricted ("safe search") addresses by host name, loaded
// from /tmp/safeurl.txt. The table is an immutable snapshot swapped as a whole, so lookups from
// the edge delivery thread never see a half-loaded table.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

inline constexpr const char* kSafeUrlFile = "/tmp/safeurl.txt";

namespace zc::safesearch {

inline constexpr size_t kSlots = 300;
inline constexpr size_t kMaxName = 31;
inline constexpr size_t kMaxLine = 103;

struct Entry {
  std::string name;  // lower case
  std::string ipv4;
  std::string ipv6;
};

class Table {
 public:
  // Parses the file's text. Lines that are not "<IPv6> <IPv4> <host>" with valid addresses and a
  // host of at most 31 characters are skipped; entries beyond the 300 slots are refused.
  static std::shared_ptr<const Table> Parse(std::string_view text);
  // Exact (case-insensitive) lookup; probing is bounded by the slot count.
  const Entry* Find(std::string_view name) const;
  size_t size() const { return count_; }
  size_t refused() const { return refused_; }

 private:
  bool Insert(Entry entry);
  std::array<std::unique_ptr<Entry>, kSlots> slots_{};
  size_t count_ = 0;
  size_t refused_ = 0;
};

// The table in use (empty until loaded).
std::shared_ptr<const Table> Current();
void Install(std::shared_ptr<const Table> table);
// Slot of a name: sum of its bytes modulo 300.
size_t SlotOf(std::string_view name);

}  // namespace zc::safesearch

// Loads the table from the file under the root. 0, or -1 when the file cannot be read (the
// caller decides; the previous table stays).
int CreateSafeSearchHashTable();
// The IPv4 (family 0) or IPv6 (family 1) text of the entry for the name, ignoring case.
std::optional<std::string> HashTableSearch(std::string_view name, int family);
// The filtering path's lookup: only names of the known search services are answered. A leading
// "http://www." is dropped; the exact name is tried first, then the other "www." form.
std::optional<std::string> GetSafeSearchIpAddr(const char* name, int family);
std::optional<std::string> GetSafeSearchIpv4Addr(const char* name);
std::optional<std::string> GetSafeSearchIpv6Addr(const char* name);
