// Settings-store keys and router files the configuration intake reads or writes.
#pragma once

namespace configkeys {

// Identity and the subjects sign-on (or the idle state) left for the command connection.
inline constexpr const char* kDeviceMac = "device_mac_addr";
inline constexpr const char* kLogicalLocation = "logicalLocation";
inline constexpr const char* kSuspendedSubject = "connectionInfo.subscriptionSuspendedSubject";
inline constexpr const char* kDebugCliList = "nats.subscribeSubject.debugCLI";
inline constexpr const char* kCommandGroupList = "nats.subscribeSubject.commandGroup";
inline constexpr const char* kStableFirmwareList = "nats.subscribeSubject.stableFirmware";
inline constexpr const char* kImmediateFirmwareList = "nats.subscribeSubject.immediateFirmware";
inline constexpr const char* kDebugFirmwareList = "nats.subscribeSubject.debugFirmware";
inline constexpr const char* kBetaFirmwareList = "nats.subscribeSubject.betaFirmware";

inline constexpr const char* kConfigResponseSubject = "nats.publishSubject.configResponse";
inline constexpr const char* kPingSubject = "nats.publishSubject.pingIP";
inline constexpr const char* kTraceSubject = "nats.publishSubject.traceRoute";

inline constexpr const char* kRunningFirmware = "running_firmware";
inline constexpr const char* kSubscriberId = "subscriberId";
inline constexpr const char* kProvisioningCode = "provisioningCode";
inline constexpr const char* kSpeedTransactionId = "speedtransactionid";

}  // namespace configkeys

// Router files of the intake and its commands.
inline constexpr const char* kConfigScriptFile = "/tmp/config.sh";
inline constexpr const char* kConfigBackupFile = "/tmp/zuncore.xml";
inline constexpr const char* kWlanOnOffFile = "/proc/wlan_onoff";
