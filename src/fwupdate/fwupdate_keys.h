// Settings-store keys of the firmware flow. Key headers name keys and nothing else, so any module
// may include them.
#pragma once

// The assigned update. Firmware validation (active) or a FIRMWARE configuration (passive) writes
// them; the download, the image check and the reports read them.
inline constexpr const char* kKeyFirmwareUrl = "firmware.url";
inline constexpr const char* kKeyFirmwareVersion = "firmware.version";
inline constexpr const char* kKeyFirmwareChecksumType = "firmware.checksumType";
inline constexpr const char* kKeyFirmwareChecksum = "firmware.checksum";
inline constexpr const char* kKeyFirmwarePreserveConfig = "firmware.preserveExistingConfig";
// "<transid>.<mac>" of the assignment. Written with the assignment; the reports read it.
inline constexpr const char* kKeyFirmwareCtrltran = "firmware.ctrltran";
// Subject of the firmware reports. Firmware validation writes; the reports read.
inline constexpr const char* kKeyFirmwareResultSubject = "firmware.resultsubject";
// "true"/"false": validation asked for an update. Firmware validation writes; diagnostics read.
inline constexpr const char* kKeyUpgradeAllowed = "upgradeAllowed";
// Outcome names of the last download and flash. The firmware flow writes and reads them.
inline constexpr const char* kKeyFwDownloadErrorCode = "fw_download_error_code";
inline constexpr const char* kKeyFwUpgradeErrorCode = "fw_upgrade_error_code";
