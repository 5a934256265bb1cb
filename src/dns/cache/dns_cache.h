// The answer cache: encoded replies keyed by (domain, qtype, upstream group, client subnet),
// bounded by evicting the least recently used entry, with a list of expired entries kept for
// serving stale answers, and the budget that decides which entries are refreshed before they
// expire.
//
// Time is whatever monotonic second counter the caller passes as `now` (the engine passes
// seconds of CLOCK_MONOTONIC on its time scale), so a step of the wall clock never ages an
// entry. Single-threaded: the engine thread owns the cache.
//
// Each entry is one allocation: a 64-byte head followed by the key text and the packet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zc::dns {

using CacheTime = int32_t;  // seconds on the caller's monotonic clock

inline constexpr int32_t kCacheMinTtl = 30;
// Ceiling of a TTL read back from the cache file when the option file sets no maximum: a week,
// beyond what any answer is kept for in practice.
inline constexpr int32_t kCacheMaxLoadedTtl = 7 * 86400;
inline constexpr int32_t kCacheHitnumStart = 3;
inline constexpr int32_t kCacheHitnumMax = 5000;
inline constexpr int32_t kCacheStepStart = 2;
inline constexpr int32_t kCacheStepMax = 6;
inline constexpr int32_t kCacheStepFloor = 2;  // a spent budget lowers the step down to this
inline constexpr size_t kCacheMaxPacket = 4096;
inline constexpr size_t kCacheMaxDomain = 255;
inline constexpr size_t kCacheMaxKeyPart = 255;  // group name, client subnet text
inline constexpr size_t kCacheInitialBuckets = 1024;
inline constexpr size_t kCacheMaxBuckets = size_t{1} << 24;
// A refresh that has not replaced its entry after this long is taken as lost.
inline constexpr int32_t kCacheRefreshPending = 10;
// Largest block reserved for the entries of one load (address space; only what is used stays).
inline constexpr size_t kCacheMaxLoadBlock = size_t{256} << 20;

struct CacheKeyView {
  std::string_view domain;  // lower case
  uint16_t qtype = 0;
  std::string_view group;
  std::string_view subnet;  // client subnet text, empty when none
};

enum class CacheList : uint8_t { kActive = 0, kExpired = 1 };

// How a store treats an entry already there.
enum class CacheStore : uint8_t {
  kInsert,           // a fresh answer: new counters, most recently used
  kReplace,          // refreshed before expiry: counters kept, most recently used
  kReplaceInactive,  // refreshed after expiry: counters kept, stays among the expired
};

// What a store carries besides the packet.
struct CacheStoreInfo {
  int32_t ttl = 0;
  int32_t speed = -1;  // best ping time, tenths of a millisecond
  bool soa = false;    // negative answer
  uint32_t bind_flags = 0;
};

// Counters of an entry as the cache file keeps them (times on the caller's clock).
struct CacheCounters {
  int32_t ttl = 0;
  int32_t hitnum = kCacheHitnumStart;
  int32_t speed = -1;
  int32_t step = kCacheStepStart;
  CacheTime insert_time = 0;
  CacheTime replace_time = 0;
};

struct CacheEntry;

// The bucket array: memory mapped for it alone, zeroed by the kernel, in huge pages once it is
// large (random probes into megabytes of buckets would otherwise miss the TLB at every step).
class CacheBuckets {
 public:
  CacheBuckets() = default;
  explicit CacheBuckets(size_t count);
  ~CacheBuckets();
  CacheBuckets(CacheBuckets&& other) noexcept { swap(other); }
  CacheBuckets& operator=(CacheBuckets&& other) noexcept {
    CacheBuckets(std::move(other)).swap(*this);
    return *this;
  }
  CacheBuckets(const CacheBuckets&) = delete;
  CacheBuckets& operator=(const CacheBuckets&) = delete;
  void swap(CacheBuckets& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
  }
  CacheEntry*& operator[](size_t i) const { return data_[i]; }
  CacheEntry** begin() const { return data_; }
  CacheEntry** end() const { return data_ + size_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void Clear();

 private:
  CacheEntry** data_ = nullptr;
  size_t size_ = 0;
};

class DnsCache {
 public:
  struct Settings {
    int64_t max_size = 512;  // 0 disables the cache
    bool serve_expired = true;
    int64_t serve_expired_ttl = 86400;  // seconds an expired entry is kept; 0 = until evicted
    int64_t max_loaded_ttl = kCacheMaxLoadedTtl;  // ceiling of TTLs read from the cache file
  };

