#include <gtest/gtest.h>

#include "bstrap/bootconfig.h"
#include "bstrap/bstrap.h"
#include "support/temp_root.h"

namespace {

TEST(BootConfig, ValueIsTheWholeRestOfTheLineOfItsOwnKey) {
  std::string text =
      "logicalLocation=a.subscriberId.b\n"
      "subscriberId=S\n"
      "connectionInfo.url=nats://h:4222?a=b=c\n"
      "connectionInfo.urlx=other\n";
  EXPECT_EQ(*BootConfigValue(text, "subscriberId"), "S");
  EXPECT_EQ(*BootConfigValue(text, "connectionInfo.url"), "nats://h:4222?a=b=c");
  EXPECT_EQ(*BootConfigValue(text, "logicalLocation"), "a.subscriberId.b");
  EXPECT_FALSE(BootConfigValue(text, "connectionInfo"));
  EXPECT_FALSE(BootConfigValue(text, "connectionInfo.u.l"));
  EXPECT_FALSE(BootConfigValueAcceptable("x\nprovisioningCode=MNGD.AGNT.PROV"));
  EXPECT_FALSE(BootConfigValueAcceptable("x\r"));
  EXPECT_TRUE(BootConfigValueAcceptable("a b $(c) = d"));
}

TEST(BootConfig, RewritingOneKeyLeavesEveryOtherLineIntact) {
  zctest::TempRoot root;
  std::string before =
      "provisioningCode=MNGD.AGNT.PROV\n"
      "logicalLocation=dll.1\n"
      "subscriberId=S\n";
  root.Write("/etc/config/zunbootconfig", before);
  ASSERT_EQ(UpdateBootConfigValue("provisioningCode", "X"), 0);
  EXPECT_EQ(root.Read("/etc/config/zunbootconfig"),
            "provisioningCode=X\nlogicalLocation=dll.1\nsubscriberId=S\n");
  ASSERT_EQ(UpdateBootConfigValue("provisioningCode", "MNGD.AGNT.PROV.LONG"), 0);
  EXPECT_EQ(root.Read("/etc/config/zunbootconfig"),
            "provisioningCode=MNGD.AGNT.PROV.LONG\nlogicalLocation=dll.1\nsubscriberId=S\n");
  EXPECT_EQ(UpdateBootConfigValue("provisioningCode", "a\nb"), -1);
  EXPECT_EQ(BootConfigWithValue("a=1", "b", "2"), "a=1\nb=2\n");
}

TEST(Bootstrap, BackoffDoublesWithJitter) {
  EXPECT_EQ(BootstrapBackoffSeconds(0, 0), 1);
  EXPECT_EQ(BootstrapBackoffSeconds(10, 9), 1033);
}

// An answer is refused whole, before anything is written: line breaks anywhere, and management
// server values the flash would refuse or cut when the answer migrates or creates the WAN.
TEST(BootConfig, AnswersThatCannotBeAppliedWholeAreRefusedNamingTheKey) {
  auto answer = [](const std::string& extra) {
    auto v = BootstrapAnswerValues(R"({"provisioningCode": "MNGD.AGNT.PROV", "wanConnection": )"
                                   R"("Migration", "cwmpConfig": {"acsUrl": "http://acs", )"
                                   R"("username": "u", "password": "p"})" +
                                   extra + "}");
    EXPECT_TRUE(v);
    return *v;
  };
  EXPECT_FALSE(BootstrapAnswerRefusal(answer("")));
  EXPECT_EQ(BootstrapAnswerRefusal(answer(R"(, "subscriberId": "a\nprovisioningCode=X")")),
            "value of subscriberId holds a line break");
  auto v = answer("");
  v[14] = "p\tq";  // cwmpConfig.password
  EXPECT_EQ(BootstrapAnswerRefusal(v), "value of cwmpConfig.password holds a control character");
  v = answer("");
  v[14] = "a\rb";
  EXPECT_EQ(BootstrapAnswerRefusal(v), "value of cwmpConfig.password holds a line break");
  v = answer("");
  v[12] = "http://" + std::string(4096, 'u');
  EXPECT_EQ(BootstrapAnswerRefusal(v), "value of cwmpConfig.acsUrl is longer than 255 bytes");
  v[12] = std::string(255, 'u');
  EXPECT_FALSE(BootstrapAnswerRefusal(v));
  // Without a migration the management server values are only stored, never flashed.
  v = answer("");
  v[11] = std::nullopt;
  v[14] = "p\tq";
  EXPECT_FALSE(BootstrapAnswerRefusal(v));
}

}  // namespace
