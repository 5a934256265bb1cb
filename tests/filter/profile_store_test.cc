// The profile store: validation answers, MAC forms, URL list updates, pause/play through the
// platform table, deletion while a lookup holds the station, the dump.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <utility>
#include <vector>

#include "config/profileutils.h"
#include "filter/profile_builder.h"
#include "platform/device_ops.h"
#include "support/temp_root.h"

namespace {

struct PlatformCall {
  std::string op;
  std::string mac;
  int32_t index;
};
std::vector<PlatformCall> gCalls;
bool gPauseFails = false;

int FakePause(const char* mac, int32_t* index) {
  if (gPauseFails) return -1;
  *index = static_cast<int32_t>(gCalls.size()) + 7;
  gCalls.push_back({"pause", mac, *index});
  return 0;
}

int FakePlay(const char* mac, int32_t index) {
  gCalls.push_back({"play", mac, index});
  return 0;
}

class ProfileStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zctest::InstallQuietStationOps();
    zc::profiles::ResetForTest();
    gCalls.clear();
    gPauseFails = false;
    RouterDeviceOps.PauseClient = FakePause;
    RouterDeviceOps.PlayClient = FakePlay;
    zc::profiles::SetAnswerSink(
        [this](const char* transid, const char* text) { answers.emplace_back(transid, text); });
  }
  void TearDown() override {
    zc::profiles::SetAnswerSink(nullptr);
    zc::profiles::ResetForTest();
  }
  std::string LastAnswer() const { return answers.empty() ? "" : answers.back().second; }
  StationPtr Find(const std::string& mac) {
    std::lock_guard lock(ProfileLock);
    return SearchStation(mac);
  }

  zctest::TempRoot root;
  std::vector<std::pair<std::string, std::string>> answers;
};

TEST_F(ProfileStoreTest, RefusedProfilesChangeNothing) {
  zctest::ProfileBuilder twoMacs;
  twoMacs.Mac("02:00:00:00:00:01").Mac("02:00:00:00:zz:01").Url("ads\\.test", kListBlack);
  EXPECT_EQ(UpdateProfile(twoMacs.Build()), -1);
  EXPECT_EQ(LastAnswer(), "INVALID MAC");
  EXPECT_EQ(zc::profiles::StationCount(), 0u);

  zctest::ProfileBuilder level;
  level.Mac("02:00:00:00:00:01").Parental(6);
  EXPECT_EQ(UpdateProfile(level.Build()), -1);
  EXPECT_EQ(LastAnswer(), "INVALID parental control value");

  // A pause flag without the pause itself: refused, not dereferenced.
  zctest::ProfileBuilder noPause;
  noPause.Mac("02:00:00:00:00:01").Pause(1, false);
  EXPECT_EQ(UpdateProfile(noPause.Build()), -1);
  EXPECT_EQ(LastAnswer(), "INVALID pause/play state");
  zctest::ProfileBuilder badAction;
  badAction.Mac("02:00:00:00:00:01").Pause(2);
  EXPECT_EQ(UpdateProfile(badAction.Build()), -1);
  EXPECT_EQ(LastAnswer(), "INVALID pause/play state");

  // Patterns that do not compile or exceed 255 characters are refused at once.
  zctest::ProfileBuilder badRegex;
  badRegex.Mac("02:00:00:00:00:01").Url("good\\.test", kListBlack).Url("(unclosed", kListBlack);
  EXPECT_EQ(UpdateProfile(badRegex.Build()), -1);
  EXPECT_EQ(LastAnswer(), "Invalid url[1] name: (unclosed type: INVALID");
  zctest::ProfileBuilder longUrl;
  longUrl.Mac("02:00:00:00:00:01").Url(std::string(256, 'a'), kListBlack);
  EXPECT_EQ(UpdateProfile(longUrl.Build()), -1);
  zctest::ProfileBuilder blank;
  blank.Mac("02:00:00:00:00:01").Url(" x", kListWhite);
  EXPECT_EQ(UpdateProfile(blank.Build()), -1);
  EXPECT_EQ(LastAnswer(), "Invalid url[0] name:  x type: INVALID");
  EXPECT_EQ(zc::profiles::StationCount(), 0u);
}

