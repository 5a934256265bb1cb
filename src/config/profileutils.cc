#include "config/profileutils.h"

#include "utils/log.h"

int UpdateProfile(const Zun__Config__DNSPROFILE* profile) {
  LogOut(LL_INFO, "%s: profile store not built in (transid %s)", "UpdateProfile",
         profile && profile->transid ? profile->transid : "");
  return 0;
}

int DeleteProfile(const Zun__Config__DNSPROFILEDEL* profile) {
  LogOut(LL_INFO, "%s: profile store not built in (transid %s)", "DeleteProfile",
         profile && profile->transid ? profile->transid : "");
  return 0;
}
