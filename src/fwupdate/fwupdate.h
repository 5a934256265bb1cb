// Firmware: validation of the running firmware at provisioning (active mode) and cloud-assigned
// updates later (passive mode): download, image checks, dual-bank flash, acknowledged reports.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

#include "proto/messages.h"

enum FirmwareUpgradeMode : int { FW_UPGRADE_ACTIVE = 1, FW_UPGRADE_PASSIVE = 2 };

inline constexpr int64_t kFirmwareValidateTimeoutMs = 60000;
inline constexpr int64_t kFirmwareResultTimeoutMs = 10000;
// Failed downloads retried before falling back; failed active flashes retried.
inline constexpr int kFirmwareMaxDownloadRetry = 3;
inline constexpr int kFirmwareMaxUpgradeRetry = 2;
// A low-RAM reboot only after this much uptime: a router that never has enough memory must not
// reboot for ever.
inline constexpr long kLowRamRebootMinUptimeSeconds = 10 * 60;
inline constexpr std::chrono::seconds kFirmwareRebootWait{2};

// Where the provisioning flow goes when firmware validation ends without flashing.
enum class FirmwareNext {
  kSignon,    // the running firmware is the one to run: sign on
  kFallback,  // a required update could not be applied: keep the running firmware
};
// Set once at start by the flow, which owns the transitions.
void FirmwareAttach(std::function<void(FirmwareNext)> next);

extern std::atomic<int> gFirmwareUpgradeMode;
extern std::atomic<int> gMaxDownloadRetry;
extern std::atomic<int> gMaxUpgradeRetry;

// Removes the expired-bootstrap URL file and starts Firmwarevalidate on a detached thread.
// 0, or -1 when the thread cannot be started.
int Firmwarevalidate_thread();
int StartFirmwareValidation();
void Firmwarevalidate();

// A FIRMWARE configuration (passive mode): stores the assignment and starts the download when the
// version differs from the running one. The configuration itself is answered by the caller.
void FirmwarePassiveUpdate(const Zun__Config__FIRMWARE& firmware);

// Starts one download attempt; retry continues the running sequence.
void FirmwareDownload(bool retry = false);
void FirmwareDownloadResult();
void FirmwareUpgrade();
void FirmwareUpgradeModeSet();
void FirmwareUpgradeResult(int code);

// Outcome names of a flash result code ("FW_NONE", "FW_HIGH_SIZE", ...).
const char* FirmwareUpgradeErrorName(int code);
// The error code sent for a flash result (absent for success).
int FirmwareUpgradeReportedError(int code);
// Whether a low-RAM result reboots now, given the uptime in seconds.
bool LowRamRebootAllowed(long uptimeSeconds);
