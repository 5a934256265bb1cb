// The engine's cache on a fake clock: wall-clock steps never age entries, the file is saved
// every ten minutes while something changed and at close, loaded at open, and the sweep's
// refreshes reach the engine with the right kind.
#include "dns/cache/answer_cache.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "dns_cache/cache_test_util.h"
#include "support/temp_root.h"
#include "utils/timescale.h"

namespace zc::dns {
namespace {

using cachetest::Reply;
namespace fs = std::filesystem;

class FakeClock : public CacheClock {
 public:
  int64_t MonotonicMs() const override { return mono_ms; }
  int64_t WallSeconds() const override { return wall; }
  void Advance(int64_t seconds) {
    mono_ms += seconds * 1000;
    wall += seconds;
  }
  int64_t mono_ms = 5'000'000;
  int64_t wall = 1'700'000'000;
};

struct Refreshed {
  std::string domain;
  uint32_t flags;
  bool expired;
};

class AnswerCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zc::SetTimeScaleForTest(1.0);
    fs::create_directories(root_("/tmp"));
  }
  CacheSettings Settings(bool serve_expired, bool prefetch = false, bool persist = false) {
    CacheSettings s;
    s.size = 64;
    s.serve_expired = serve_expired;
    s.serve_expired_ttl = 86400;
    s.prefetch = prefetch;
    s.persist = persist;
    return s;
  }
  void Open(DnsAnswerCache& c, const CacheSettings& s) {
    c.Open(s, [this](const CacheKey& k, uint32_t flags, bool expired) {
      refreshed_.push_back({k.domain, flags, expired});
    });
  }
  static void Store(DnsAnswerCache& c, const std::string& name, int ttl,
                    CacheStoreKind kind = CacheStoreKind::kAnswer) {
    CachedAnswer a;
    a.packet = Reply(name);
    a.ttl = ttl;
    a.bind_flags = 0x20;
    c.Store({name, DNS_T_A, {}, {}}, a, kind);
  }
  static std::optional<CachedAnswer> Get(DnsAnswerCache& c, const std::string& name) {
    CachedAnswer a;
    if (!c.Lookup({name, DNS_T_A, {}, {}}, &a)) return std::nullopt;
    return a;
  }
  // Every save writes a new file and renames it into place: a new inode.
  static ino_t Inode(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_ino;
  }

  zctest::TempRoot root_;
  FakeClock clock_;
  std::vector<Refreshed> refreshed_;
};

TEST_F(AnswerCacheTest, WallClockStepsNeverAgeEntries) {
  DnsAnswerCache c(&clock_);
  Open(c, Settings(false));
  Store(c, "a.test", 60);
  clock_.wall -= 3600;  // the clock is stepped back an hour
  clock_.mono_ms += 59'000;
  auto hit = Get(c, "a.test");
  ASSERT_TRUE(hit);
  EXPECT_EQ(hit->ttl, 1);
  clock_.mono_ms += 1000;
  EXPECT_FALSE(Get(c, "a.test"));  // expired after its 60 s all the same

  Store(c, "b.test", 60);
  clock_.wall += 86400 * 365;  // the boot-time step from 1970 to now, or any jump forward
  c.Sweep(true);
  ASSERT_TRUE(Get(c, "b.test"));
  EXPECT_EQ(Get(c, "b.test")->ttl, 60);
}

TEST_F(AnswerCacheTest, StaleAnswersAskForOneRefresh) {
  DnsAnswerCache c(&clock_);
  Open(c, Settings(true));
  Store(c, "a.test", 30);
  clock_.Advance(31);
  auto hit = Get(c, "a.test");
  ASSERT_TRUE(hit);
  EXPECT_EQ(hit->ttl, 0);
  EXPECT_TRUE(hit->refresh);
  EXPECT_EQ(hit->bind_flags, 0x20u);
  EXPECT_FALSE(Get(c, "a.test")->refresh);
  Store(c, "a.test", 30, CacheStoreKind::kExpiredRefresh);
  EXPECT_EQ(Get(c, "a.test")->ttl, 30);
}

TEST_F(AnswerCacheTest, SweepRefreshesByTheSettings) {
  // Prefetch without stale answers: entries about to expire.
  DnsAnswerCache before(&clock_);
  Open(before, Settings(false, true));
  Store(before, "a.test", 30);
  clock_.Advance(28);
  before.Sweep(true);  // after a clock jump: no refreshes
  EXPECT_TRUE(refreshed_.empty());
  before.Sweep(false);
  ASSERT_EQ(refreshed_.size(), 1u);
  EXPECT_EQ(refreshed_[0].domain, "a.test");
  EXPECT_EQ(refreshed_[0].flags, 0x20u);
  EXPECT_FALSE(refreshed_[0].expired);

  // With stale answers: expired entries not replaced for serve-expired-prefetch-time.
  refreshed_.clear();
  DnsAnswerCache after(&clock_);
  CacheSettings s = Settings(true, true);
  s.serve_expired_prefetch_time = 100;
  Open(after, s);
  Store(after, "b.test", 30);
  clock_.Advance(28);
  after.Sweep(false);
  EXPECT_TRUE(refreshed_.empty());  // no refresh before expiry in this mode
  clock_.Advance(72);
  after.Sweep(false);
  ASSERT_EQ(refreshed_.size(), 1u);
  EXPECT_TRUE(refreshed_[0].expired);

  // Prefetch off: nothing is ever refreshed by the sweep.
  refreshed_.clear();
  DnsAnswerCache off(&clock_);
  Open(off, Settings(true, false));
  Store(off, "c.test", 30);
  for (int i = 0; i < 100; i++) {
    clock_.Advance(600);
    off.Sweep(false);
  }
  EXPECT_TRUE(refreshed_.empty());
}

