// Parsers and the CPU load rule of the system statistics (pure functions).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace rtl {

struct CpuSample {
  uint64_t total = 0;
  uint64_t idle = 0;
};
// First line of /proc/stat ("cpu user nice system idle iowait irq softirq steal"); false when
// it does not hold eight numbers.
bool ParseCpuLine(std::string_view statText, CpuSample* sample);
// Busy percentage between two samples; 0 when nothing moved.
uint32_t CpuPercent(const CpuSample& previous, const CpuSample& now);

struct MemInfo {
  uint64_t total = 0;
  uint64_t free = 0;  // MemFree + Buffers + Cached
};
MemInfo ParseMemInfo(std::string_view meminfoText);
// Whole seconds of /proc/uptime.
uint32_t ParseUptime(std::string_view uptimeText);

// The firmware writer's memory: MemFree + Buffers in kB of /proc/meminfo (the last of each
// wins), saturated at the largest value instead of overflowing.
int64_t AvailableMemoryKb(std::string_view meminfoText);
// The third field of the first "bogomips" line of /proc/cpuinfo (any case); empty when none.
std::string BogoMips(std::string_view cpuinfoText);
// "/etc/version": "<software version> -- <build time>" on its first line.
void SplitVersionLine(std::string_view versionText, std::string* version, std::string* buildTime);
// The interface a PPPoE session runs over: the second field of pppoe.conf's second line.
std::string PppoeLowerInterface(std::string_view pppoeConfText);

}  // namespace rtl
