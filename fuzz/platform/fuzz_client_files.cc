// The small client files and tables the platform reads: /tmp/hosts and the fingerprint file hold
// names and codes LAN clients chose (DHCP host names, fingerprints), the neighbour tables and the
// driver's station list hold what the kernel printed. Byte 0 picks the parser; the rest is the
// file. Fields stay within their widths, and a rewritten fingerprint file holds the new line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/realtek/neigh_parse.h"
#include "platform/realtek/wlan_parse.h"

namespace {

std::string FirstField(std::string_view text) {
  size_t start = text.find_first_not_of(" \t\n");
  if (start == std::string_view::npos) return "";
  size_t end = text.find_first_of(" \t\n", start);
  return std::string(text.substr(start, end == std::string_view::npos ? end : end - start));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 64 * 1024) return 0;
  std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string key = FirstField(text);
  switch (data[0] % 5) {
    case 0:
      for (const rtl::ArpLine& line : rtl::ParseProcNetArp(text)) {
        if (line.ip.empty()) abort();
      }
      break;
    case 1: {
      auto table = rtl::ParseIpNeighbor(text);
      for (const rtl::NeighState& n : table) rtl::NeighStateOf(table, n.ip);
      break;
    }
    case 2:
      if (rtl::HostNameFor(text, key).size() > 63) abort();
      break;
    case 3: {
      std::optional<rtl::Fingerprint> old = rtl::FingerprintOf(text, key);
      if (old) {
        rtl::OsName(old->osType);
        rtl::DeviceTypeName(old->deviceType);
        rtl::ModelName(old->model);
        rtl::BrandName(old->brand);
      }
      const std::string mac = "02:00:00:00:00:99";
      rtl::Fingerprint fp{1, 2, 3, 4};
      std::string rewritten = rtl::FingerprintRewrite(text, mac, fp, 8);
      std::optional<rtl::Fingerprint> back = rtl::FingerprintOf(rewritten, mac);
      if (!back || back->deviceType != 1 || back->brand != 2 || back->osType != 3 ||
          back->model != 4)
        abort();
      break;
    }
    default: {
      uint64_t counters[kWlanCounterCount] = {};
      rtl::ParseWlanStats(text, counters);
      rtl::CountStaInfo(text);
      for (const StationRecord& s : rtl::ParseStaInfo(text, 64)) {
        if (!memchr(s.mac, '\0', sizeof s.mac) || !memchr(s.ip, '\0', sizeof s.ip)) abort();
      }
      int32_t mcs = 0, rate = 0;
      rtl::ParseRate(text, &mcs, &rate);
      rtl::ParseLinkTime(text);
      break;
    }
  }
  return 0;
}
