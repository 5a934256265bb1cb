#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "utils/uuid.h"
#include "utils/validate.h"

namespace {

TEST(Validate, Ipv4AddressesAndMasks) {
  struct {
    const char* text;
    bool valid;
  } cases[] = {{"192.168.1.1", true}, {"256.1.1.1", false}, {"1.2.3.4x", false},
               {"0.0.0.1", true},     {"0.0.0.0", false},   {"1.+2.3.4", false},
               {" 1.2.3.4", false},   {"1.2.3.4\n", false}, {"1.2.3", false},
               {"1.2.3.4.5", false},  {"01.2.3.4", true},   {"1..2.3", false}};
  for (const auto& c : cases) EXPECT_EQ(IsValidIpAddress(c.text), c.valid) << c.text;
  EXPECT_TRUE(IsValidSubnetMask("255.255.255.0"));
  EXPECT_TRUE(IsValidSubnetMask("255.0.0.0"));
  EXPECT_TRUE(IsValidSubnetMask("1.255.0.255"));  // the bit pattern is not examined
  EXPECT_FALSE(IsValidSubnetMask("1.1.1.1"));
  EXPECT_FALSE(IsValidSubnetMask("255.255.255.256"));
  EXPECT_TRUE(is_ipv6_address("fe80::1"));
  EXPECT_FALSE(is_ipv4_address("fe80::1"));
}

TEST(Validate, MacForms) {
  EXPECT_TRUE(IsMacValid("001122334455"));
  EXPECT_TRUE(IsMacValid("00-11-22-33-44-55"));
  EXPECT_TRUE(IsMacValid("00:11-22:33-44:55"));
  EXPECT_FALSE(IsMacValid("0:11:22:33:44:55"));
  EXPECT_FALSE(IsMacValid("00:11:22:33:44"));
  EXPECT_FALSE(IsMacValid("00:00:00:00:00:00"));
  EXPECT_FALSE(IsMacValid("00:11:22:33:44:5g"));
  EXPECT_EQ(NormalizeMac("00-1A-22-33-44-55"), "00:1a:22:33:44:55");
  EXPECT_EQ(NormalizeMac("bogus"), "");
  char mac[] = "AA:BB:CC:DD:EE:FF";
  formatmac(mac);
  EXPECT_STREQ(mac, "aabbccddeeff");
  char up[] = "ab1c";
  strtoupper(up);
  EXPECT_STREQ(up, "AB1C");
  strtoupper(nullptr);
}

TEST(Uuid, DistinctAndWellFormedWithinOneSecond) {
  std::set<std::string> seen;
  std::regex form("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");
  for (int i = 0; i < 1000; ++i) {
    std::string id = GetUUID();
    ASSERT_TRUE(std::regex_match(id, form)) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

}  // namespace