TEST_F(ProfileStoreTest, EveryMacFormIsStoredInColonForm) {
  zctest::ProfileBuilder dash;
  dash.Mac("02-00-00-00-00-0A").Url("ads\\.test", kListBlack);
  ASSERT_EQ(UpdateProfile(dash.Build()), 0);
  EXPECT_EQ(LastAnswer(), "NA");
  zctest::ProfileBuilder compact;
  compact.Mac("02000000000B").SafeSearch(true);
  ASSERT_EQ(UpdateProfile(compact.Build()), 0);
  StationPtr a = Find("02:00:00:00:00:0a");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->mac, "02:00:00:00:00:0a");
  EXPECT_EQ(GetUrlType("ADS.test", a->urls), kListBlack);  // matched ignoring case
  StationPtr b = Find("02:00:00:00:00:0B");
  ASSERT_TRUE(b);
  EXPECT_TRUE(b->safe_search);
  EXPECT_EQ(zc::profiles::StationCount(), 2u);
}

TEST_F(ProfileStoreTest, UrlAndAppListsUpdateInPlace) {
  zctest::ProfileBuilder first;
  first.Mac("02:00:00:00:00:01")
      .Url("ads\\.test", kListBlack)
      .Url("ads\\.example", kListBlack)
      .Url("ignored", kListDelete)
      .App("Game", kListBlack);
  ASSERT_EQ(UpdateProfile(first.Build()), 0);
  zctest::ProfileBuilder second;
  // A delete entry removes every pattern beginning with its text; a new pattern is appended
  // even when an earlier entry of the message matched something.
  second.Mac("02:00:00:00:00:01")
      .Url("ads\\.t", kListDelete)
      .Url("ads\\.example", kListWhite)
      .Url("news\\.test", kListBlack)
      .App("GAME", kListWhite)
      .App("Chat", kListBlack);
  ASSERT_EQ(UpdateProfile(second.Build()), 0);
  StationPtr s = Find("02:00:00:00:00:01");
  ASSERT_TRUE(s);
  ASSERT_EQ(s->urls.size(), 2u);
  EXPECT_EQ(s->urls[0].sUrlPattern, "ads\\.example");
  EXPECT_EQ(s->urls[0].type, kListWhite);
  EXPECT_EQ(s->urls[1].sUrlPattern, "news\\.test");
  EXPECT_EQ(GetUrlType("www.news.test", s->urls), kListBlack);
  EXPECT_EQ(GetUrlType("ads.test", s->urls), 0);
  ASSERT_EQ(s->apps.size(), 2u);
  EXPECT_EQ(s->apps[0].type, kListWhite);
  EXPECT_TRUE(s->app_filter);
  ASSERT_TRUE(GetApp(s->apps, "chat"));
}

// The literal prefilter never changes a verdict: every pattern gives the same answer with and
// without it, over names that contain, almost contain and miss the literal.
TEST(UrlPatternPrefilter, AgreesWithTheRegex) {
  EXPECT_EQ(RequiredLiteral("(^|\\.)ads\\.test$"), "ads.test");
  EXPECT_EQ(RequiredLiteral("Ads\\.Example"), "ads.example");
  EXPECT_EQ(RequiredLiteral("a|b"), "");
  EXPECT_EQ(RequiredLiteral("abc?d"), "ab");
  EXPECT_EQ(RequiredLiteral("x[.|]yz+w"), "yz");
  // Found by fuzzing: "x+*" is "(x+)*", which matches without any x.
  EXPECT_EQ(RequiredLiteral("x+*$"), "");
  EXPECT_EQ(RequiredLiteral("ab+?c"), "a");
  EXPECT_EQ(RequiredLiteral("ab+{0}c"), "a");
  EXPECT_EQ(RequiredLiteral("ab)c"), "ab");  // the unmatched ')' is a literal in between
  const char* patterns[] = {"ads\\.test", "(^|\\.)ads\\.test$",
                            "^www\\.",    "a|b.test",
                            "abc?d",      "x[.|]yz+w",
                            "ab{2}c",     "(ab)*cd",
                            "\\bads",     "[[:alpha:]]+\\.test",
                            "te(s|x)t",   "o\\.?k",
                            "[]a]bc",     "news.*\\.test",
                            "c(a(b)c)d$", "AdS",
                            "x+*$",       "ab+?c",
                            "ab)cd"};
  const char* names[] = {
      "ads.test", "www.ads.test", "xads.test", "ads.tes",    "a.test", "abd",          "abcd",
      "x.yzzw",   "x|yzw",        "abbc",      "abc",        "ababcd", "cd",           "ok",
      "o.k",      "abc.test",     "]bc",       "newsx.test", "cabcd",  "WWW.ADS.TEST", "text.test",
      "b.test",   "acd",          "xadsx",     "aabc?",      "ac",     "ab)cd",        "abcd)"};
  for (const char* p : patterns) {
    auto pattern = UrlPattern::Compile(p);
    ASSERT_TRUE(pattern) << p;
    for (const char* n : names) {
      std::string lower = n;
      for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      EXPECT_EQ(pattern->Matches(n), pattern->Matches(n, lower)) << p << " on " << n;
    }
  }
}

