#include "dns/cache/answer_cache.h"

#include <time.h>

#include <algorithm>
#include <cmath>

#include "utils/files.h"
#include "utils/log.h"
#include "utils/paths.h"
#include "utils/timescale.h"
#include "utils/uuid.h"

namespace zc::dns {

namespace {

int64_t ThreadCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

int64_t SystemCacheClock::MonotonicMs() const {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

int64_t SystemCacheClock::WallSeconds() const {
  return time(nullptr);
}

DnsAnswerCache::DnsAnswerCache(const CacheClock* clock) : clock_(clock ? clock : &system_clock_) {}

DnsAnswerCache::~DnsAnswerCache() {
  Close();
}

void DnsAnswerCache::SetTime(std::chrono::steady_clock::time_point now) {
  // steady_clock and our own clock count from the same origin (CLOCK_MONOTONIC).
  engine_ms_ =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
}

CacheTime DnsAnswerCache::Now() const {
  int64_t ms = engine_ms_ >= 0 ? engine_ms_ : clock_->MonotonicMs();
  double seconds = static_cast<double>(ms - epoch_ms_) / ms_per_second_;
  return static_cast<CacheTime>(std::clamp(std::floor(seconds), 0.0, double{INT32_MAX}));
}

CacheFileClock DnsAnswerCache::FileClock() const {
  return {Now(), clock_->WallSeconds()};
}

void DnsAnswerCache::Open(const CacheSettings& settings, CacheRefresh refresh) {
  Close();
  settings_ = settings;
  refresh_ = std::move(refresh);
  path_ = zc::RootPath(settings.file.empty() ? kDefaultCacheFile : settings.file);
  engine_ms_ = -1;
  epoch_ms_ = clock_->MonotonicMs();
  ms_per_second_ = std::max(1e-3, 1000.0 * zc::TimeScale());
  DnsCache::Settings s;
  s.max_size = std::max<int64_t>(settings.size, 0);
  s.serve_expired = settings.serve_expired;
  s.serve_expired_ttl = std::max<int64_t>(settings.serve_expired_ttl, 0);
  if (settings.max_ttl > 0) s.max_loaded_ttl = settings.max_ttl;
  cache_ = std::make_unique<DnsCache>(s, RandomU64());
  last_save_ = Now();
  if (Persistent()) {
    int64_t started = clock_->MonotonicMs();
    int64_t cpu_started = ThreadCpuMs();
    CacheLoadResult r = LoadCacheFile(path_, cache_.get(), FileClock());
    if (r.loaded) {
      LogOut(LL_INFO, "%s: %zu entries loaded in %lld ms (%lld ms of CPU)", __func__, r.loaded,
             static_cast<long long>(clock_->MonotonicMs() - started),
             static_cast<long long>(ThreadCpuMs() - cpu_started));
    }
    if (!r.ok && !r.ignored) LogOut(LL_WARN, "Load cache failed.");
    if (r.skipped) {
      LogOut(LL_WARN, "%s: %zu records of %s skipped", __func__, r.skipped, path_.c_str());
    }
  }
}

bool DnsAnswerCache::Lookup(const CacheKey& key, CachedAnswer* answer) {
  if (!cache_) return false;
  auto hit = cache_->Lookup({key.domain, key.qtype, key.group, key.client_subnet}, Now());
  if (!hit) return false;
  answer->packet.assign(hit->packet.begin(), hit->packet.end());
  answer->ttl = hit->ttl_left;
  answer->soa = hit->soa;
  answer->speed = hit->speed;
  answer->bind_flags = hit->bind_flags;
  answer->refresh = hit->refresh;
  return true;
}

bool DnsAnswerCache::Peek(const CacheKey& key, CachedAnswer* answer) {
  if (!cache_ || !cache_->enabled()) return false;
  const CacheEntry* e = cache_->Peek({key.domain, key.qtype, key.group, key.client_subnet});
  if (!e) return false;
  int64_t left = e->left(Now());
  if (left <= 0 && !settings_.serve_expired) return false;
  answer->ttl = left > 0 ? static_cast<int>(std::min<int64_t>(left, INT32_MAX)) : 0;
  answer->soa = e->soa;
  answer->speed = e->speed;
  answer->bind_flags = e->bind_flags;
  answer->refresh = false;
  return true;
}

void DnsAnswerCache::Store(const CacheKey& key, const CachedAnswer& answer, CacheStoreKind kind) {
  if (!cache_) return;
  CacheStoreInfo info{answer.ttl, answer.speed, answer.soa, answer.bind_flags};
  CacheStore how = kind == CacheStoreKind::kRefresh          ? CacheStore::kReplace
                   : kind == CacheStoreKind::kExpiredRefresh ? CacheStore::kReplaceInactive
                                                             : CacheStore::kInsert;
  if (!cache_->Store({key.domain, key.qtype, key.group, key.client_subnet}, answer.packet, info,
                     how, Now())) {
    LogOut(LL_DEBUG, "cache packet for %s failed.", key.domain.c_str());
  }
}

void DnsAnswerCache::Sweep(bool clock_jumped) {
  if (!cache_ || !cache_->enabled()) return;
  DnsCache::SweepOptions o;
  if (!clock_jumped && settings_.prefetch && refresh_) {
    o.max_refresh = kRefreshPerSweep;
    if (settings_.serve_expired) {
      o.expired_prefetch = true;
      int64_t half = std::min<int64_t>(settings_.serve_expired_ttl / 2, kExpiredPrefetchCap);
      o.expired_prefetch_after = settings_.serve_expired_prefetch_time > 0
                                     ? settings_.serve_expired_prefetch_time
                                 : half > 0 ? half
                                            : kExpiredPrefetchCap;
    } else {
      o.prefetch = true;
      o.prefetch_before = kPrefetchBefore;
    }
  }
  if (!clock_jumped) {
    o.max_entries = std::max(kSweepSliceMin, cache_->size() / kSweepsPerPass);
    // The refresh budget of a pass is shared by its slices.
    if (o.max_refresh > 0 && o.max_entries < cache_->size()) {
      o.max_refresh = std::max<size_t>(1, kRefreshPerSweep * o.max_entries / cache_->size());
    }
  }
  CacheTime now = Now();
  for (const DnsCache::Refresh& r : cache_->Sweep(o, now)) {
    CacheKey key{r.domain, r.qtype, r.group, r.subnet};
    refresh_(key, r.bind_flags, r.expired);
  }
  bool changed = cache_->dirty() || save_failed_.load();
  if (Persistent() && changed && now - last_save_ >= kCacheSaveEvery) SaveInBackground();
}

long DnsAnswerCache::Save() {
  if (!cache_ || !Persistent()) return -1;
  WaitForBackgroundSave();  // one writer at a time, and ours is the newer copy
  last_save_ = Now();
  long n = SaveCacheFile(path_, *cache_, FileClock());
  last_writer_ = std::this_thread::get_id();
  if (n < 0) {
    LogOut(LL_WARN, "save cache failed.");
    return -1;
  }
  cache_->ClearDirty();
  save_failed_ = false;
  return n;
}

bool DnsAnswerCache::SaveInBackground() {
  if (!cache_ || !Persistent() || saving_.load()) return false;
  if (saver_.joinable()) saver_.join();  // finished: only the thread object is left
  last_save_ = Now();
  auto snapshot = std::make_shared<CacheSnapshot>(CacheSnapshot::Take(*cache_, FileClock()));
  // Changes from here on belong to the next save; a failed write asks for one too.
  cache_->ClearDirty();
  save_failed_ = false;
  saving_ = true;
  saver_ = std::thread([this, snapshot, path = path_] {
    long n = SaveSnapshotFile(path, *snapshot);
    last_writer_ = std::this_thread::get_id();
    if (n < 0) {
      LogOut(LL_WARN, "save cache failed.");
      save_failed_ = true;
    }
    saved_records_ = n;
    saving_ = false;
  });
  return true;
}

long DnsAnswerCache::WaitForBackgroundSave() {
  if (!saver_.joinable()) return -1;
  saver_.join();
  return saved_records_.load();
}

void DnsAnswerCache::Close() {
  WaitForBackgroundSave();
  if (!cache_) return;
  if (Persistent()) {
    Save();
  } else if (zc::FileExists(path_) && zc::RemoveFile(path_) != 0) {
    LogOut(LL_WARN, "%s: remove %s failed", __func__, path_.c_str());
  }
  cache_.reset();
  refresh_ = nullptr;
}

}  // namespace zc::dns
