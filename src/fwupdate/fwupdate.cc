#include "fwupdate/fwupdate.h"

#include "utils/log.h"

int StartFirmwareValidation() {
  LogOut(LL_INFO, "%s: firmware validation not built in", "StartFirmwareValidation");
  return 0;
}
