#include "config/config.h"

#include "utils/log.h"

int ConfigInit(event_base*) {
  LogOut(LL_INFO, "%s: configuration intake not built in", "ConfigInit");
  return 0;
}

void ConfigResponse(const char* transid, const char* text) {
  LogOut(LL_INFO, "%s: configuration intake not built in (%s: %s)", "ConfigResponse",
         transid ? transid : "", text ? text : "");
}

int ConfigNatsPublish(const void*, size_t, const char* subject) {
  LogOut(LL_INFO, "%s: configuration intake not built in (%s)", "ConfigNatsPublish",
         subject ? subject : "");
  return -1;
}

void StationReInitOnProfileChange(std::string mac) {
  LogOut(LL_INFO, "%s: configuration intake not built in (%s)", "StationReInitOnProfileChange",
         mac.c_str());
}
