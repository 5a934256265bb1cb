// Settings-store keys the configuration intake reads or writes (named by their owners: sign-on,
// bootstrap, identity), plus the one key it owns and the router files of its commands.
#pragma once

#include "bstrap/bstrap_keys.h"
#include "signon/signon_keys.h"
#include "utils/identity_keys.h"

namespace configkeys {

inline constexpr const char* kDeviceMac = kKeyDeviceMacAddr;
inline constexpr const char* kRunningFirmware = kKeyRunningFirmware;
inline constexpr const char* kLogicalLocation = kKeyLogicalLocation;
inline constexpr const char* kSuspendedSubject = kKeyConnectionSuspendedSubject;
inline constexpr const char* kSubscriberId = kKeySubscriberId;
inline constexpr const char* kProvisioningCode = kKeyProvisioningCode;

// Subscribe lists, in the order the intake subscribes them.
inline constexpr const char* kDebugCliList = kKeySubDebugCli;
inline constexpr const char* kCommandGroupList = kKeySubCommandGroup;
inline constexpr const char* kStableFirmwareList = kKeySubStableFirmware;
inline constexpr const char* kImmediateFirmwareList = kKeySubImmediateFirmware;
inline constexpr const char* kDebugFirmwareList = kKeySubDebugFirmware;
inline constexpr const char* kBetaFirmwareList = kKeySubBetaFirmware;

inline constexpr const char* kConfigResponseSubject = kKeyPubConfigResponse;
inline constexpr const char* kPingSubject = kKeyPubPingIp;
inline constexpr const char* kTraceSubject = kKeyPubTraceRoute;

// Transaction of the running speed test. The SPEED_TEST command writes; the speed test reads.
inline constexpr const char* kSpeedTransactionId = "speedtransactionid";

}  // namespace configkeys

// Router files of the intake and its commands.
inline constexpr const char* kConfigScriptFile = "/tmp/config.sh";
inline constexpr const char* kConfigBackupFile = "/tmp/zuncore.xml";
inline constexpr const char* kWlanOnOffFile = "/proc/wlan_onoff";
