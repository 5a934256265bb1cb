// The station records, their lookups, pause/play and the profile dump. The update and delete
// messages are applied in profile_update.cc.
#include "config/profileutils.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>

#include "config/config.h"
#include "platform/device_ops.h"
#include "utils/files.h"
#include "utils/log.h"
#include "utils/paths.h"
#include "utils/validate.h"

std::mutex ProfileLock;
std::atomic<bool> gInternetSecurityEnabled{false};

namespace {

std::vector<StationPtr> gStationList;  // guarded by ProfileLock

std::mutex gHooksMutex;
zc::profiles::AnswerFn gAnswerSink;
zc::profiles::InternetSecuritySwitch gSecuritySwitch;

const char* LevelName(int level) {
  switch (level) {
    case 1:
      return "High";
    case 2:
      return "Medium";
    case 3:
      return "Low";
    case 4:
      return "None";
    case 5:
      return "Custom";
    default:
      return "INVALID";
  }
}

const char* Enabled(bool on) {
  return on ? "Enabled" : "Disabled";
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

}  // namespace

std::unique_ptr<UrlPattern> UrlPattern::Compile(const std::string& text) {
  if (PatternExpandedSize(text) > kMaxPatternExpandedSize) {
    LogOut(LL_ERR, "UrlPattern: %.64s repeats too much to compile", text.c_str());
    return nullptr;
  }
  std::unique_ptr<UrlPattern> p(new UrlPattern());
  if (regcomp(&p->regex_, text.c_str(), REG_EXTENDED | REG_ICASE | REG_NOSUB) != 0) return nullptr;
  p->compiled_ = true;
  p->required_ = RequiredLiteral(text);
  return p;
}

namespace {

// Index of the ']' that closes the bracket expression opening at re[open] (or the end).
size_t BracketEnd(std::string_view re, size_t open) {
  size_t j = open + 1;
  if (j < re.size() && re[j] == '^') ++j;
  if (j < re.size() && re[j] == ']') ++j;  // a leading ']' is a member
  while (j < re.size() && re[j] != ']') {
    if (re[j] == '[' && j + 1 < re.size() &&
        (re[j + 1] == ':' || re[j + 1] == '.' || re[j + 1] == '=')) {
      size_t close = re.find(std::string{re[j + 1], ']'}, j + 2);
      j = close == std::string_view::npos ? re.size() : close + 2;
    } else {
      ++j;
    }
  }
  return j;
}

// Size of the expression tree of [i, end of group), saturated just above the limit.
size_t ExpandedSize(std::string_view re, size_t& i, int depth) {
  static constexpr size_t kCap = kMaxPatternExpandedSize + 1;
  auto add = [](size_t a, size_t b) { return std::min(kCap, a + b); };
  auto mul = [](size_t a, size_t b) {
    return b != 0 && a > kCap / b ? kCap : std::min(kCap, a * b);
  };
  size_t total = 0;
  size_t last = 0;      // the operand a repetition applies to
  int repetitions = 0;  // repetition symbols in a row
  while (i < re.size()) {
    char c = re[i];
    bool repetition = c == '*' || c == '?' || c == '+' || c == '{';
    repetitions = repetition ? repetitions + 1 : 0;
    // "x*?" and "x+?" are written by habit; longer runs only make the compiler's closures
    // explode (a run of '?' and '+' after one character takes seconds).
    if (repetitions > kMaxStackedRepetitions) return kCap;
    if (c == ')' && depth > 0) {
      ++i;
      break;
    }
    if (c == '(') {
      ++i;
      last = add(ExpandedSize(re, i, depth + 1), 1);
    } else if (c == '[') {
      i = BracketEnd(re, i) + 1;
      last = 1;
    } else if (c == '\\') {
      i += 2;
      last = 1;
    } else if (repetition) {
      size_t copies = c == '+' ? 2 : 1;  // "x+" is built as "xx*"
      ++i;
      if (c == '{') {
        size_t low = 0, high = 0;
        bool comma = false;
        for (; i < re.size() && re[i] != '}'; ++i) {
          if (re[i] == ',') {
            comma = true;
          } else if (std::isdigit(static_cast<unsigned char>(re[i]))) {
            size_t& n = comma ? high : low;
            n = std::min(kCap, n * 10 + static_cast<size_t>(re[i] - '0'));
          }
        }
        ++i;
        copies = std::max<size_t>({low, high, 1}) + (comma && high == 0 ? 1 : 0);
      }
      total = add(total, mul(last, copies - 1));
      last = mul(last, copies);
      continue;
    } else {
      ++i;
      last = 1;
    }
    total = add(total, last);
  }
  return total;
}

}  // namespace

size_t PatternExpandedSize(std::string_view re) {
  size_t i = 0;
  size_t total = 0;
  while (i < re.size()) {  // a ')' without its '(' ends a group at depth 0: go on after it
    total = std::min(kMaxPatternExpandedSize + 1, total + ExpandedSize(re, i, 0));
    if (i < re.size() && re[i] == ')') ++i;
  }
  return total;
}

std::string RequiredLiteral(std::string_view re) {
  // Walks the top level only: groups and bracket expressions end a run, a quantifier takes the
  // character before it out of the run, any top-level '|' means nothing is required.
  std::string best, run;
  auto endRun = [&] {
    if (run.size() > best.size()) best = run;
    run.clear();
  };
  int depth = 0;
  for (size_t i = 0; i < re.size(); ++i) {
    char c = re[i];
    if (c == '[') {
      endRun();
      i = BracketEnd(re, i);
      continue;
    }
    if (c == '\\') {
      bool literal = i + 1 < re.size() && !std::isalnum(static_cast<unsigned char>(re[i + 1]));
      if (depth == 0 && literal) {
        run.push_back(re[i + 1]);
      } else if (depth == 0) {
        endRun();  // \w, \b, \1 and the like are not literals
      }
      ++i;
      continue;
    }
    if (c == '(') {
      endRun();
      ++depth;
      continue;
    }
    if (c == ')') {
      endRun();  // a ')' without its '(' is a literal between the two runs
      if (depth > 0) --depth;
      continue;
    }
    if (depth > 0) continue;
    switch (c) {
      case '|':
        return {};
      case '*':
      case '?':
      case '{':
        if (!run.empty()) run.pop_back();
        endRun();
        if (c == '{') {
          size_t close = re.find('}', i);
          if (close != std::string_view::npos) i = close;
        }
        break;
      case '+':
        // "x+*", "x+?", "x+{0,1}": a quantifier after the '+' makes the character optional.
        if (i + 1 < re.size() && (re[i + 1] == '*' || re[i + 1] == '?' || re[i + 1] == '{') &&
            !run.empty()) {
          run.pop_back();
        }
        endRun();
        break;
      case '.':
      case '^':
      case '$':
        endRun();
        break;
      default:
        run.push_back(c);
    }
  }
  endRun();
  if (depth != 0) return {};
  for (char& ch : best) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return best;
}

bool UrlPattern::Matches(const char* text, std::string_view lowerText) const {
  if (!required_.empty() && lowerText.find(required_) == std::string_view::npos) return false;
  return Matches(text);
}

UrlPattern::~UrlPattern() {
  if (compiled_) regfree(&regex_);
}

bool UrlPattern::Matches(const char* text) const {
  return regexec(&regex_, text, 0, nullptr, 0) == 0;
}

StationPtr SearchStation(const std::string& mac) {
  std::string wanted = NormalizeMac(mac.c_str());
  if (wanted.empty()) return nullptr;
  for (const StationPtr& station : gStationList) {
    if (station->mac == wanted) return station;
  }
  return nullptr;
}

StationPtr CreateNewStationEntry(const std::string& mac) {
  std::string canonical = NormalizeMac(mac.c_str());
  if (canonical.empty()) {
    LogOut(LL_ERR, "CreateNewStationEntry: invalid MAC %s", mac.c_str());
    return nullptr;
  }
  auto station = std::make_shared<StationProfile>();
  station->mac = canonical;
  return station;
}

namespace zc::profiles {
// Links a new station (ProfileLock held).
void LinkStation(const StationPtr& station) {
  gStationList.push_back(station);
}
}  // namespace zc::profiles

int RemoveStation(const StationPtr& station, int32_t* pausedIndex) {
  if (!station) {
    LogOut(LL_ERR, "RemoveStation: station profile is NULL");
    return -1;
  }
  auto it = std::find(gStationList.begin(), gStationList.end(), station);
  if (it != gStationList.end()) gStationList.erase(it);
  station->linked = false;
  // The list's own reference is gone; what remains are the caller's and pending lookups'.
  LogOut(LL_DEBUG, "RemoveStation : reference count :%ld", station.use_count() - 1);
  if (pausedIndex) *pausedIndex = station->mac_filter_index;
  station->mac_filter_index = -1;
  LogOut(LL_INFO, "RemoveStation: sta successfully released");
  return 0;
}

int GetUrlType(const char* domain, const std::vector<UrlFilter>& list) {
  if (!domain) return 0;
  std::string lower = domain;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const UrlFilter& f : list) {
    bool match = f.pattern && f.pattern->Matches(domain, lower);
    LogOut(LL_DEBUG, "pUrlPtr->sUrlPattern :%s, req_url  : %s match_found :%d",
           f.sUrlPattern.c_str(), domain, match ? 1 : 0);
    if (match) return f.type;
  }
  return 0;
}

