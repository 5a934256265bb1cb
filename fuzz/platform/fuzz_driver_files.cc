// The files and driver answers the platform reads on every statistics pass, which the simulated
// router renders and a real router's kernel and Wi-Fi driver print: /proc/stat, /proc/meminfo,
// /proc/uptime, /proc/cpuinfo, /etc/version, pppoe.conf, the driver's stats file and its
// site-survey result buffer. Byte 0 picks the reader; the rest is the file or the buffer.
// Properties: no crash or undefined behaviour (an overflowing sum included); a CPU share stays
// within 0..100; a survey record's SSID is always terminated within its field.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/device_ops.h"
#include "platform/realtek/driver_abi.h"
#include "platform/realtek/stats_parse.h"
#include "platform/realtek/wlan_parse.h"

namespace rtl {
NeighborApRecord SurveyEntryToRecord(const uint8_t* entry, uint32_t band);
}

namespace {

void Check(bool condition) {
  if (!condition) abort();
}

// The survey result as the driver hands it: a count byte, then fixed-size entries.
void Survey(const uint8_t* data, size_t size) {
  std::vector<uint8_t> buf(rtl::kSurveyBufferLen, 0);
  std::memcpy(buf.data(), data, std::min(size, buf.size()));
  if (buf[0] == rtl::kSurveyBusy) return;
  size_t n = std::min<size_t>(buf[0], rtl::kSurveyMaxEntries);
  for (size_t i = 0; i < n; ++i) {
    NeighborApRecord r = rtl::SurveyEntryToRecord(buf.data() + 1 + i * rtl::kSurveyEntrySize, 1);
    Check(std::memchr(r.ssid, '\0', sizeof r.ssid) != nullptr);
    Check(std::memchr(r.bssid, '\0', sizeof r.bssid) != nullptr);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 64 * 1024) return 0;
  std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 6) {
    case 0: {
      // Two readings of /proc/stat, split at the first NUL, as two passes read them.
      size_t cut = text.find('\0');
      rtl::CpuSample before, after;
      bool a = rtl::ParseCpuLine(text.substr(0, cut), &before);
      bool b = cut != std::string_view::npos && rtl::ParseCpuLine(text.substr(cut + 1), &after);
      if (a && b) Check(rtl::CpuPercent(before, after) <= 100);
      break;
    }
    case 1: {
      rtl::MemInfo m = rtl::ParseMemInfo(text);
      (void)m;
      Check(rtl::AvailableMemoryKb(text) >= 0);
      break;
    }
    case 2: {
      rtl::ParseUptime(text);
      rtl::BogoMips(text);
      break;
    }
    case 3: {
      std::string version, buildTime;
      rtl::SplitVersionLine(text, &version, &buildTime);
      Check(version.find('\n') == std::string::npos && buildTime.find('\n') == std::string::npos);
      rtl::PppoeLowerInterface(text);
      break;
    }
    case 4: {
      uint64_t counters[kWlanCounterCount] = {};
      rtl::ParseWlanStats(text, counters);
      rtl::StatsValue(text, "tx_avarage");
      rtl::StatsValue(text, "rx_avarage");
      break;
    }
    default:
      Survey(data + 1, size - 1);
      break;
  }
  return 0;
}
