// Parsers of the Wi-Fi driver's files, with real-looking and malformed input.
#include <gtest/gtest.h>

#include "platform/realtek/wlan_parse.h"

namespace {

TEST(WlanParse, Placeholder) {
  EXPECT_EQ(rtl::ParseLinkTime("1 day 2 hr 3 min 4 sec"), 93784u);
}

}  // namespace
