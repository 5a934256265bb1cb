// Process-wide flags shared across threads and modules. All atomic: polling loops must see a
// change, and check-then-set sequences use compare_exchange.
#pragma once

#include <atomic>
#include <cstdint>

// Messaging submodule steps completed (message, command, edge); 3 = all. Written by the main
// timer; read by the main timer.
extern std::atomic<int> gZunCoreInitStatus;
// Every connection is up. Written by the main timer; read by sign-on (profiles), the event and
// journal threads, and the publishers choosing a connection.
extern std::atomic<bool> ZunModuleInitDone;
// One connection for messages and commands. Written by sign-on; read by the main timer.
extern std::atomic<bool> gUseSingleNats;
// The agent runs under the launcher (always). Written by main; read by firmware validation.
extern std::atomic<bool> bIsLauncher;
// A firmware download/flash is in progress. Claimed and released by the firmware flow; read by
// the health report.
extern std::atomic<bool> FW_PROGRESS;
// Wall-clock second at which FW_PROGRESS was claimed. Written with the claim; read by the health
// report (bounds its suspension).
extern std::atomic<int64_t> gFwProgressSince;
// A reboot has been requested. Written and read by the firmware flow.
extern std::atomic<bool> REBOOT_FLAG;
// The idle recovery state (entered once, never left by this process). Written by the idle step;
// read by the main timer and the provisioning flow.
extern std::atomic<bool> gIdleState;
// Pending bootstrap retries (HTTP 500 back-off). Written by bootstrap; read by the health report
// (suspended while > 0).
extern std::atomic<int> gBootstrapFailureCount;

// Claims the firmware flag; false when another flow holds it.
bool TryClaimFirmwareProgress();
void ReleaseFirmwareProgress();
