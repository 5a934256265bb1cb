// Process-wide flags shared across threads and modules. All atomic: polling loops must see a
// change, and check-then-set sequences use compare_exchange.
#pragma once

#include <atomic>
#include <cstdint>

// Messaging submodule steps completed by the main timer (message, command, edge); 3 = all.
extern std::atomic<int> gZunCoreInitStatus;
// Set once the main timer has seen all three steps; sign-on waits on it.
extern std::atomic<bool> ZunModuleInitDone;
// Sign-on asked for one connection for messages and commands.
extern std::atomic<bool> gUseSingleNats;
// The agent runs under the launcher (always).
extern std::atomic<bool> bIsLauncher;
// A firmware download/flash is in progress; claimed with TryClaimFirmwareProgress.
extern std::atomic<bool> FW_PROGRESS;
// Wall-clock second at which FW_PROGRESS was claimed (bounds the watchdog suspension).
extern std::atomic<int64_t> gFwProgressSince;
// A reboot has been requested.
extern std::atomic<bool> REBOOT_FLAG;
// The edge (reputation) connection is usable.
extern std::atomic<bool> g_isEdgeActive;
// The agent is in the idle recovery state (entered once, never left by this process).
extern std::atomic<bool> gIdleState;
// Pending bootstrap retries (HTTP 500 back-off); the health check is suspended while > 0.
extern std::atomic<int> gBootstrapFailureCount;

// Claims the firmware flag; false when another flow holds it.
bool TryClaimFirmwareProgress();
void ReleaseFirmwareProgress();
