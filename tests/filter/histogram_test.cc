#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "dns/filter/dns_histogram.h"

namespace {

using zc::histogram::BucketOf;

TEST(DnsHistogram, BucketsClampBothEnds) {
  EXPECT_EQ(BucketOf(-5), 0u);
  EXPECT_EQ(BucketOf(0), 0u);
  EXPECT_EQ(BucketOf(10), 0u);
  EXPECT_EQ(BucketOf(11), 1u);
  EXPECT_EQ(BucketOf(20), 1u);
  EXPECT_EQ(BucketOf(21), 2u);
  EXPECT_EQ(BucketOf(100), 9u);
  EXPECT_EQ(BucketOf(101), 10u);
  EXPECT_EQ(BucketOf(int64_t{1} << 40), 10u);
}

TEST(DnsHistogram, ConcurrentSamplesAreAllCounted) {
  zc::histogram::Histogram h;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&h] {
      for (int i = 0; i < 10000; ++i) h.Add(i % 120);
    });
  }
  for (auto& t : threads) t.join();
  uint64_t total = 0;
  for (uint32_t c : h.Snapshot()) total += c;
  EXPECT_EQ(total, 40000u);
  // Publishing does not reset: the same numbers twice.
  EXPECT_EQ(zc::histogram::DumpLine("EdgeHistoGram", h.Snapshot()),
            zc::histogram::DumpLine("EdgeHistoGram", h.Snapshot()));
  h.Clear();
  EXPECT_EQ(
      zc::histogram::DumpLine("DohHistogram", h.Snapshot()),
      "DohHistogram --> 10c:0 20c:0 30c:0 40c:0 50c:0 60c:0 70c:0 80c:0 90c:0 100c:0 >100c:0");
}

}  // namespace
