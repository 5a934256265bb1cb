#include "utils/sysguard.h"

#include <sys/reboot.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <string>

#include "utils/files.h"
#include "utils/log.h"
#include "utils/paths.h"
#include "zc_platform_build.h"  // which platform: ZUNCORE_PLATFORM_SIM or _REALTEK

// The simulated router links its own guards (sim/drv/guard_sim.cc).
#if !defined(ZUNCORE_PLATFORM_SIM)
int PlatformSetClock(const timeval* tv) {
  return settimeofday(tv, nullptr);
}

int PlatformReboot() {
  sync();
  return reboot(RB_AUTOBOOT);
}
#endif
