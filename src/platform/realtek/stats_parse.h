// Parsers and the CPU load rule of the system statistics (pure functions).
#pragma once

#include <cstdint>
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

}  // namespace rtl
