// The safe-search table: bounded parsing and probing, the service filter, case and "www.".
#include <gtest/gtest.h>

#include <string>

#include "dns/filter/safesearchhash.h"
#include "support/temp_root.h"

namespace {

using zc::safesearch::Table;

TEST(SafeSearchTable, BoundedLoadAndSearch) {
  std::string text;
  for (int i = 0; i < 301; ++i) {
    text += "2001:db8::1 192.0.2.1 host" + std::to_string(i) + ".test\n";
  }
  auto table = Table::Parse(text);
  EXPECT_EQ(table->size(), 300u);
  EXPECT_EQ(table->refused(), 1u);
  // Every slot is taken: a missing name must still end the search.
  EXPECT_EQ(table->Find("missing.test"), nullptr);
  ASSERT_NE(table->Find("host299.test"), nullptr);
  EXPECT_EQ(table->Find("host300.test"), nullptr);
}

TEST(SafeSearchTable, MalformedLinesAreSkipped) {
  std::string longName(55, 'a');
  auto table = Table::Parse(
      "2001:db8::1 192.0.2.1\n"  // two fields
      "2001:db8::1 192.0.2.1 " +
      longName +
      "\n"                                    // name too long
      "2001:db8::1 300.0.2.1 bad4.test\n"     // bad IPv4
      "not-an-address 192.0.2.1 bad6.test\n"  // bad IPv6
      "\n" +
      std::string("2001:db8::3 192.0.2.3\0junk nul.test\n", 36) +  // a NUL inside a field
      "2001:db8::2 192.0.2.2 Good.Test\n");
  EXPECT_EQ(table->size(), 1u);
  const zc::safesearch::Entry* e = table->Find("GOOD.test");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->ipv4, "192.0.2.2");
  EXPECT_EQ(e->ipv6, "2001:db8::2");
}

TEST(SafeSearchTable, CollidingNamesAreBothFound) {
  // "ab" and "ba" have the same byte sum, so the same slot.
  ASSERT_EQ(zc::safesearch::SlotOf("ab"), zc::safesearch::SlotOf("ba"));
  auto table = Table::Parse("::1 192.0.2.1 ab\n::2 192.0.2.2 ba\n");
  ASSERT_NE(table->Find("ab"), nullptr);
  ASSERT_NE(table->Find("ba"), nullptr);
  EXPECT_EQ(table->Find("ba")->ipv4, "192.0.2.2");
}

TEST(SafeSearchTable, QueryFilterAndNameForms) {
  zctest::TempRoot root;
  root.Write(kSafeUrlFile,
             "2001:db8::1 192.0.2.1 www.google.com\n"
             "2001:db8::3 192.0.2.3 duckduckgo.com\n"
             "2001:db8::5 192.0.2.5 m.youtube.com\n"
             "2001:db8::9 192.0.2.9 example.com\n");
  ASSERT_EQ(CreateSafeSearchHashTable(), 0);
  EXPECT_EQ(GetSafeSearchIpv4Addr("www.google.com").value_or(""), "192.0.2.1");
  EXPECT_EQ(GetSafeSearchIpv4Addr("WWW.Google.COM").value_or(""), "192.0.2.1");
  EXPECT_EQ(GetSafeSearchIpv6Addr("www.google.com").value_or(""), "2001:db8::1");
  EXPECT_EQ(GetSafeSearchIpv4Addr("http://www.google.com").value_or(""), "192.0.2.1");
  // The exact name first, then without a leading "www.".
  EXPECT_EQ(GetSafeSearchIpv4Addr("www.duckduckgo.com").value_or(""), "192.0.2.3");
  EXPECT_EQ(GetSafeSearchIpv4Addr("m.youtube.com").value_or(""), "192.0.2.5");
  EXPECT_FALSE(GetSafeSearchIpv4Addr("www"));
  EXPECT_FALSE(GetSafeSearchIpv4Addr(""));
  EXPECT_FALSE(GetSafeSearchIpv4Addr(nullptr));
  // Listed, but not a search service: never answered.
  EXPECT_FALSE(GetSafeSearchIpv4Addr("example.com"));
  root.Write(kSafeUrlFile, "");
  ASSERT_EQ(CreateSafeSearchHashTable(), 0);
  EXPECT_FALSE(GetSafeSearchIpv4Addr("www.google.com"));
}

}  // namespace
