#include "utils/paths.h"
#include "zc_platform_build.h"  // which platform: ZUNCORE_PLATFORM_SIM or _REALTEK

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace zc {
namespace {

constexpr size_t kMaxRootLength = 96;  // "$ROOT/dev/log" must fit a Unix socket path.

std::mutex gRootMutex;
std::string gRoot;
bool gRootLoaded = false;

std::string RootFromEnv() {
  const char* env = std::getenv("ZUNCORE_ROOT");
  std::string root = env ? env : "/";
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (root == "/") root.clear();
  return root;
}

// The root, loaded on first use. Callers hold gRootMutex: a reload (tests) may replace it.
const std::string& LoadedRoot() {
  if (!gRootLoaded) {
    gRoot = RootFromEnv();
    gRootLoaded = true;
  }
  return gRoot;
}

}  // namespace

std::string RootDir() {
  std::lock_guard lock(gRootMutex);
  return LoadedRoot();
}

void ReloadRootFromEnv() {
  std::lock_guard lock(gRootMutex);
  gRoot = RootFromEnv();
  gRootLoaded = true;
}

std::string RootPath(std::string_view routerPath) {
  std::lock_guard lock(gRootMutex);
  const std::string& root = LoadedRoot();
  if (root.empty() || routerPath.empty() || routerPath.front() != '/') {
    return std::string(routerPath);
  }
  if (routerPath.substr(0, root.size()) == root &&
      (routerPath.size() == root.size() || routerPath[root.size()] == '/')) {
    return std::string(routerPath);
  }
  std::string mapped;
  mapped.reserve(root.size() + routerPath.size());
  mapped.append(root).append(routerPath);
  return mapped;
}

std::string CheckRootGuard() {
#if defined(ZUNCORE_PLATFORM_SIM)
  const char* env = std::getenv("ZUNCORE_ROOT");
  if (!env || !*env) return "ZUNCORE_ROOT is not set (the simulated router needs its own root)";
  std::string root = env;
  if (root.front() != '/') return "ZUNCORE_ROOT must be absolute: " + root;
  if (root == "/") return "refusing to run on the real root /";
  if (root.size() > kMaxRootLength) return "ZUNCORE_ROOT is longer than 96 bytes: " + root;
  if (root.back() == '/' || root.find("//") != std::string::npos ||
      root.find("/./") != std::string::npos || root.find("/../") != std::string::npos ||
      root.ends_with("/.") || root.ends_with("/..")) {
    return "ZUNCORE_ROOT must be normalised: " + root;
  }
  struct stat st {};
  if (stat((root + "/sim/ROOT").c_str(), &st) != 0) {
    return "ZUNCORE_ROOT is not a simulated router (no sim/ROOT marker): " + root;
  }
  const char* path = std::getenv("PATH");
  std::string bin = root + "/bin";
  if (!path || std::string_view(path).substr(0, bin.size()) != bin ||
      (path[bin.size()] != ':' && path[bin.size()] != '\0')) {
    return "PATH must begin with " + bin;
  }
#endif
  return {};
}

void EnforceRootGuard(const char* program) {
  std::string reason = CheckRootGuard();
  if (reason.empty()) return;
  std::fprintf(stderr, "%s: %s\n", program, reason.c_str());
  std::_Exit(125);
}

}  // namespace zc
