// DNSPROFILE and DNSPROFILE_DEL: validation (nothing changes on a refused profile), the answer,
// then the changes to the station records. Platform calls (pause, play, the DNS restart of the
// internet-security switch) run with ProfileLock released.
#include <strings.h>
#include <sys/types.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "config/config.h"
#include "config/profileutils.h"
#include "utils/log.h"
#include "utils/validate.h"

namespace zc::profiles {
void LinkStation(const StationPtr& station);
}  // namespace zc::profiles

namespace {

const char* UrlTypeName(int type) {
  switch (type) {
    case kListWhite:
      return "WHITE";
    case kListBlack:
      return "BLACK";
    case kListDelete:
      return "DELETE";
    default:
      return "INVALID";
  }
}

bool IsBool(protobuf_c_boolean value) {
  return value == 0 || value == 1;
}

std::string Cut(const char* text, size_t max) {
  std::string s = text ? text : "";
  if (s.size() > max) s.resize(max);
  return s;
}

// The first failing check's answer text, or empty when the profile is valid. *macs gets the
// normalised MACs.
std::string Validate(const Zun__Config__DNSPROFILE& p, std::vector<std::string>* macs) {
  for (size_t i = 0; i < p.n_client_mac; ++i) {
    std::string mac = NormalizeMac(p.client_mac[i] ? p.client_mac[i] : "");
    if (mac.empty()) {
      LogOut(LL_ERR, "{ValidateProfile: !!!Invalid MAC[%zu] : %s}", i,
             p.client_mac[i] ? p.client_mac[i] : "");
      return "INVALID MAC";
    }
    macs->push_back(mac);
  }
  if (p.has_parental_control && (p.parental_control < 1 || p.parental_control > 5)) {
    LogOut(LL_ERR, "INVALID parental control value: %d", p.parental_control);
    return "INVALID parental control value";
  }
  if (p.has_safe_search && !IsBool(p.safe_search)) {
    LogOut(LL_ERR, "INVALID safe_search value: %d", p.safe_search);
    return "INVALID safe_search value";
  }
  if (p.has_internet_sec && !IsBool(p.internet_sec)) {
    LogOut(LL_ERR, "INVAILD internet_sec value: %d", p.internet_sec);
    return "INVALID internet_sec value";
  }
  if (p.has_adblock && !IsBool(p.adblock)) {
    LogOut(LL_ERR, "INVAILD adblock value: %d", p.adblock);
    return "INVALID adblock value";
  }
  if (p.has_is_guest && !IsBool(p.is_guest)) {
    LogOut(LL_ERR, "INVALID is_guest value: %d", p.is_guest);
    return "INVALID is_guest value";
  }
  if (p.has_is_delete && !IsBool(p.is_delete)) {
    LogOut(LL_ERR, "INVALID is_delete value: %d", p.is_delete);
    return "INVALID is_delete value";
  }
  // A pause flag without the pause itself has no action to apply.
  if (p.has_scheduled_pause &&
      (!p.scheduled_pause || (p.scheduled_pause->action != 0 && p.scheduled_pause->action != 1))) {
    LogOut(LL_ERR, "Pause/Play state : INVALID");
    return "INVALID pause/play state";
  }
  for (size_t i = 0; i < p.n_urlentry; ++i) {
    const Zun__Config__URLENTRY* e = p.urlentry[i];
    const char* url = e && e->url ? e->url : "";
    int type = e ? e->type : 0;
    bool ok = url[0] != '\0' && url[0] != ' ' && url[0] != '\t' && type >= kListWhite &&
              type <= kListDelete && std::string(url).size() <= kMaxUrlPatternLen;
    // Patterns that are to be matched must compile; a delete entry is a plain prefix.
    if (ok && type != kListDelete && !UrlPattern::Compile(url)) ok = false;
    if (!ok) {
      char text[400];
      snprintf(text, sizeof text, "Invalid url[%zu] name: %.300s type: %s", i, url, "INVALID");
      LogOut(LL_ERR, "%s", text);
      return text;
    }
  }
  return {};
}

void DumpMessage(const Zun__Config__DNSPROFILE& p) {
  LogOut(LL_INFO, "   DUMPING PROFILE - START   ");
  LogOut(LL_INFO, " Profile Name                    : %s", p.profile_name ? p.profile_name : "NA");
  LogOut(LL_INFO, " Number of client's              : %zd", static_cast<ssize_t>(p.n_client_mac));
  for (size_t i = 0; i < p.n_client_mac; ++i) {
    LogOut(LL_INFO, " Client MAC[%-3zu]                 : %s", i, p.client_mac[i]);
  }
  if (p.has_parental_control) {
    LogOut(LL_INFO, " Parental control                : %d", p.parental_control);
  }
  if (p.has_safe_search) {
    LogOut(LL_INFO, " Safe search                     : %d (%s)", p.safe_search,
           p.safe_search ? "ENABLED" : "DISABLED");
  }
  if (p.has_adblock) {
    LogOut(LL_INFO, " Ad block                        : %d (%s)", p.adblock,
           p.adblock ? "ENABLED" : "DISABLED");
  }
  if (p.has_internet_sec) {
    LogOut(LL_INFO, " Internet security               : %d (%s)", p.internet_sec,
           p.internet_sec ? "ENABLED" : "DISABLED");
  }
  for (size_t i = 0; i < p.n_urlentry; ++i) {
    LogOut(LL_INFO, " url                             : %s", p.urlentry[i]->url);
    LogOut(LL_INFO, " url Type                        : %s", UrlTypeName(p.urlentry[i]->type));
  }
  for (size_t i = 0; i < p.n_appentry; ++i) {
    LogOut(LL_INFO, " App_Type[%-3hi]                   : %d (%s)", static_cast<short>(i),
           p.appentry[i]->type,
           p.appentry[i]->type == kListWhite ? "WHITELIST_APP" : "BLACKLIST_APP");
  }
  LogOut(LL_INFO, "   DUMPING PROFILE - END    \n");
}

void UpdateApps(StationProfile& s, const Zun__Config__DNSPROFILE& p) {
  s.app_filter = true;
  for (size_t i = 0; i < p.n_appentry; ++i) {
    const Zun__Config__APPENTRY* e = p.appentry[i];
    std::string name = Cut(e->app_name, kMaxAppNameLen);
    bool matched = false;
    for (auto it = s.apps.begin(); it != s.apps.end();) {
      if (strcasecmp(it->name.c_str(), name.c_str()) != 0) {
        ++it;
        continue;
      }
      matched = true;
      if (e->type == kListDelete) {
        LogOut(LL_INFO, "app to be [DEL] %s", it->name.c_str());
        it = s.apps.erase(it);
        continue;
      }
      if (e->type == kListWhite || e->type == kListBlack) {
        it->type = e->type;
        LogOut(LL_INFO, "app Update [%s] listed %s", e->type == kListBlack ? "BLACK" : "WHITE",
               it->name.c_str());
      }
      ++it;
    }
    if (!matched && (e->type == kListWhite || e->type == kListBlack)) {
      s.apps.push_back(AppItem{name, e->type});
      LogOut(LL_INFO, "AddApplication: app_name : %s, type : %d", name.c_str(), e->type);
    }
  }
}

std::vector<CategoryItem> Categories(const Zun__Config__DNSPROFILE& p) {
  std::vector<CategoryItem> out;
  for (size_t i = 0; i < p.n_category_entry; ++i) {
    const Zun__Config__CATEGORYENTRY* e = p.category_entry[i];
    CategoryItem item;
    item.category_id = static_cast<uint32_t>(e->category_id);
    if (e->category_name && e->category_name[0])
      item.name = Cut(e->category_name, kMaxCategoryNameLen);
    LogOut(LL_INFO, "add_category : category_id : %d, category name : %s", e->category_id,
           item.name.c_str());
    out.push_back(std::move(item));
  }
  return out;
}

// Lifts the pause of removed stations (ProfileLock released).
void PlayRemoved(const std::vector<std::pair<std::string, int32_t>>& paused) {
  for (auto [mac, index] : paused) {
    if (index >= 0 && AllowSta(mac.c_str(), &index) != 0) {
      LogOut(LL_ERR, "UpdateProfile: Unable to play the station :%s", mac.c_str());
    }
  }
}

// Applies the scheduled pause of one station (ProfileLock released).
int ApplyPause(const StationPtr& station, int action) {
  static std::mutex pauseMutex;  // one pause/play at a time; taken before ProfileLock
  std::lock_guard pauseLock(pauseMutex);
  int32_t index;
  {
    std::lock_guard lock(ProfileLock);
    index = station->mac_filter_index;
  }
  if (action == 1 && index < 0) {
    if (BlockSta(station->mac.c_str(), &index) != 0) {
      LogOut(LL_ERR, "UpdateProfile: Unable to pause the station :%s", station->mac.c_str());
      return -1;
    }
  } else if (action == 0 && index >= 0) {
    if (AllowSta(station->mac.c_str(), &index) != 0) {
      LogOut(LL_ERR, "UpdateProfile: Unable to play the station :%s", station->mac.c_str());
      return -1;
    }
  } else {
    return 0;
  }
  bool deleted;
  {
    std::lock_guard lock(ProfileLock);
    deleted = !station->linked;
    if (!deleted) station->mac_filter_index = index;
  }
  // Deleted meanwhile: a deleted station is never left paused.
  if (deleted && index >= 0) AllowSta(station->mac.c_str(), &index);
  return 0;
}

int RemoveListed(const std::vector<std::string>& macs, const char* profileName, bool fromDelete) {
  std::vector<std::pair<std::string, int32_t>> paused;
  int result = 0;
  {
    std::lock_guard lock(ProfileLock);
    for (const std::string& mac : macs) {
      StationPtr s = SearchStation(mac);
      if (!s) continue;
      int32_t index = -1;
      if (RemoveStation(s, &index) != 0) {
        LogOut(LL_ERR, "DeleteProfile: Unable to remove the station from the list");
        result = -1;
        continue;
      }
      if (fromDelete) {
        LogOut(LL_INFO, "DeleteProfile: Delete STA :%s from Profile :%s", mac.c_str(),
               profileName ? profileName : "NA");
      }
      if (index >= 0) paused.emplace_back(mac, index);
    }
  }
  PlayRemoved(paused);
  return result;
}

std::string Apply(const Zun__Config__DNSPROFILE& p, const std::vector<std::string>& macs);

}  // namespace

