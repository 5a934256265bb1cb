#include "core/simroot.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

namespace zsim {

std::string Root() {
  const char* env = std::getenv("ZUNCORE_ROOT");
  return env ? env : "";
}

std::string P(std::string_view routerPath) {
  std::string path = Root();
  path.append(routerPath);
  return path;
}

std::string GuardReason(const std::string& root, bool requireMarker) {
  if (root.empty()) return "ZUNCORE_ROOT is not set";
  if (root.front() != '/') return "ZUNCORE_ROOT must be absolute: " + root;
  if (root == "/") return "refusing the real root /";
  if (root.size() > kMaxRootLength) return "ZUNCORE_ROOT is longer than 96 bytes: " + root;
  if (root.back() == '/' || root.find("//") != std::string::npos ||
      root.find("/./") != std::string::npos || root.find("/../") != std::string::npos ||
      root.ends_with("/.") || root.ends_with("/..")) {
    return "ZUNCORE_ROOT must be normalised: " + root;
  }
  if (requireMarker) {
    struct stat st {};
    if (stat((root + "/sim/ROOT").c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      return "not a simulated router (no sim/ROOT marker): " + root;
    }
  }
  return {};
}

void EnforceGuard(const char* program, bool requireMarker) {
  std::string reason = GuardReason(Root(), requireMarker);
  if (reason.empty()) return;
  std::fprintf(stderr, "%s: %s\n", program, reason.c_str());
  std::_Exit(kGuardExit);
}

std::string SelfExe() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}

}  // namespace zsim