// Found by fuzzing: glibc builds "x+" as "xx*", so a short pattern with stacked or nested
// repetitions takes all memory while it compiles. Such a pattern is refused with its answer.
TEST_F(ProfileStoreTest, PatternsThatRepeatTooMuchAreRefusedBeforeTheyCompile) {
  EXPECT_FALSE(UrlPattern::Compile("ads" + std::string(100, '+')));
  EXPECT_FALSE(UrlPattern::Compile("((a{200}){200}){200}"));
  EXPECT_GT(PatternExpandedSize("(a+)+(b+)+(c+)+(d+)+(e+)+(f+)+(g+)+(h+)+(i+)+(j+)+(k+)+"), 64u);
  EXPECT_TRUE(UrlPattern::Compile("^([a-z0-9-]{1,63}\\.)*ads\\.test$"));
  EXPECT_TRUE(UrlPattern::Compile("a{0,100}b+c*(d|e)?"));
  // A run of repetition symbols makes the compiler's closures explode (seconds for 180 bytes).
  EXPECT_FALSE(UrlPattern::Compile("x*" + std::string(60, '?') + "+" + std::string(60, '?')));
  EXPECT_TRUE(UrlPattern::Compile("ads.*?\\.test"));  // the lazy form some write stays accepted
  EXPECT_LT(PatternExpandedSize("ads\\.test"), 16u);

  zctest::ProfileBuilder costly;
  costly.Mac("02:00:00:00:00:01").Url("x" + std::string(60, '+') + "\\.test", kListBlack);
  EXPECT_EQ(UpdateProfile(costly.Build()), -1);
  EXPECT_EQ(LastAnswer().rfind("Invalid url[0]", 0), 0u) << LastAnswer();
  EXPECT_EQ(zc::profiles::StationCount(), 0u);
}

TEST_F(ProfileStoreTest, CategoriesFollowLevelAndAdblock) {
  zctest::ProfileBuilder none;
  none.Mac("02:00:00:00:00:01").Parental(4).Category(11, "adult");
  ASSERT_EQ(UpdateProfile(none.Build()), 0);
  StationPtr s = Find("02:00:00:00:00:01");
  EXPECT_EQ(s->parental_control, 4);
  EXPECT_TRUE(s->pc_categories.empty());

  zctest::ProfileBuilder both;
  both.Mac("02:00:00:00:00:01").Parental(2).Adblock(true).Category(11).Category(12, "ads");
  ASSERT_EQ(UpdateProfile(both.Build()), 0);
  EXPECT_EQ(s->pc_categories.size(), 2u);
  EXPECT_EQ(s->ad_categories.size(), 2u);
  EXPECT_EQ(CheckCategory(s->ad_categories, 12), 1);
  EXPECT_EQ(s->pc_categories[0].name, "NA");
}

TEST_F(ProfileStoreTest, PausePlayAreIdempotentAndChecked) {
  zctest::ProfileBuilder pause;
  pause.Mac("02-00-00-00-00-01").Pause(1);
  ASSERT_EQ(UpdateProfile(pause.Build()), 0);
  ASSERT_EQ(UpdateProfile(pause.Build()), 0);  // already paused: no second call
  ASSERT_EQ(gCalls.size(), 1u);
  EXPECT_EQ(gCalls[0].op, "pause");
  EXPECT_EQ(gCalls[0].mac, "02:00:00:00:00:01");  // the platform gets the colon form
  EXPECT_EQ(Find("02:00:00:00:00:01")->mac_filter_index, 7);

  zctest::ProfileBuilder play;
  play.Mac("02:00:00:00:00:01").Pause(0);
  ASSERT_EQ(UpdateProfile(play.Build()), 0);
  ASSERT_EQ(UpdateProfile(play.Build()), 0);
  ASSERT_EQ(gCalls.size(), 2u);
  EXPECT_EQ(gCalls[1].op, "play");
  EXPECT_EQ(gCalls[1].index, 7);
  EXPECT_EQ(Find("02:00:00:00:00:01")->mac_filter_index, -1);

  // A failing platform call is reported as a failure, never answered "NA".
  gPauseFails = true;
  EXPECT_EQ(UpdateProfile(pause.Build()), -1);
  EXPECT_EQ(LastAnswer(), "Unable to pause the station");
  EXPECT_EQ(Find("02:00:00:00:00:01")->mac_filter_index, -1);
}

