// Models of the simulated router (flash, boot environment, Wi-Fi, platform library, system)
// with the seeds of a fresh router, and the rendering of the files the agent reads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/state.h"

namespace zsim {

// The router's own interface names.
inline constexpr const char* kWlanIfs[] = {"wlan0", "wlan0-vap0", "wlan0-vap1", "wlan0-vap2"};
inline constexpr const char* kLanPorts[] = {"eth0.2", "eth0.3"};
inline constexpr const char* kBaseMac = "025a00000001";

KvMap FlashSeed();
KvMap NvSeed();
KvMap SysSeed();
KvMap PonSeed();
// MIBs of one Wi-Fi interface: "NAME=WIDTH:VALUE" (WIDTH 1, 4 or "text").
KvMap MibSeed(int wlanIndex);
// The driver statistics keys of /proc/IF/stats, in file order.
const std::vector<std::string>& WlanStatsKeys();

KvMap ReadFlash();
bool WriteFlash(const KvMap& flash);
std::string FlashValue(const std::string& name, const std::string& fallback = "");

// MAC helpers: "025a00000001" + n as lower-case 12 digits, or colon form.
std::string MacPlus(const std::string& base12, int n);
std::string ColonMac(const std::string& mac12, bool upper = false);
// 12 lower-case hex digits from any colon/dash/plain form; empty when invalid.
std::string PlainMac(const std::string& text);

// Writes /proc/stat, /proc/meminfo, /proc/cpuinfo and every Wi-Fi file from the models.
void RenderSystemFiles();
void RenderWlanFiles();
void RenderAll();

// Wi-Fi state paths.
std::string WifiDir(const std::string& ifname);
bool IsWlanIf(const std::string& ifname);

}  // namespace zsim
