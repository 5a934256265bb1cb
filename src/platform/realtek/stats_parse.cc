#include "platform/realtek/stats_parse.h"

#include <sstream>
#include <string>

#include "platform/realtek/rtl_internal.h"

namespace rtl {

bool ParseCpuLine(std::string_view statText, CpuSample* sample) {
  std::istringstream in{std::string(statText.substr(0, statText.find('\n')))};
  std::string label;
  if (!(in >> label) || label != "cpu") return false;
  uint64_t v[8];
  for (auto& x : v) {
    std::string word;
    if (!(in >> word)) return false;
    x = ParseU64(word);
  }
  sample->total = 0;
  for (uint64_t x : v) sample->total += x;
  sample->idle = v[3];
  return true;
}

uint32_t CpuPercent(const CpuSample& previous, const CpuSample& now) {
  if (now.total <= previous.total || now.idle < previous.idle) return 0;
  uint64_t totalDiff = now.total - previous.total;
  uint64_t idleDiff = now.idle - previous.idle;
  if (idleDiff >= totalDiff) return 0;
  return static_cast<uint32_t>((totalDiff - idleDiff) * 100 / totalDiff);
}

MemInfo ParseMemInfo(std::string_view text) {
  MemInfo info;
  uint64_t memFree = 0, buffers = 0, cached = 0;
  std::istringstream in{std::string(text)};
  std::string line;
  while (std::getline(in, line)) {
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string key = line.substr(0, colon);
    std::istringstream value(line.substr(colon + 1));
    std::string number;
    value >> number;
    uint64_t v = ParseU64(number);
    if (key == "MemTotal") {
      info.total = v;
    } else if (key == "MemFree") {
      memFree = v;
    } else if (key == "Buffers") {
      buffers = v;
    } else if (key == "Cached") {
      cached = v;
    }
  }
  info.free = memFree + buffers + cached;
  return info;
}

uint32_t ParseUptime(std::string_view text) {
  std::string first{text.substr(0, text.find_first_of(". \n"))};
  uint64_t v = ParseU64(first);
  return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v);
}

}  // namespace rtl
