// The engine's answer cache: DnsCache behind the engine's AnswerCache seam, on a monotonic
// clock, with the cache file loaded at open, saved every ten minutes while something changed
// and at close, and the refreshes (prefetches) the sweep asks for handed to the engine. The
// periodic save copies the entries on the engine thread and writes and syncs the file on a
// thread of its own, so a large cache never stalls the resolver; the save at close stays
// synchronous.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "dns/cache/cache_file.h"
#include "dns/cache/dns_cache.h"
#include "dns/common/engine_seams.h"

namespace zc::dns {

inline constexpr const char* kDefaultCacheFile = "/tmp/zundns.cache";
inline constexpr int64_t kCacheSaveEvery = 600;  // seconds, on the time scale
inline constexpr int32_t kPrefetchBefore = 3;    // seconds of TTL left
inline constexpr size_t kRefreshPerSweep = 16;
// The engine sweeps on every beat; a pass over the whole cache takes this many sweeps (a few
// milliseconds each for 200k entries instead of one long stall), small caches one.
inline constexpr size_t kSweepsPerPass = 20;
inline constexpr size_t kSweepSliceMin = 4096;
inline constexpr int64_t kExpiredPrefetchCap = 28800;

// The two clocks the cache reads. Tests pass a fake one.
class CacheClock {
 public:
  virtual ~CacheClock() = default;
  virtual int64_t MonotonicMs() const = 0;
  virtual int64_t WallSeconds() const = 0;
};

// CLOCK_MONOTONIC (coarse: a vDSO read, seconds are all the cache needs) and time().
class SystemCacheClock final : public CacheClock {
 public:
  int64_t MonotonicMs() const override;
  int64_t WallSeconds() const override;
};

class DnsAnswerCache final : public AnswerCache {
 public:
  // `clock` must outlive the cache; null: the system clocks.
  explicit DnsAnswerCache(const CacheClock* clock = nullptr);
  ~DnsAnswerCache() override;

  void Open(const CacheSettings& settings, CacheRefresh refresh) override;
  bool Lookup(const CacheKey& key, CachedAnswer* answer) override;
  bool Peek(const CacheKey& key, CachedAnswer* answer) override;
  void Store(const CacheKey& key, const CachedAnswer& answer, CacheStoreKind kind) override;
  void Sweep(bool clock_jumped) override;
  void SetTime(std::chrono::steady_clock::time_point now) override;
  void Close() override;

  // Writes the cache file now. Records written, or -1 (also when persistence is off).
  long Save();
  // Copies the entries now and writes the file on the saver thread. False when persistence is
  // off or the previous background save is still running.
  bool SaveInBackground();
  // Waits for the background save, if any. Records it wrote, or -1.
  long WaitForBackgroundSave();
  // The thread that wrote the cache file last (tests).
  std::thread::id last_writer() const { return last_writer_.load(); }
  bool is_open() const { return cache_ != nullptr; }
  // The cache itself (tests); null while closed.
  const DnsCache* table() const { return cache_.get(); }
  // The file in use, under the root prefix.
  const std::string& path() const { return path_; }
  // Seconds on the cache's clock (monotonic, on the time scale).
  CacheTime Now() const;

 private:
  CacheFileClock FileClock() const;
  bool Persistent() const { return settings_.persist && settings_.size > 0; }

  SystemCacheClock system_clock_;
  const CacheClock* clock_;
  CacheSettings settings_;
  CacheRefresh refresh_;
  std::unique_ptr<DnsCache> cache_;
  std::string path_;
  int64_t epoch_ms_ = 0;
  int64_t engine_ms_ = -1;         // the engine's clock as last given; -1: read our own
  double ms_per_second_ = 1000.0;  // real milliseconds per cache second
  CacheTime last_save_ = 0;
  std::thread saver_;
  std::atomic<bool> saving_{false};
  std::atomic<bool> save_failed_{false};  // the last background save failed: try again
  std::atomic<long> saved_records_{-1};
  std::atomic<std::thread::id> last_writer_{};
};

}  // namespace zc::dns
