// Settings-store keys of the router's identity, read once at start. Key headers name keys and
// nothing else, so any module may include them.
#pragma once

// The LAN MAC, "aa:bb:cc:dd:ee:ff". main writes it at start; the idle state rewrites it in its
// compact form; bootstrap, firmware, sign-on, the timers and the reports read it.
inline constexpr const char* kKeyDeviceMacAddr = "device_mac_addr";
// The bootstrap endpoint ("<domain>/device/register"). main writes; bootstrap reads.
inline constexpr const char* kKeyBootstrapUrl = "zun_bstrap_url";
// The loopback address. main writes; kept for the diagnostics commands.
inline constexpr const char* kKeyLoopbackIpv4 = "loopback_ipv4";
// The running firmware version. main writes; the bootstrap request and firmware read.
inline constexpr const char* kKeyRunningFirmware = "running_firmware";
// The launcher version. main writes; the bootstrap request and firmware validation read.
inline constexpr const char* kKeyLauncherVersion = "launcher_version";
