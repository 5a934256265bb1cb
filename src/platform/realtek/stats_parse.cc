#include "platform/realtek/stats_parse.h"

#include <cctype>
#include <cstdint>
#include <limits>
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

int64_t AvailableMemoryKb(std::string_view text) {
  int64_t memFree = 0, buffers = 0;
  std::istringstream in{std::string(text)};
  std::string key;
  int64_t value = 0;
  while (in >> key >> value) {
    if (key == "MemFree:") memFree = value;
    if (key == "Buffers:") buffers = value;
    in.ignore(1 << 20, '\n');
  }
  if (memFree < 0 || buffers < 0) return 0;
  if (memFree > std::numeric_limits<int64_t>::max() - buffers) {
    return std::numeric_limits<int64_t>::max();
  }
  return memFree + buffers;
}

std::string BogoMips(std::string_view text) {
  std::istringstream in{std::string(text)};
  std::string line;
  while (std::getline(in, line)) {
    std::string lower = line;
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower.find("bogomips") == std::string::npos) continue;
    std::istringstream fields(line);
    std::string f1, f2, f3;
    fields >> f1 >> f2 >> f3;
    return f3;
  }
  return {};
}

void SplitVersionLine(std::string_view text, std::string* version, std::string* buildTime) {
  std::string line = FirstLine(std::string(text));
  *version = FirstToken(line);
  size_t sep = line.find(" -- ");
  *buildTime = sep == std::string::npos ? std::string() : Trim(line.substr(sep + 4));
}

std::string PppoeLowerInterface(std::string_view text) {
  std::istringstream in{std::string(text)};
  std::string line, first, lower;
  std::getline(in, line);
  if (std::getline(in, line)) {
    std::istringstream fields(line);
    fields >> first >> lower;
  }
  return lower;
}

}  // namespace rtl