  // A lookup result. The packet view stays valid until the next change of the cache.
  struct Hit {
    std::span<const uint8_t> packet;
    int32_t ttl_left = 0;  // 0: expired, served stale
    bool soa = false;
    int32_t speed = -1;
    uint32_t bind_flags = 0;
    bool refresh = false;  // served stale and no refresh pending: the caller should start one
  };

  // An entry the sweep wants refreshed.
  struct Refresh {
    std::string domain;
    uint16_t qtype = 0;
    std::string group;
    std::string subnet;
    uint32_t bind_flags = 0;
    bool expired = false;  // refresh of an expired entry (stays among the expired)
  };

  struct SweepOptions {
    bool prefetch = false;  // refresh entries about to expire
    int32_t prefetch_before = 3;
    bool expired_prefetch = false;  // refresh expired entries not refreshed for a while
    int64_t expired_prefetch_after = 28800;
    size_t max_refresh = 16;  // 0: no limit
    // Entries looked at by this call (0: a whole pass now). A pass then goes on where the last
    // call stopped, so a large cache is swept in slices that never stall the engine for long.
    size_t max_entries = 0;
  };

  explicit DnsCache(const Settings& settings, uint64_t hash_seed = 0);
  ~DnsCache();
  DnsCache(const DnsCache&) = delete;
  DnsCache& operator=(const DnsCache&) = delete;

  const Settings& settings() const { return settings_; }
  bool enabled() const { return settings_.max_size > 0; }
  size_t size() const { return count_; }
  size_t bucket_count() const { return buckets_.size(); }

  // Finds an answer. A fresh one counts as a hit (most recently used, budget raised). An
  // expired one is dropped when stale answers are off, else returned with ttl_left 0.
  std::optional<Hit> Lookup(const CacheKeyView& key, CacheTime now);
  // Finds an entry without side effects.
  const CacheEntry* Peek(const CacheKeyView& key) const;
  // Starts fetching the bucket of `key` into the CPU cache (a load does so while it checks the
  // record, so the table's memory latency is not paid on every insert).
  void Prefetch(const CacheKeyView& key) const;

  // Stores an answer (TTL raised to the 30 s floor). False when not stored (cache off, packet
  // or key parts too long).
  bool Store(const CacheKeyView& key, std::span<const uint8_t> packet, const CacheStoreInfo& info,
             CacheStore how, CacheTime now);

  // Drops expired entries (or sets them aside when stale answers are on) and picks the entries
  // to refresh; over several calls when options.max_entries limits each.
  std::vector<Refresh> Sweep(const SweepOptions& options, CacheTime now);

  // Entries of one list from the most recently used end (the order of the cache file).
  template <class F>
  void ForEach(CacheList list, F&& f) const;

  // Adds an entry read from the cache file at the least recently used end of its list, keeping
  // its counters. False when the key is there already, the cache is full, or a part is too
  // long.
  bool InsertLoaded(const CacheKeyView& key, std::span<const uint8_t> packet,
                    const CacheCounters& counters, bool soa, uint32_t bind_flags, CacheList list);

  void Clear();
  // Sizes the table for `entries` at once (a load that knows its count).
  void Reserve(size_t entries);
  // Entries inserted by InsertLoaded between these two calls share one block of at most
  // `bytes` (advised for huge pages), trimmed to what they use at the end: a cold start then
  // touches a few large pages instead of thousands of small ones. The block is returned when
  // its last entry goes.
  void BeginLoad(size_t bytes);
  void EndLoad();