int CheckCategory(const std::vector<CategoryItem>& list, uint32_t id) {
  for (const CategoryItem& item : list) {
    LogOut(LL_DEBUG, "list_category_id : %u, category_id_resp : %u", item.category_id, id);
    if (item.category_id == id) return 1;
  }
  return 0;
}

const AppItem* GetApp(const std::vector<AppItem>& list, const std::string& name) {
  for (const AppItem& app : list) {
    if (strcasecmp(app.name.c_str(), name.c_str()) == 0) return &app;
  }
  return nullptr;
}

int BlockSta(const char* mac, int32_t* index) {
  int32_t got = -1;
  if (!RouterDeviceOps.PauseClient || RouterDeviceOps.PauseClient(mac, &got) != 0 || got < 0) {
    LogOut(LL_ERR, "BlockSta: Unable to block the station");
    return -1;
  }
  *index = got;
  return 0;
}

int AllowSta(const char* mac, int32_t* index) {
  if (!RouterDeviceOps.PlayClient || RouterDeviceOps.PlayClient(mac, *index) != 0) {
    LogOut(LL_ERR, "AllowSta: Unable to unblock the station");
    return -1;
  }
  *index = -1;
  return 0;
}

int DumpAllProfile() {
  std::vector<std::string> lines;
  {
    std::lock_guard lock(ProfileLock);
    lines.push_back(
        Format("Global Internet_Sec is %s\n", gInternetSecurityEnabled ? "Enabled" : "Disabled"));
    int n = 0;
    for (const StationPtr& s : gStationList) {
      if (s->mac_filter_index < 0) continue;
      lines.push_back(Format("[Mac-Filter - %d] Sta : %s is PAUSED MacFilterIndex : %d\n", ++n,
                             s->mac.c_str(), s->mac_filter_index));
    }
    n = 0;
    for (const StationPtr& s : gStationList) {
      lines.push_back("\n");
      lines.push_back(Format(
          "{MAC[%-3hi]  : %s} {Prtl_ctl: %d} {Prtl_ctl_mode: %s} {SafeSearch: %s} {Adblock: %s} "
          "{Appblock: %s}  {ProfileName: %s}\n",
          static_cast<short>(++n), s->mac.c_str(), s->parental_control,
          LevelName(s->parental_control), Enabled(s->safe_search), Enabled(s->adblock),
          Enabled(s->app_filter), s->profile_name.c_str()));
      int i = 0;
      for (const UrlFilter& u : s->urls) {
        lines.push_back(Format("{SiteFilter url-index : %d  url-name[%-30s]  Flag : %s}\n", ++i,
                               u.sUrlPattern.c_str(), u.type == kListWhite ? "White" : "Black"));
      }
      i = 0;
      for (const CategoryItem& c : s->pc_categories) {
        lines.push_back(
            Format("{PcFilter No:%-2d ID[%-5u]:%s}\n", ++i, c.category_id, c.name.c_str()));
      }
      i = 0;
      for (const CategoryItem& c : s->ad_categories) {
        lines.push_back(
            Format("{AdFilter No:%-2d ID[%-5u]:%s}\n", ++i, c.category_id, c.name.c_str()));
      }
      i = 0;
      for (const AppItem& a : s->apps) {
        lines.push_back(Format("{AppFilter app-index : %d app-name : %-20s type : %s}\n", ++i,
                               a.name.c_str(),
                               a.type == kListWhite ? "Whitelist_app" : "Blacklist_app"));
      }
    }
  }
  std::string text;
  for (const std::string& line : lines) {
    text += line;
    LogOut(LL_INFO, "%s", line.c_str());
  }
  LogOut(LL_INFO, "Dump end profile config ");
  if (zc::WriteFileAtomic(zc::RootPath(kProfileDumpFile), text) != 0) {
    LogOut(LL_ERR, "DumpAllProfile: profile fopen Error!");
    return -1;
  }
  return 0;
}