TEST_F(ProfileStoreTest, DeletedStationIsDetachedAndReAddedFresh) {
  zctest::ProfileBuilder add;
  add.Mac("02:00:00:00:00:01").Url("old\\.test", kListBlack).Pause(1);
  ASSERT_EQ(UpdateProfile(add.Build()), 0);
  StationPtr held = Find("02:00:00:00:00:01");  // what a pending lookup keeps
  ASSERT_TRUE(held);

  std::string transid = "d-1";
  char* macs[] = {const_cast<char*>("02-00-00-00-00-01")};
  auto del = zc::pb::Make<Zun__Config__DNSPROFILEDEL>();
  del.transid = transid.data();
  del.n_client_mac = 1;
  del.client_mac = macs;
  EXPECT_EQ(DeleteProfile(&del), 0);
  EXPECT_EQ(DeleteProfile(&del), 0);  // second delete: nothing left to drop
  EXPECT_FALSE(Find("02:00:00:00:00:01"));
  EXPECT_FALSE(held->linked);
  ASSERT_EQ(gCalls.size(), 2u);  // the pause was lifted once
  EXPECT_EQ(gCalls[1].op, "play");

  zctest::ProfileBuilder readd;
  readd.Mac("02:00:00:00:00:01").Url("new\\.test", kListBlack);
  ASSERT_EQ(UpdateProfile(readd.Build()), 0);
  StationPtr fresh = Find("02:00:00:00:00:01");
  ASSERT_TRUE(fresh);
  EXPECT_NE(fresh, held);
  held.reset();  // the lookup ends: the detached record goes, the new one stays
  EXPECT_EQ(GetUrlType("new.test", fresh->urls), kListBlack);
  EXPECT_EQ(GetUrlType("old.test", fresh->urls), 0);

  // A delete naming something that is not a MAC removes nothing.
  char* mixed[] = {const_cast<char*>("02:00:00:00:00:01"), const_cast<char*>("not-a-mac")};
  del.n_client_mac = 2;
  del.client_mac = mixed;
  EXPECT_EQ(DeleteProfile(&del), -1);
  EXPECT_TRUE(Find("02:00:00:00:00:01"));

  zctest::ProfileBuilder isDelete;
  isDelete.Mac("02:00:00:00:00:01").Mac("02:00:00:00:00:99").Delete();
  EXPECT_EQ(UpdateProfile(isDelete.Build()), 0);
  EXPECT_EQ(zc::profiles::StationCount(), 0u);
}

TEST_F(ProfileStoreTest, InternetSecuritySwitchRunsOnlyOnChange) {
  std::vector<bool> switched;
  int result = 0;
  zc::profiles::SetInternetSecuritySwitch([&](bool on) {
    switched.push_back(on);
    return result;
  });
  zctest::ProfileBuilder on;
  on.InternetSec(true);
  ASSERT_EQ(UpdateProfile(on.Build()), 0);
  ASSERT_EQ(UpdateProfile(on.Build()), 0);  // same value: no restart
  EXPECT_EQ(switched.size(), 1u);
  EXPECT_TRUE(gInternetSecurityEnabled);
  result = -1;
  zctest::ProfileBuilder off;
  off.InternetSec(false);
  EXPECT_EQ(UpdateProfile(off.Build()), -1);
  EXPECT_TRUE(gInternetSecurityEnabled);  // a failed restart leaves the switch as it was
  zc::profiles::SetInternetSecuritySwitch(nullptr);
}

TEST_F(ProfileStoreTest, DumpListsStationsAndPauses) {
  zctest::ProfileBuilder add;
  add.Mac("02:00:00:00:00:01").Url("ads\\.test", kListBlack).Parental(1).Category(3).Pause(1);
  ASSERT_EQ(UpdateProfile(add.Build()), 0);
  std::string dump = root.Read(kProfileDumpFile);
  EXPECT_NE(dump.find("Global Internet_Sec is Disabled"), std::string::npos);
  EXPECT_NE(dump.find("[Mac-Filter - 1] Sta : 02:00:00:00:00:01 is PAUSED MacFilterIndex : 7"),
            std::string::npos);
  EXPECT_NE(dump.find("{Prtl_ctl: 1} {Prtl_ctl_mode: High}"), std::string::npos);
  EXPECT_NE(dump.find("{PcFilter No:1  ID[3    ]:NA}"), std::string::npos);
}

}  // namespace
