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

// Inside the lab: a non-initial user namespace (a process there has no power over the host) and
// a pid namespace whose init is the router's launcher, so reboot(2) ends only that namespace.
bool InsideLabNamespaces() {
  std::ifstream uidMap("/proc/self/uid_map");
  std::string first, second, count;
  if (!(uidMap >> first >> second >> count)) return false;
  if (first == "0" && second == "0" && count == "4294967295") return false;
  std::ifstream comm("/proc/1/comm");
  std::string init;
  return std::getline(comm, init) && init == "zunlauncher";
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
  // Recorded, so tests see that the file systems were synced before the reboot was asked for.
  zsim::LogCall("guard", "sync", "[]", 0);
  if (!InsideLabNamespaces()) {
    zsim::LogCall("guard", "reboot", "[\"refused\"]", -1);
    std::fprintf(stderr, "PlatformReboot: reboot refused outside the lab\n");
    errno = EPERM;
    return -1;
  }
  zsim::LogCall("guard", "reboot", "[]", 0);
  return reboot(RB_AUTOBOOT);
}
