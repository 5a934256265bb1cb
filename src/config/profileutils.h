// The DNS profile store: per-client filtering profiles from sign-on and configuration messages.
//
// Stations live in gStationList (insertion order) as shared records guarded by ProfileLock. A
// pending DNS lookup keeps its station alive through its own shared_ptr: deleting a profile unlinks
// the record at once (a re-added profile gets a fresh one), and the detached record dies with the
// last lookup that holds it. URL patterns are compiled once, when the profile arrives.
//
// Lock order: EdgeReqMutex (filter) -> ProfileLock -> contentfilter_mutex. Pausing and playing a
// client (platform calls) run with ProfileLock released.
#pragma once

#include <regex.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "proto/messages.h"

// Validates and stores one profile (or deletes it); answers the transaction itself. 0 or -1.
int UpdateProfile(const Zun__Config__DNSPROFILE* profile);
// Removes the profiles of the listed stations. 0 or -1 (the caller answers the transaction).
int DeleteProfile(const Zun__Config__DNSPROFILEDEL* profile);

// Limits of one profile.
inline constexpr size_t kMaxUrlPatternLen = 255;
inline constexpr size_t kMaxProfileNameLen = 55;
inline constexpr size_t kMaxCategoryNameLen = 255;
inline constexpr size_t kMaxAppNameLen = 128;

// URLENTRY / APPENTRY types.
inline constexpr int kListWhite = 1;
inline constexpr int kListBlack = 2;
inline constexpr int kListDelete = 3;

// Parental-control levels: 1 "High", 2 "Medium", 3 "Low", 4 "None", 5 "Custom".
inline constexpr uint8_t kParentalNone = 4;

inline constexpr const char* kProfileDumpFile = "/tmp/profile.txt";

// A URL pattern: POSIX extended regular expression, matched ignoring case; compiled once.
class UrlPattern {
 public:
  // Null when the text does not compile.
  static std::unique_ptr<UrlPattern> Compile(const std::string& text);
  ~UrlPattern();
  UrlPattern(const UrlPattern&) = delete;
  UrlPattern& operator=(const UrlPattern&) = delete;
  bool Matches(const char* text) const;
  // Same, with the text also given in lower case (a caller matching many patterns lowers it
  // once): a pattern whose required literal is absent is rejected without running the regex.
  bool Matches(const char* text, std::string_view lowerText) const;
  // The longest literal every match must contain (lower case; empty when none is known).
  const std::string& required() const { return required_; }

 private:
  UrlPattern() = default;
  regex_t regex_{};
  bool compiled_ = false;
  std::string required_;
};

// Most nodes glibc's regcomp may build for one URL pattern: every repetition copies its operand
// ("x+" is "xx*", "x{2,5}" five copies) and stacked or nested repetitions multiply, so a short
// pattern like "a" and a hundred '+' would otherwise take all memory while it compiles.
inline constexpr size_t kMaxPatternExpandedSize = 4096;
// Most repetition symbols in a row ("x*?" passes, "x*??" does not).
inline constexpr int kMaxStackedRepetitions = 2;
// The estimate of that size, for any text (saturated just above the limit; a longer run of
// repetition symbols counts as over it).
size_t PatternExpandedSize(std::string_view pattern);

// The longest run of literal characters that any match of the extended regular expression must
// contain, lower-cased; empty when none can be told (top-level alternation, say). Conservative:
// it may be shorter than possible, never longer.
std::string RequiredLiteral(std::string_view pattern);

struct UrlFilter {
  std::string sUrlPattern;
  int type = kListBlack;
  std::shared_ptr<const UrlPattern> pattern;
};

struct CategoryItem {
  std::string name = "NA";
  uint32_t category_id = 0;
};

struct AppItem {
  std::string name;
  int type = kListBlack;
};

struct StationProfile {
  uint8_t parental_control = kParentalNone;
  bool safe_search = false;
  bool adblock = false;
  bool app_filter = false;  // set once a profile with applications arrived; never cleared
  std::string profile_name = "NA";
  std::string mac;                // lower case, colon form
  int32_t mac_filter_index = -1;  // from PauseClient; -1: not paused
  bool linked = true;             // false once removed from gStationList
  std::vector<UrlFilter> urls;
  std::vector<CategoryItem> pc_categories;
  std::vector<CategoryItem> ad_categories;
  std::vector<AppItem> apps;
};

using StationPtr = std::shared_ptr<StationProfile>;

extern std::mutex ProfileLock;
// Router-wide internet-security switch.
extern std::atomic<bool> gInternetSecurityEnabled;

// The station whose MAC equals the text ignoring case (any MAC form), or null. ProfileLock held.
StationPtr SearchStation(const std::string& mac);
// A new record with the initial values and the MAC in colon form (not linked). Null on a bad MAC.
StationPtr CreateNewStationEntry(const std::string& mac);
// Unlinks the station from gStationList (ProfileLock held). Lookups still holding it keep the
// detached record. Its pause index is handed back so the caller lifts the pause unlocked.
// 0, or -1 for none.
int RemoveStation(const StationPtr& station, int32_t* pausedIndex = nullptr);
// Type (1 white, 2 black) of the first pattern in list order that matches the domain; 0 none.
int GetUrlType(const char* domain, const std::vector<UrlFilter>& list);
// 1 when the id is in the list.
int CheckCategory(const std::vector<CategoryItem>& list, uint32_t id);
// The first app of that name (ignoring case), or null.
const AppItem* GetApp(const std::vector<AppItem>& list, const std::string& name);
// Pause / play through the platform table; the status is checked. 0 or -1.
int BlockSta(const char* mac, int32_t* index);
int AllowSta(const char* mac, int32_t* index);
// Rewrites the profile dump (a snapshot under the lock, written outside it). 0 or -1.
int DumpAllProfile();

namespace zc::profiles {
// Where transaction answers go (default: ConfigResponse). Tests capture them here.
using AnswerFn = std::function<void(const char* transid, const char* text)>;
void SetAnswerSink(AnswerFn sink);
void Answer(const char* transid, const char* text);

// The internet-security switch: the filter installs the DNS restart here (0 on success). Called
// without ProfileLock. Without one, only the flag changes.
using InternetSecuritySwitch = std::function<int(bool enabled)>;
void SetInternetSecuritySwitch(InternetSecuritySwitch fn);
int SwitchInternetSecurity(bool enabled);

// Number of linked stations.
size_t StationCount();
// Drops every station without platform calls and clears the switch (tests, process end).
void ResetForTest();
// The URL-list update of one incoming entry, applied to a station's list (exposed for tests).
// False when a new pattern could not be compiled.
bool ApplyUrlEntry(std::vector<UrlFilter>& list, const std::string& url, int type);
}  // namespace zc::profiles
