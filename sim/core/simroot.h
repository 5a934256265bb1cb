// The simulated router's root: every router path of the simulation lives under $ZUNCORE_ROOT.
#pragma once

#include <string>
#include <string_view>

namespace zsim {

// Exit status of every simulation program that refuses its root.
inline constexpr int kGuardExit = 125;
// Exit status of a network-changing tool run outside the lab's router namespace.
inline constexpr int kOutsideLabExit = 126;
// "$ROOT/dev/log" must fit the 108-byte Unix socket path.
inline constexpr size_t kMaxRootLength = 96;

// The root without trailing slash (ZUNCORE_ROOT as given; the guard ensures it is clean). Read
// on every call, so a process may move between roots (tests).
std::string Root();
// "$ROOT" + routerPath.
std::string P(std::string_view routerPath);

// Why the root is unusable, or empty when it is fine. The marker $ROOT/sim/ROOT is required
// unless requireMarker is false (zunsim init creates it).
std::string GuardReason(const std::string& root, bool requireMarker);
// Applies GuardReason to ZUNCORE_ROOT: one line on stderr and exit 125 on refusal.
void EnforceGuard(const char* program, bool requireMarker = true);

// Absolute path of the running zunsim binary.
std::string SelfExe();

}  // namespace zsim
