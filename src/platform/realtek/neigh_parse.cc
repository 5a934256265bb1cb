#include "platform/realtek/neigh_parse.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cstdlib>
#include <sstream>

namespace rtl {
namespace {

constexpr size_t kHostNameMax = 63;
constexpr size_t kFieldMax = 64;  // longest word any of these files may carry

bool IsIpv4(const std::string& text) {
  in_addr a{};
  return inet_pton(AF_INET, text.c_str(), &a) == 1;
}

std::vector<std::string> Words(std::string_view line, size_t maxWords) {
  std::vector<std::string> words;
  std::istringstream in{std::string(line)};
  std::string w;
  while (words.size() < maxWords && in >> w) {
    if (w.size() > kFieldMax) w.resize(kFieldMax);
    words.push_back(w);
  }
  return words;
}

template <typename Fn>
void ForEachLine(std::string_view text, Fn fn) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    if (!fn(text.substr(start, end - start))) return;
    start = end + 1;
  }
}

bool SameMac(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

}  // namespace

std::vector<ArpLine> ParseProcNetArp(std::string_view text) {
  std::vector<ArpLine> lines;
  bool header = true;
  ForEachLine(text, [&](std::string_view line) {
    if (header) {
      header = false;
      return true;
    }
    auto w = Words(line, 6);
    if (w.size() < 4) return false;
    if (!IsIpv4(w[0])) return true;
    ArpLine a;
    a.ip = w[0];
    a.flags = static_cast<unsigned>(std::strtoul(w[2].c_str(), nullptr, 16));
    a.mac = w[3];
    a.device = w.size() >= 6 ? w[5] : "";
    lines.push_back(a);
    return true;
  });
  return lines;
}

std::vector<NeighState> ParseIpNeighbor(std::string_view text) {
  std::vector<NeighState> table;
  ForEachLine(text, [&](std::string_view line) {
    auto w = Words(line, 8);
    if (w.size() < 6 || !IsIpv4(w[0])) return true;
    table.push_back({w[0], w.back()});
    return true;
  });
  return table;
}

std::optional<std::string> NeighStateOf(const std::vector<NeighState>& table,
                                        const std::string& ip) {
  for (const auto& n : table) {
    if (n.ip == ip) return n.state;
  }
  return std::nullopt;
}

std::string HostNameFor(std::string_view hostsText, const std::string& ip) {
  std::string name;
  ForEachLine(hostsText, [&](std::string_view line) {
    auto w = Words(line, 3);
    if (w.size() == 3 && w[0] == ip) {
      name = w[2].substr(0, kHostNameMax);
      return false;
    }
    return true;
  });
  return name;
}

std::optional<Fingerprint> FingerprintOf(std::string_view fileText, const std::string& mac) {
  std::optional<Fingerprint> found;
  ForEachLine(fileText, [&](std::string_view line) {
    auto w = Words(line, 5);
    if (w.size() == 5 && SameMac(w[0], mac)) {
      Fingerprint fp;
      fp.deviceType = static_cast<uint32_t>(std::strtoul(w[1].c_str(), nullptr, 10));
      fp.brand = static_cast<uint32_t>(std::strtoul(w[2].c_str(), nullptr, 10));
      fp.osType = static_cast<uint32_t>(std::strtoul(w[3].c_str(), nullptr, 10));
      fp.model = static_cast<uint32_t>(std::strtoul(w[4].c_str(), nullptr, 10));
      found = fp;
    }
    return true;
  });
  return found;
}

std::string FingerprintRewrite(std::string_view fileText, const std::string& mac,
                               const Fingerprint& fp, size_t maxLines) {
  std::vector<std::string> kept;
  ForEachLine(fileText, [&](std::string_view line) {
    auto w = Words(line, 1);
    if (!w.empty() && !SameMac(w[0], mac)) kept.emplace_back(line);
    return true;
  });
  kept.push_back(mac + " " + std::to_string(fp.deviceType) + " " + std::to_string(fp.brand) + " " +
                 std::to_string(fp.osType) + " " + std::to_string(fp.model));
  size_t first = kept.size() > maxLines ? kept.size() - maxLines : 0;
  std::string out;
  for (size_t i = first; i < kept.size(); ++i) out += kept[i] + "\n";
  return out;
}

const char* OsName(uint32_t code) {
  static const char* const kNames[] = {"OTHERS",  "WINDOWS_NT",    "MACINTOSH", "IOS",
                                       "ANDROID", "WINDOWS_PHONE", "LINUX"};
  return code < std::size(kNames) ? kNames[code] : "OTHERS";
}

const char* DeviceTypeName(uint32_t code) {
  return code == 1 ? "PHONE" : code == 2 ? "COMPUTER" : "OTHERS";
}

const char* ModelName(uint32_t code) {
  static const char* const kNames[] = {"OTHERS", "HONOR", "P7", "R7", "MI4LTE"};
  return code < std::size(kNames) ? kNames[code] : "OTHERS";
}

const char* BrandName(uint32_t code) {
  static const char* const kNames[] = {"OTHERS",    "HUAWEI",  "XIAOMI", "MEIZU",    "IPHONE",
                                       "NOKIA",     "SAMSUNG", "SONY",   "ERICSSON", "MOT",
                                       "HTC",       "SGH",     "LG",     "SHARP",    "PHILIPS",
                                       "PANASONIC", "ALCATEL", "LENOVO", "OPPO"};
  return code < std::size(kNames) ? kNames[code] : "OTHERS";
}

}  // namespace rtl