TEST_F(AnswerCacheTest, SavedEveryTenMinutesWhileChangedAndAtClose) {
  std::string path = root_("/tmp/zundns.cache");
  {
    DnsAnswerCache c(&clock_);
    Open(c, Settings(true, false, true));
    EXPECT_EQ(c.path(), path);
    Store(c, "a.test", 3600);
    clock_.Advance(598);
    c.Sweep(false);
    EXPECT_FALSE(fs::exists(path));
    clock_.Advance(2);
    c.Sweep(false);
    EXPECT_EQ(c.WaitForBackgroundSave(), 1);
    ASSERT_TRUE(fs::exists(path));
    ino_t first = Inode(path);
    clock_.Advance(1200);
    c.Sweep(false);  // nothing changed: not written again
    EXPECT_EQ(Inode(path), first);
    Store(c, "b.test", 3600);
    clock_.Advance(600);
    c.Sweep(false);
    EXPECT_EQ(c.WaitForBackgroundSave(), 2);
    DnsCache probe(DnsCache::Settings{});
    EXPECT_EQ(LoadCacheFile(path, &probe, {0, clock_.wall}).loaded, 2u);
    Store(c, "c.test", 3600);
  }  // closed: saved again with c.test
  // The next start loads it; the wall clock moved on 100 s meanwhile.
  clock_.Advance(100);
  DnsAnswerCache next(&clock_);
  Open(next, Settings(true, false, true));
  auto hit = Get(next, "c.test");
  ASSERT_TRUE(hit);
  EXPECT_EQ(hit->ttl, 3600 - 100);
  EXPECT_TRUE(Get(next, "a.test"));
  next.Close();

  // Persistence off: the old file goes at close.
  DnsAnswerCache transient(&clock_);
  Open(transient, Settings(true, false, false));
  EXPECT_FALSE(Get(transient, "c.test"));
  transient.Close();
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(AnswerCacheTest, PeriodicSaveWritesACopyOffTheCallingThread) {
  constexpr int kEntries = 2000;
  std::string path = root_("/tmp/zundns.cache");
  DnsAnswerCache c(&clock_);
  CacheSettings s = Settings(false, false, true);
  s.size = 4 * kEntries;
  Open(c, s);
  for (int i = 0; i < kEntries; i++) Store(c, "n" + std::to_string(i) + ".test", 3600);
  clock_.Advance(kCacheSaveEvery);
  c.Sweep(false);
  // The cache goes on changing while the file is written: the file holds the copy taken at
  // the sweep, whole.
  for (int i = 0; i < kEntries; i++) Store(c, "late" + std::to_string(i) + ".test", 3600);
  EXPECT_EQ(c.WaitForBackgroundSave(), kEntries);
  EXPECT_NE(c.last_writer(), std::this_thread::get_id());
  EXPECT_NE(c.last_writer(), std::thread::id());
  DnsCache probe(DnsCache::Settings{.max_size = 4 * kEntries});
  CacheLoadResult loaded = LoadCacheFile(path, &probe, {0, clock_.wall});
  EXPECT_TRUE(loaded.ok);
  EXPECT_EQ(loaded.loaded, static_cast<size_t>(kEntries));
  EXPECT_EQ(loaded.skipped, 0u);
  // The later entries are saved by the next round; a close saves on the calling thread.
  clock_.Advance(kCacheSaveEvery);
  c.Sweep(false);
  EXPECT_EQ(c.WaitForBackgroundSave(), 2 * kEntries);
  c.Close();
  EXPECT_EQ(c.last_writer(), std::this_thread::get_id());
  DnsCache again(DnsCache::Settings{.max_size = 4 * kEntries});
  EXPECT_EQ(LoadCacheFile(path, &again, {0, clock_.wall}).loaded,
            static_cast<size_t>(2 * kEntries));
}

TEST_F(AnswerCacheTest, TheTimeScaleShortensTtlsLikeEveryOtherPeriod) {
  zc::SetTimeScaleForTest(0.01);
  DnsAnswerCache c(&clock_);
  Open(c, Settings(false));
  Store(c, "a.test", 100);
  clock_.mono_ms += 500;  // 50 s on the scale
  EXPECT_EQ(Get(c, "a.test")->ttl, 50);
  clock_.mono_ms += 500;
  EXPECT_FALSE(Get(c, "a.test"));
  zc::SetTimeScaleForTest(1.0);
}

}  // namespace
}  // namespace zc::dns
