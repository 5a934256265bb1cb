// Router paths under one root prefix.
//
// Every router path (/tmp/..., /etc/..., /var/..., /bin/..., /proc/wlan*, /sys/class/net/...)
// goes through RootPath() so the same binary runs on the router (root "/") and on the simulated
// router (root = $ZUNCORE_ROOT). Only the process's own /proc/self and /proc/<pid> are used as is.
#pragma once

#include <string>
#include <string_view>

namespace zc {

// Absolute root without trailing slash; empty for "/".
// A copy: tests may reload the root while threads map paths.
std::string RootDir();

// Maps an absolute router path under the root: "/tmp/x" -> "$ROOT/tmp/x". Relative paths and
// paths already under the root are returned unchanged.
std::string RootPath(std::string_view routerPath);

// Re-reads ZUNCORE_ROOT (tests that change the environment).
void ReloadRootFromEnv();

// Checks the root the process runs under. The simulated-router build refuses the real root and
// any directory not prepared as a simulated router; returns an empty string when the root is
// acceptable, else the reason.
std::string CheckRootGuard();

// Applies CheckRootGuard(): on failure prints one line to stderr and exits with status 125.
void EnforceRootGuard(const char* program);

}  // namespace zc
