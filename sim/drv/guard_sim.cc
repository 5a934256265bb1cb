// The simulated router's guards for the two actions that reach beyond the agent: the clock is
// recorded and never set; a reboot reaches the kernel only inside the lab's own namespaces.
#include <sys/reboot.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "core/calls.h"
#include "core/state.h"
#include "utils/sysguard.h"

namespace {

// Inside a non-initial user namespace whose pid namespace is nested as well.
bool InsideLabNamespaces() {
  std::ifstream uidMap("/proc/self/uid_map");
  std::string first, second, count;
  if (!(uidMap >> first >> second >> count)) return false;
  bool initialUserNs = first == "0" && second == "0" && count == "4294967295";
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("NSpid:", 0) != 0) continue;
    std::istringstream fields(line.substr(6));
    int levels = 0;
    std::string pid;
    while (fields >> pid) ++levels;
    return !initialUserNs && levels > 1;
  }
  return false;
}

}  // namespace

int PlatformSetClock(const timeval* tv) {
  if (!tv) return -1;
  std::string secs = std::to_string(tv->tv_sec);
  zsim::AppendText(zsim::StatePath("clock"), "settimeofday " + secs + "\n");
  zsim::LogCall("guard", "settimeofday", zsim::JsonArray({secs}), 0);
  return 0;
}

int PlatformReboot() {
  sync();
  if (!InsideLabNamespaces()) {
    zsim::LogCall("guard", "reboot", "[\"refused\"]", -1);
    std::fprintf(stderr, "PlatformReboot: reboot refused outside the lab\n");
    errno = EPERM;
    return -1;
  }
  zsim::LogCall("guard", "reboot", "[]", 0);
  return reboot(RB_AUTOBOOT);
}