  // Whether content changed since the last ClearDirty() (hits do not count).
  bool dirty() const { return dirty_; }
  void ClearDirty() { dirty_ = false; }

 private:
  struct ListHead {
    CacheEntry* first = nullptr;
    CacheEntry* last = nullptr;
  };

  uint32_t Hash(const CacheKeyView& key) const;
  CacheEntry* Find(const CacheKeyView& key, uint32_t hash) const;
  CacheEntry* NewEntry(const CacheKeyView& key, uint32_t hash, std::span<const uint8_t> packet,
                       bool from_block = false);
  void FreeEntry(CacheEntry* e);
  void LinkBucket(CacheEntry* e);
  void UnlinkBucket(CacheEntry* e);
  void PushBack(CacheList list, CacheEntry* e);
  void PushFront(CacheList list, CacheEntry* e);
  void Unlink(CacheEntry* e);
  void Remove(CacheEntry* e);
  void Touch(CacheEntry* e);
  void EvictIfFull();
  void MaybeGrow();
  void Rehash(size_t buckets);
  // Puts `fresh` where `old` was (bucket), frees `old`.
  void Swap(CacheEntry* old, CacheEntry* fresh);
  ListHead& Head(CacheList list) { return lists_[static_cast<int>(list)]; }

  Settings settings_;
  uint64_t seed_;
  CacheBuckets buckets_;
  ListHead lists_[2];
  size_t count_ = 0;
  bool dirty_ = false;
  // Where a sweep in slices goes on: the list it walks (none between passes) and its next entry
  // there (kept valid by Unlink).
  enum class SweepPhase : uint8_t { kIdle, kActive, kExpired };
  SweepPhase sweep_phase_ = SweepPhase::kIdle;
  CacheEntry* sweep_next_ = nullptr;
  // The block of loaded entries.
  uint8_t* block_ = nullptr;
  size_t block_size_ = 0;
  size_t block_used_ = 0;
  size_t block_live_ = 0;
  bool loading_ = false;
};

// The entry head; the key text and the packet follow it in the same allocation.
struct CacheEntry {
  CacheEntry* prev = nullptr;
  CacheEntry* next = nullptr;
  CacheEntry* hash_next = nullptr;
  uint32_t hash = 0;
  int32_t ttl = 0;
  CacheTime insert_time = 0;
  CacheTime replace_time = 0;
  int32_t speed = -1;
  CacheTime refresh_time = 0;  // when a refresh was started; meaningful while refresh_pending
  int16_t hitnum = kCacheHitnumStart;
  uint8_t step = kCacheStepStart;
  uint8_t list : 1 = 0;  // CacheList
  uint8_t soa : 1 = 0;
  uint8_t refresh_pending : 1 = 0;
  uint8_t in_block : 1 = 0;  // lives in the block of loaded entries
  uint16_t qtype = 0;
  uint16_t bind_flags = 0;
  uint16_t packet_len = 0;
  uint8_t domain_len = 0;
  uint8_t group_len = 0;
  uint8_t subnet_len = 0;

  const char* key_text() const { return reinterpret_cast<const char*>(this + 1); }
  std::string_view domain() const { return {key_text(), domain_len}; }
  std::string_view group() const { return {key_text() + domain_len, group_len}; }
  std::string_view subnet() const { return {key_text() + domain_len + group_len, subnet_len}; }
  std::span<const uint8_t> packet() const {
    return {reinterpret_cast<const uint8_t*>(key_text()) + domain_len + group_len + subnet_len,
            packet_len};
  }
  CacheList which_list() const { return static_cast<CacheList>(list); }
  CacheCounters counters() const { return {ttl, hitnum, speed, step, insert_time, replace_time}; }
  // Seconds of TTL left at `now`; negative once expired.
  int64_t left(CacheTime now) const { return int64_t{insert_time} + ttl - now; }
};

template <class F>
void DnsCache::ForEach(CacheList list, F&& f) const {
  for (const CacheEntry* e = lists_[static_cast<int>(list)].last; e; e = e->prev) f(*e);
}

}  // namespace zc::dns
