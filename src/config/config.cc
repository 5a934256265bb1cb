#include "config/config.h"

#include "utils/log.h"

int ConfigInit(event_base*) {
  LogOut(LL_INFO, "%s: configuration intake not built in", "ConfigInit");
  return 0;
}
