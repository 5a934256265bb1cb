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

#if defined(ZUNCORE_PLATFORM_SIM)
namespace {

// Inside a non-initial user namespace whose pid namespace is nested as well.
bool InsideLabNamespaces() {
  std::ifstream uidMap("/proc/self/uid_map");
  std::string first, second, count;
  if (!(uidMap >> first >> second >> count)) return false;
  bool initialUserNs = first == "0" && second == "0" && count == "4294967295";
  std::ifstream status("/proc/self/status");
  std::string line;
  int pidLevels = 0;
  while (std::getline(status, line)) {
    if (line.rfind("NSpid:", 0) == 0) {
      for (size_t i = 6; i < line.size(); ++i) {
        if (line[i] != ' ' && line[i] != '\t' &&
            (i == 6 || line[i - 1] == ' ' || line[i - 1] == '\t')) {
          ++pidLevels;
        }
      }
    }
  }
  return !initialUserNs && pidLevels > 1;
}

void RecordSim(const std::string& file, const std::string& line) {
  std::string path = zc::RootPath(file);
  zc::MakeParentDirs(path);
  zc::AppendLine(path, line);
}

}  // namespace

int PlatformSetClock(const timeval* tv) {
  if (!tv) return -1;
  RecordSim("/sim/state/clock", "settimeofday " + std::to_string(tv->tv_sec));
  return 0;
}

int PlatformReboot() {
  sync();
  if (!InsideLabNamespaces()) {
    RecordSim("/sim/log/calls.log", "0 0 " + std::to_string(getpid()) + " guard reboot refused");
    LogOut(LL_ERR, "%s: reboot refused outside the lab", "PlatformReboot");
    errno = EPERM;
    return -1;
  }
  return reboot(RB_AUTOBOOT);
}
#else
int PlatformSetClock(const timeval* tv) {
  return settimeofday(tv, nullptr);
}

int PlatformReboot() {
  sync();
  return reboot(RB_AUTOBOOT);
}
#endif
