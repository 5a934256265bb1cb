// The cache table: TTL floor and expiry, stale answers, eviction order, the popularity budget
// and the sweep's refresh picks, all on explicit monotonic seconds.
#include "dns/cache/dns_cache.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dns_cache/cache_test_util.h"

namespace zc::dns {
namespace {

using cachetest::Reply;

DnsCache::Settings Settings(int64_t size, bool serve_expired, int64_t serve_expired_ttl = 0) {
  DnsCache::Settings s;
  s.max_size = size;
  s.serve_expired = serve_expired;
  s.serve_expired_ttl = serve_expired_ttl;
  return s;
}

CacheKeyView Key(const std::string& name, uint16_t qtype = DNS_T_A) {
  return {name, qtype, {}, {}};
}

bool Put(DnsCache& c, const std::string& name, int ttl, CacheTime now,
         CacheStore how = CacheStore::kInsert, uint8_t last = 1) {
  std::vector<uint8_t> p = Reply(name, DNS_T_A, last);
  return c.Store(Key(name), p, {ttl, -1, false, 0}, how, now);
}

std::vector<std::string> Names(const DnsCache& c, CacheList list) {
  std::vector<std::string> out;
  c.ForEach(list, [&](const CacheEntry& e) { out.emplace_back(e.domain()); });
  return out;
}

std::vector<std::string> RefreshNames(const std::vector<DnsCache::Refresh>& r) {
  std::vector<std::string> out;
  for (const auto& x : r) out.push_back(x.domain + (x.expired ? "!" : ""));
  return out;
}

TEST(DnsCacheTable, TtlFloorExpiryAndStaleAnswers) {
  DnsCache fresh_only(Settings(16, false));
  ASSERT_TRUE(Put(fresh_only, "a.test", 5, 100));
  auto hit = fresh_only.Lookup(Key("a.test"), 100);
  ASSERT_TRUE(hit);
  EXPECT_EQ(hit->ttl_left, 30);  // raised to the floor
  EXPECT_EQ(std::vector<uint8_t>(hit->packet.begin(), hit->packet.end()), Reply("a.test"));
  EXPECT_EQ(fresh_only.Lookup(Key("a.test"), 129)->ttl_left, 1);
  EXPECT_FALSE(fresh_only.Lookup(Key("a.test"), 130));  // no answer with 0 s left
  EXPECT_EQ(fresh_only.size(), 0u);
  EXPECT_FALSE(fresh_only.Lookup(Key("a.test", DNS_T_AAAA), 100));

  DnsCache stale(Settings(16, true));
  ASSERT_TRUE(Put(stale, "a.test", 60, 0));
  ASSERT_TRUE(stale.Lookup(Key("a.test"), 1));  // one hit: hitnum 5
  hit = stale.Lookup(Key("a.test"), 61);
  ASSERT_TRUE(hit);
  EXPECT_EQ(hit->ttl_left, 0);
  EXPECT_TRUE(hit->refresh);                               // the first stale answer asks for one
  EXPECT_FALSE(stale.Lookup(Key("a.test"), 65)->refresh);  // while it is under way: no more
  EXPECT_TRUE(stale.Lookup(Key("a.test"), 61 + kCacheRefreshPending)->refresh);  // it was lost
  EXPECT_EQ(stale.Peek(Key("a.test"))->hitnum, 5);  // stale answers are not hits

  // A refresh that arrives puts the entry back to fresh.
  ASSERT_TRUE(Put(stale, "a.test", 60, 80, CacheStore::kReplaceInactive, 7));
  hit = stale.Lookup(Key("a.test"), 81);
  EXPECT_EQ(hit->ttl_left, 59);
  EXPECT_FALSE(hit->refresh);
  EXPECT_EQ(hit->packet.back(), 7);

  DnsCache off(Settings(0, true));
  EXPECT_FALSE(off.enabled());
  EXPECT_FALSE(Put(off, "a.test", 60, 0));
  EXPECT_FALSE(off.Lookup(Key("a.test"), 0));
}

TEST(DnsCacheTable, EvictionTakesExpiredFirstThenLeastRecentlyUsed) {
  DnsCache c(Settings(2, false));
  Put(c, "a.test", 300, 0);
  Put(c, "b.test", 300, 0);
  Put(c, "c.test", 300, 0);
  EXPECT_EQ(Names(c, CacheList::kActive), (std::vector<std::string>{"c.test", "b.test"}));
  ASSERT_TRUE(c.Lookup(Key("b.test"), 1));  // b becomes the most recently used
  Put(c, "d.test", 300, 2);
  EXPECT_EQ(Names(c, CacheList::kActive), (std::vector<std::string>{"d.test", "b.test"}));
  EXPECT_EQ(c.size(), 2u);

  DnsCache s(Settings(2, true));
  Put(s, "old.test", 300, 0);
  Put(s, "short.test", 30, 0);
  s.Sweep({}, 31);  // short.test expired: set aside
  EXPECT_EQ(Names(s, CacheList::kExpired), std::vector<std::string>{"short.test"});
  Put(s, "new.test", 300, 32);
  EXPECT_FALSE(s.Peek(Key("short.test")));  // the expired one goes, not the older active one
  EXPECT_TRUE(s.Peek(Key("old.test")));

  // A second answer for the same key replaces the first, with fresh counters.
  ASSERT_TRUE(s.Lookup(Key("old.test"), 33));
  Put(s, "old.test", 300, 34, CacheStore::kInsert, 9);
  EXPECT_EQ(s.size(), 2u);
  EXPECT_EQ(s.Peek(Key("old.test"))->hitnum, kCacheHitnumStart);
  EXPECT_EQ(s.Peek(Key("old.test"))->packet().back(), 9);
}

TEST(DnsCacheTable, HitsRaiseTheBudgetUpToItsCaps) {
  DnsCache c(Settings(16, false));
  Put(c, "a.test", 86400, 0);
  for (int i = 0; i < 10; i++) ASSERT_TRUE(c.Lookup(Key("a.test"), 1));
  EXPECT_EQ(c.Peek(Key("a.test"))->hitnum, 3 + 2 + 3 + 4 + 5 + 6 + 6 + 6 + 6 + 6 + 6);
  EXPECT_EQ(c.Peek(Key("a.test"))->step, 6);
  for (int i = 0; i < 2000; i++) c.Lookup(Key("a.test"), 2);
  EXPECT_EQ(c.Peek(Key("a.test"))->hitnum, kCacheHitnumMax);
}

TEST(DnsCacheTable, KeysKeepGroupsSubnetsAndTypesApart) {
  DnsCache c(Settings(16, false));
  auto p = Reply("a.test");
  CacheKeyView plain{"a.test", DNS_T_A, {}, {}};
  CacheKeyView grouped{"a.test", DNS_T_A, "kids", {}};
  CacheKeyView subnet{"a.test", DNS_T_A, {}, "198.51.100.0/24"};
  ASSERT_TRUE(c.Store(grouped, p, {60, -1, false, 0x40}, CacheStore::kInsert, 0));
  EXPECT_FALSE(c.Lookup(plain, 1));
  EXPECT_FALSE(c.Lookup(subnet, 1));
  EXPECT_FALSE(c.Lookup({"a.test", DNS_T_AAAA, "kids", {}}, 1));
  auto hit = c.Lookup(grouped, 1);
  ASSERT_TRUE(hit);
  EXPECT_EQ(hit->bind_flags, 0x40u);
  // Parts too long for an entry are not stored.
  std::string long_name(kCacheMaxDomain + 1, 'x');
  EXPECT_FALSE(c.Store({long_name, DNS_T_A, {}, {}}, p, {60}, CacheStore::kInsert, 0));
  std::vector<uint8_t> huge(kCacheMaxPacket + 1, 0);
  EXPECT_FALSE(c.Store(plain, huge, {60}, CacheStore::kInsert, 0));
}

// Found by fuzzing: a failure answer to a type-0 query was kept and saved, and the file's loader
// refused it at the next start.
TEST(DnsCacheTable, TypeZeroIsNeverKept) {
  DnsCache c(Settings(8, true));
  std::vector<uint8_t> p = Reply("fail.test", 0, 1);
  EXPECT_FALSE(c.Store(Key("fail.test", 0), p, {60, -1, false, 0}, CacheStore::kInsert, 100));
  EXPECT_FALSE(
      c.InsertLoaded(Key("fail.test", 0), p, CacheCounters{}, false, 0, CacheList::kActive));
  EXPECT_EQ(c.size(), 0u);
  EXPECT_FALSE(c.Lookup(Key("fail.test", 0), 100));
}

TEST(DnsCacheTable, TableGrowsAndFindsEveryEntry) {
  DnsCache c(Settings(20000, false), 0x1234);
  auto p = Reply("x.test");
  for (int i = 0; i < 12000; i++) {
    std::string name = "n" + std::to_string(i) + ".test";
    ASSERT_TRUE(c.Store(Key(name), p, {600}, CacheStore::kInsert, 0));
  }
  EXPECT_GE(c.bucket_count(), 12000u);
  for (int i = 0; i < 12000; i++) {
    ASSERT_TRUE(c.Peek(Key("n" + std::to_string(i) + ".test"))) << i;
  }
}

TEST(DnsCacheSweep, PrefetchBeforeExpirySpendsTheBudget) {
  DnsCache c(Settings(64, false));
  DnsCache::SweepOptions o;
  o.prefetch = true;
  o.prefetch_before = 3;
  Put(c, "a.test", 30, 0);
  EXPECT_TRUE(c.Sweep(o, 27).empty());  // 3 s left: not yet
  auto r = c.Sweep(o, 28);
  ASSERT_EQ(RefreshNames(r), std::vector<std::string>{"a.test"});
  EXPECT_FALSE(r[0].expired);
  EXPECT_EQ(c.Peek(Key("a.test"))->hitnum, 2);
  EXPECT_TRUE(c.Sweep(o, 29).empty());  // under way
  // The refresh replaces the entry and keeps what is left of the budget.
  Put(c, "a.test", 30, 29, CacheStore::kReplace, 5);
  EXPECT_EQ(c.Peek(Key("a.test"))->hitnum, 2);
  EXPECT_EQ(RefreshNames(c.Sweep(o, 57)), std::vector<std::string>{"a.test"});
  Put(c, "a.test", 30, 57, CacheStore::kReplace);
  // Budget 1 left: spending it leaves nothing, so the entry is left to expire.
  EXPECT_TRUE(c.Sweep(o, 85).empty());
  EXPECT_EQ(c.Peek(Key("a.test"))->hitnum, 0);
  c.Sweep(o, 88);
  EXPECT_FALSE(c.Peek(Key("a.test")));  // expired and dropped (no stale answers)

  // Clients asking keep it warm: hits refill the budget.
  Put(c, "hot.test", 30, 100);
  for (int i = 0; i < 3; i++) c.Lookup(Key("hot.test"), 101);
  for (int round = 0; round < 6; round++) {
    CacheTime t = 128 + round * 28;
    ASSERT_EQ(c.Sweep(o, t).size(), 1u) << round;
    Put(c, "hot.test", 30, t, CacheStore::kReplace);
    c.Lookup(Key("hot.test"), t);
  }

  // At most max_refresh picks per sweep.
  DnsCache many(Settings(64, false));
  for (int i = 0; i < 20; i++) Put(many, "m" + std::to_string(i) + ".test", 30, 0);
  o.max_refresh = 16;
  EXPECT_EQ(many.Sweep(o, 28).size(), 16u);
  EXPECT_EQ(many.Sweep(o, 28).size(), 4u);
}

TEST(DnsCacheSweep, ExpiredListKeepsDropsAndRefreshes) {
  DnsCache c(Settings(64, true, 100));
  DnsCache::SweepOptions none;
  Put(c, "a.test", 30, 0);
  Put(c, "b.test", 30, 10);
  c.Sweep(none, 30);  // a: exactly 0 s left, untouched
  EXPECT_EQ(Names(c, CacheList::kActive).size(), 2u);
  c.Sweep(none, 41);
  EXPECT_EQ(Names(c, CacheList::kExpired), (std::vector<std::string>{"b.test", "a.test"}));
  c.Sweep(none, 131);  // a expired 101 s ago: past the 100 s it is kept for
  EXPECT_EQ(Names(c, CacheList::kExpired), std::vector<std::string>{"b.test"});

  // Expired entries not replaced for a while are refreshed; the refresh keeps them aside
  // until a client asks again.
  DnsCache::SweepOptions o;
  o.expired_prefetch = true;
  o.expired_prefetch_after = 50;
  Put(c, "c.test", 30, 100);
  // b was replaced 125 s ago; c has expired too, but was replaced only 35 s ago.
  EXPECT_EQ(RefreshNames(c.Sweep(o, 135)), std::vector<std::string>{"b.test!"});
  EXPECT_TRUE(c.Sweep(o, 139).empty());  // b under way, c still recent
  Put(c, "b.test", 30, 139, CacheStore::kReplaceInactive);
  EXPECT_EQ(Names(c, CacheList::kExpired), (std::vector<std::string>{"b.test", "c.test"}));
  ASSERT_EQ(c.Lookup(Key("b.test"), 140)->ttl_left, 29);
  EXPECT_EQ(Names(c, CacheList::kActive), std::vector<std::string>{"b.test"});
}

TEST(DnsCacheSweep, WithoutStaleAnswersExpiredEntriesGo) {
  DnsCache c(Settings(64, false));
  Put(c, "a.test", 30, 0);
  Put(c, "b.test", 300, 0);
  c.Sweep({}, 31);
  EXPECT_FALSE(c.Peek(Key("a.test")));
  EXPECT_TRUE(c.Peek(Key("b.test")));
  EXPECT_TRUE(Names(c, CacheList::kExpired).empty());
  EXPECT_EQ(c.size(), 1u);
}

// A sweep in slices goes on where it stopped, whatever happened to the cache in between:
// entries removed, moved by hits or replaced under the slice's next entry.
TEST(DnsCacheSweep, SlicesGoOnWhereTheyStoppedAcrossChanges) {
  DnsCache c(Settings(256, false));
  for (int i = 0; i < 100; ++i) Put(c, "n" + std::to_string(i) + ".test", 30, 0);
  DnsCache::SweepOptions slice;
  slice.max_entries = 30;
  c.Sweep(slice, 31);  // all have expired: the first 30 go
  EXPECT_EQ(c.size(), 70u);
  EXPECT_FALSE(c.Peek(Key("n29.test")));
  EXPECT_TRUE(c.Peek(Key("n30.test")));
  // The slice's next entry disappears, another is replaced, a third is hit and moves.
  ASSERT_FALSE(c.Lookup(Key("n30.test"), 31));  // expired: dropped by the lookup
  Put(c, "n31.test", 300, 31, CacheStore::kReplaceInactive);
  Put(c, "fresh.test", 300, 31);
  c.Sweep(slice, 31);
  c.Sweep(slice, 31);
  c.Sweep(slice, 31);  // the pass ends here
  EXPECT_EQ(c.size(), 2u);
  EXPECT_TRUE(c.Peek(Key("n31.test")));
  EXPECT_TRUE(c.Peek(Key("fresh.test")));
  // A whole pass at once when no limit is given, and after Clear a pass starts afresh.
  for (int i = 0; i < 50; ++i) Put(c, "m" + std::to_string(i) + ".test", 30, 40);
  c.Sweep(slice, 80);
  c.Clear();
  Put(c, "after.test", 30, 80);
  c.Sweep(slice, 111);
  EXPECT_EQ(c.size(), 0u);
  for (int i = 0; i < 50; ++i) Put(c, "w" + std::to_string(i) + ".test", 30, 120);
  c.Sweep({}, 151);
  EXPECT_EQ(c.size(), 0u);
}

}  // namespace
}  // namespace zc::dns
