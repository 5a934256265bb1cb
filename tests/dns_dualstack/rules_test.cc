// The dual-stack rules on their own: which requests select, and when a family gives way to the
// other at the reply and at a cache hit.
#include <gtest/gtest.h>

#include "dns/cache/answer_cache.h"
#include "dns/codec/dns_packet.h"
#include "dns/engine/dns_conf.h"
#include "dns/engine/dns_dualstack.h"
#include "dns/engine/dns_rules.h"
#include "support/temp_root.h"

namespace zc::dns {
namespace {

DualStackQuery Query(uint16_t qtype) {
  DualStackQuery q;
  q.qtype = qtype;
  return q;
}

TEST(DualStackRules, WhoSelects) {
  DualStackSettings on;
  DualStackSettings off;
  off.enabled = false;
  EXPECT_TRUE(DualStackSelected(Query(DNS_T_A), on));
  EXPECT_TRUE(DualStackSelected(Query(DNS_T_AAAA), on));
  EXPECT_FALSE(DualStackSelected(Query(DNS_T_AAAA), off));
  EXPECT_FALSE(DualStackSelected(Query(DNS_T_MX), on));
  for (auto set : {&DualStackQuery::companion, &DualStackQuery::internal, &DualStackQuery::refresh,
                   &DualStackQuery::passthrough}) {
    DualStackQuery q = Query(DNS_T_A);
    q.*set = true;
    EXPECT_FALSE(DualStackSelected(q, on));
  }

  // The listener switches it off; a domain rule's explicit choice wins over both.
  DualStackQuery q = Query(DNS_T_AAAA);
  q.bind_flags = kBindNoDualstack;
  EXPECT_FALSE(DualStackSelected(q, on));
  q.rule_matched = true;
  q.rule_mask = kRuleDualstack;
  q.rule_flags = kRuleDualstack;
  EXPECT_TRUE(DualStackSelected(q, on));
  EXPECT_TRUE(DualStackSelected(q, off));
  q.rule_flags = 0;
  q.bind_flags = 0;
  EXPECT_FALSE(DualStackSelected(q, on));
  // A rule that only sets other flags leaves the choice to the listener and the option.
  q.rule_mask = 0;
  q.rule_flags = kRuleIgnoreNameserver;
  EXPECT_TRUE(DualStackSelected(q, on));
}

TEST(DualStackRules, AaaaOfADomainWithoutIpv4KeepsItsAnswer) {
  DualStackSettings on;
  DualStackQuery q = Query(DNS_T_AAAA);
  q.rule_matched = true;
  q.rule_flags = kRuleSoaA;  // address /x/#4
  EXPECT_FALSE(DualStackSelected(q, on));
  q.rule_flags = kRuleSoaA | kRuleIgnoreAddrV6;  // ...but its IPv6 rules are ignored
  EXPECT_TRUE(DualStackSelected(q, on));
  q.rule_flags = kRuleSoaA | kRuleIgnoreAddr;
  EXPECT_TRUE(DualStackSelected(q, on));
  q.rule_flags = kRuleSoaA;
  q.bind_flags = kBindNoRuleSoa;  // the listener does not apply SOA rules at all
  EXPECT_TRUE(DualStackSelected(q, on));
  DualStackQuery a = Query(DNS_T_A);
  a.rule_matched = true;
  a.rule_flags = kRuleSoaA;
  EXPECT_TRUE(DualStackSelected(a, on));
}

TEST(DualStackRules, ReplyGivesWayToAFasterFamilyByMoreThanTheThreshold) {
  DualStackSettings s;  // 15 ms = 150 tenths
  // No companion measurement: nothing changes, whatever our own.
  EXPECT_FALSE(DualStackSoaAtReply(DNS_T_AAAA, -1, -1, s));
  EXPECT_FALSE(DualStackSoaAtReply(DNS_T_AAAA, 5000, 0, s));
  // AAAA 20 ms, A 1 ms: slower by 19 ms > 15.
  EXPECT_TRUE(DualStackSoaAtReply(DNS_T_AAAA, 200, 10, s));
  // Within the threshold (strictly below companion + threshold keeps it).
  EXPECT_FALSE(DualStackSoaAtReply(DNS_T_AAAA, 159, 10, s));
  EXPECT_TRUE(DualStackSoaAtReply(DNS_T_AAAA, 160, 10, s));
  // Never measured while the other family answered.
  EXPECT_TRUE(DualStackSoaAtReply(DNS_T_AAAA, -1, 10, s));
  // A gives way only when forcing AAAA is allowed.
  EXPECT_FALSE(DualStackSoaAtReply(DNS_T_A, 200, 10, s));
  EXPECT_FALSE(DualStackSoaAtReply(DNS_T_A, -1, 10, s));
  s.allow_force_aaaa = true;
  EXPECT_TRUE(DualStackSoaAtReply(DNS_T_A, 200, 10, s));
  EXPECT_FALSE(DualStackSoaAtReply(DNS_T_A, 20, 10, s));
  // A large threshold keeps both.
  s.threshold_ms = 1000;
  EXPECT_FALSE(DualStackSoaAtReply(DNS_T_AAAA, 5000, 10, s));
  EXPECT_TRUE(DualStackSoaAtReply(DNS_T_AAAA, -1, 10, s));
  s.threshold_ms = 0;
  EXPECT_TRUE(DualStackSoaAtReply(DNS_T_AAAA, 11, 10, s));
  EXPECT_FALSE(DualStackSoaAtReply(DNS_T_AAAA, 9, 10, s));
}

TEST(DualStackRules, CacheHitComparesTheTwoCachedMeasurements) {
  DualStackSettings s;
  OtherFamilyEntry a{true, false, 10};
  EXPECT_TRUE(DualStackSoaOnHit(DNS_T_AAAA, 200, a, s));
  EXPECT_TRUE(DualStackSoaOnHit(DNS_T_AAAA, -1, a, s));
  EXPECT_FALSE(DualStackSoaOnHit(DNS_T_AAAA, 160, a, s));  // equal to the limit: kept
  EXPECT_FALSE(DualStackSoaOnHit(DNS_T_AAAA, 20, a, s));
  // The other family must be a measured address.
  EXPECT_FALSE(DualStackSoaOnHit(DNS_T_AAAA, 200, OtherFamilyEntry{}, s));
  EXPECT_FALSE(DualStackSoaOnHit(DNS_T_AAAA, 200, OtherFamilyEntry{true, true, 10}, s));
  EXPECT_FALSE(DualStackSoaOnHit(DNS_T_AAAA, 200, OtherFamilyEntry{true, false, -1}, s));
  // A only with forcing AAAA allowed; other types never.
  EXPECT_FALSE(DualStackSoaOnHit(DNS_T_A, 200, a, s));
  s.allow_force_aaaa = true;
  EXPECT_TRUE(DualStackSoaOnHit(DNS_T_A, 200, a, s));
  EXPECT_FALSE(DualStackSoaOnHit(DNS_T_TXT, 200, a, s));
  EXPECT_EQ(OtherFamily(DNS_T_A), DNS_T_AAAA);
  EXPECT_EQ(OtherFamily(DNS_T_AAAA), DNS_T_A);
}

class StillClock : public CacheClock {
 public:
  int64_t MonotonicMs() const override { return ms; }
  int64_t WallSeconds() const override { return 1'700'000'000 + ms / 1000; }
  int64_t ms = 1'000'000;
};

// The cache-hit rule reads the other family's entry without counting a hit on it.
TEST(DualStackCache, PeekReadsWithoutTouching) {
  zctest::TempRoot root;
  StillClock clock;
  DnsAnswerCache cache(&clock);
  CacheSettings settings;
  settings.persist = false;
  settings.serve_expired = false;
  cache.Open(settings, nullptr);
  CachedAnswer a;
  a.packet = {1, 2, 3};
  a.ttl = 60;
  a.speed = 42;
  CacheKey key{"x.test", DNS_T_A, {}, {}};
  cache.Store(key, a, CacheStoreKind::kAnswer);
  CachedAnswer seen;
  ASSERT_TRUE(cache.Peek(key, &seen));
  EXPECT_EQ(seen.speed, 42);
  EXPECT_FALSE(seen.soa);
  EXPECT_EQ(seen.ttl, 60);
  EXPECT_TRUE(seen.packet.empty());
  const CacheEntry* e = cache.table()->Peek({key.domain, key.qtype, key.group, key.client_subnet});
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->hitnum, kCacheHitnumStart);
  EXPECT_FALSE(cache.Peek({"x.test", DNS_T_AAAA, {}, {}}, &seen));
  clock.ms += 61'000;
  EXPECT_FALSE(cache.Peek(key, &seen));  // expired, and stale answers are off
  cache.Close();
}

}  // namespace
}  // namespace zc::dns
