#include "bstrap/bstrap.h"

#include "utils/log.h"

void Bootstrap() {
  LogOut(LL_INFO, "%s: provisioning not built in", "Bootstrap");
}

void BootstrapPrefetch() {
  LogOut(LL_INFO, "%s: provisioning not built in", "BootstrapPrefetch");
}

void Zuncore_idle() {
  LogOut(LL_INFO, "%s: idle state not built in", "Zuncore_idle");
}