int UpdateProfile(const Zun__Config__DNSPROFILE* profile) {
  if (!profile) return -1;
  const Zun__Config__DNSPROFILE& p = *profile;
  const char* transid = p.transid ? p.transid : "";
  std::vector<std::string> macs;
  std::string refused = Validate(p, &macs);
  if (!refused.empty()) {
    zc::profiles::Answer(transid, refused.c_str());
    LogOut(LL_ERR, "%s: profile validation failed", "UpdateProfile");
    return -1;
  }
  DumpMessage(p);
  // Answered once the profile is applied, so a failure is reported as one.
  std::string failure = Apply(p, macs);
  zc::profiles::Answer(transid, failure.empty() ? "NA" : failure.c_str());
  DumpAllProfile();
  return failure.empty() ? 0 : -1;
}

namespace {

std::string Apply(const Zun__Config__DNSPROFILE& p, const std::vector<std::string>& macs) {
  if (p.has_is_delete && p.is_delete) {
    RemoveListed(macs, p.profile_name, false);
    for (const std::string& mac : macs) StationReInitOnProfileChange(mac);
    return {};
  }

  if (macs.empty()) {
    if (p.has_internet_sec && static_cast<bool>(p.internet_sec) != gInternetSecurityEnabled) {
      // The DNS restart runs without ProfileLock: the engine's filter path takes it.
      if (zc::profiles::SwitchInternetSecurity(p.internet_sec) != 0) {
        LogOut(LL_ERR, "UpdateProfile: DnsServerInit failed");
        return "DnsServerInit failed";
      }
      gInternetSecurityEnabled = p.internet_sec;
    }
    return {};
  }

  std::vector<CategoryItem> categories = Categories(p);
  for (const std::string& mac : macs) {
    StationPtr station;
    bool reinit = false;
    {
      std::lock_guard lock(ProfileLock);
      station = SearchStation(mac);
      if (!station) {
        station = CreateNewStationEntry(mac);
        if (!station) continue;
        zc::profiles::LinkStation(station);
      }
      StationProfile& s = *station;
      if (p.profile_name) s.profile_name = Cut(p.profile_name, kMaxProfileNameLen);
      if (p.has_safe_search) s.safe_search = p.safe_search;
      for (size_t i = 0; i < p.n_urlentry; ++i) {
        // Validation compiled every pattern already; a failure here is out of memory.
        if (!zc::profiles::ApplyUrlEntry(s.urls, p.urlentry[i]->url, p.urlentry[i]->type)) {
          LogOut(LL_ERR, "AddUrl: Unable to allocate the memory for new url");
        }
      }
      if (p.n_appentry > 0) UpdateApps(s, p);
      if (p.has_parental_control) {
        s.pc_categories.clear();
        s.parental_control = static_cast<uint8_t>(p.parental_control);
        if (s.parental_control != kParentalNone) s.pc_categories = categories;
        reinit = true;
      }
      if (p.has_adblock) {
        s.ad_categories.clear();
        s.adblock = p.adblock;
        if (s.adblock) s.ad_categories = categories;
      }
    }
    if (reinit) StationReInitOnProfileChange(mac);
    if (p.has_scheduled_pause && ApplyPause(station, p.scheduled_pause->action) != 0) {
      return p.scheduled_pause->action == 1 ? "Unable to pause the station"
                                            : "Unable to play the station";
    }
  }
  return {};
}

}  // namespace

int DeleteProfile(const Zun__Config__DNSPROFILEDEL* profile) {
  if (!profile) return -1;
  LogOut(LL_INFO, "DeleteProfile: delete profile config\n{TransID : %s}\n{No. of MAC list : %zd}",
         profile->transid ? profile->transid : "", static_cast<ssize_t>(profile->n_client_mac));
  std::vector<std::string> macs;
  for (size_t i = 0; i < profile->n_client_mac; ++i) {
    std::string mac = NormalizeMac(profile->client_mac[i] ? profile->client_mac[i] : "");
    if (mac.empty()) {
      // Nothing is removed when any MAC is not one: the caller answers "InvaildConfig".
      LogOut(LL_ERR, "DeleteProfile: invalid MAC %s",
             profile->client_mac[i] ? profile->client_mac[i] : "");
      return -1;
    }
    macs.push_back(mac);
  }
  int result = RemoveListed(macs, profile->profile_name, true);
  for (const std::string& mac : macs) StationReInitOnProfileChange(mac);
  DumpAllProfile();
  return result;
}