namespace zc::profiles {

void SetAnswerSink(AnswerFn sink) {
  std::lock_guard lock(gHooksMutex);
  gAnswerSink = std::move(sink);
}

void Answer(const char* transid, const char* text) {
  AnswerFn sink;
  {
    std::lock_guard lock(gHooksMutex);
    sink = gAnswerSink;
  }
  if (sink) {
    sink(transid, text);
  } else {
    ConfigResponse(transid, text);
  }
}

void SetInternetSecuritySwitch(InternetSecuritySwitch fn) {
  std::lock_guard lock(gHooksMutex);
  gSecuritySwitch = std::move(fn);
}

int SwitchInternetSecurity(bool enabled) {
  InternetSecuritySwitch fn;
  {
    std::lock_guard lock(gHooksMutex);
    fn = gSecuritySwitch;
  }
  return fn ? fn(enabled) : 0;
}

size_t StationCount() {
  std::lock_guard lock(ProfileLock);
  return gStationList.size();
}

void ResetForTest() {
  std::lock_guard lock(ProfileLock);
  for (const StationPtr& s : gStationList) s->linked = false;
  gStationList.clear();
  gInternetSecurityEnabled = false;
}

bool ApplyUrlEntry(std::vector<UrlFilter>& list, const std::string& url, int type) {
  bool matched = false;
  for (auto it = list.begin(); it != list.end();) {
    if (it->sUrlPattern.compare(0, url.size(), url) != 0) {
      ++it;
      continue;
    }
    matched = true;
    if (type == kListDelete) {
      LogOut(LL_INFO, "website to be [DEL] %s", it->sUrlPattern.c_str());
      it = list.erase(it);
      continue;
    }
    it->type = type;
    LogOut(LL_INFO, "website Update [%s] listed %s", type == kListBlack ? "BLACK" : "WHITE",
           it->sUrlPattern.c_str());
    ++it;
  }
  if (matched || (type != kListWhite && type != kListBlack)) return true;
  std::shared_ptr<const UrlPattern> pattern = UrlPattern::Compile(url);
  if (!pattern) return false;
  list.push_back(UrlFilter{url, type, std::move(pattern)});
  LogOut(LL_INFO, "website New [%s] listed %s", type == kListBlack ? "BLACK" : "WHITE",
         url.c_str());
  return true;
}

}  // namespace zc::profiles
