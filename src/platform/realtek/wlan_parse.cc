#include "platform/realtek/wlan_parse.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/realtek/rtl_internal.h"

namespace rtl {
namespace {

struct StatsKey {
  const char* key;
  WlanCounter counter;
};
constexpr StatsKey kStatsKeys[] = {
    {"tx_bytes", WLC_BYTES_SENT},
    {"rx_bytes", WLC_BYTES_RECEIVED},
    {"tx_packets", WLC_PACKETS_SENT},
    {"rx_packets", WLC_PACKETS_RECEIVED},
    {"tx_retrys", WLC_RETRANS},
    {"tx_fails", WLC_FAILED_RETRANS},
    {"rx_errors", WLC_ERRORS_RECEIVED},
    {"tx_ucast_pkts", WLC_UNICAST_SENT},
    {"rx_ucast_pkts", WLC_UNICAST_RECEIVED},
    {"tx_mcast_pkts", WLC_MULTICAST_SENT},
    {"rx_mcast_pkts", WLC_MULTICAST_RECEIVED},
    {"tx_bcast_pkts", WLC_BROADCAST_SENT},
    {"rx_bcast_pkts", WLC_BROADCAST_RECEIVED},
};

// Calls fn(line) for each line of the text.
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

// The name part of a "name: value" line (without leading blanks) and its value text.
bool SplitKeyLine(std::string_view line, std::string_view* name, std::string_view* value) {
  size_t colon = line.find(':');
  if (colon == std::string_view::npos) return false;
  size_t b = 0;
  while (b < colon && (line[b] == ' ' || line[b] == '\t')) ++b;
  *name = line.substr(b, colon - b);
  *value = line.substr(colon + 1);
  return true;
}

int32_t ParseI32(std::string_view text) {
  std::string s = Trim(text);
  errno = 0;
  long long v = std::strtoll(s.c_str(), nullptr, 0);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

std::string_view NextWord(std::string_view text, size_t* pos) {
  while (*pos < text.size() && (text[*pos] == ' ' || text[*pos] == '\t')) ++*pos;
  size_t start = *pos;
  while (*pos < text.size() && text[*pos] != ' ' && text[*pos] != '\t') ++*pos;
  return text.substr(start, *pos - start);
}

}  // namespace

uint64_t StatsValue(std::string_view text, std::string_view key) {
  uint64_t value = 0;
  ForEachLine(text, [&](std::string_view line) {
    std::string_view name, rest;
    if (SplitKeyLine(line, &name, &rest) && name == key) {
      value = ParseU64(rest);
      return false;
    }
    return true;
  });
  return value;
}

void ParseWlanStats(std::string_view text, uint64_t (&counters)[kWlanCounterCount]) {
  for (auto& c : counters) c = 0;
  ForEachLine(text, [&](std::string_view line) {
    std::string_view name, rest;
    if (!SplitKeyLine(line, &name, &rest)) return true;
    for (const auto& k : kStatsKeys) {
      if (name == k.key) counters[k.counter] = ParseU64(rest);
    }
    return true;
  });
}

unsigned CountStaInfo(std::string_view text) {
  unsigned n = 0;
  ForEachLine(text, [&](std::string_view line) {
    if (line.find("stat_info") != std::string_view::npos) ++n;
    return true;
  });
  return n;
}

void ParseRate(std::string_view text, int32_t* mcs, int32_t* rate) {
  *mcs = 0;
  *rate = 0;
  size_t pos = 0;
  std::string_view word = NextWord(text, &pos);
  if (word.rfind("VHT", 0) == 0) {
    size_t dash = text.find('-', pos);
    if (dash == std::string_view::npos) return;
    pos = dash + 1;
    std::string_view m = NextWord(text, &pos);
    if (m.size() > 3) *mcs = ParseI32(m.substr(3));
    *rate = ParseI32(NextWord(text, &pos));
  } else if (word.rfind("MCS", 0) == 0) {
    *mcs = ParseI32(word.substr(3));
    *rate = ParseI32(NextWord(text, &pos));
  } else {
    *rate = ParseI32(word);
  }
}

uint32_t ParseLinkTime(std::string_view text) {
  uint64_t total = 0;
  size_t pos = 0;
  for (;;) {
    std::string_view number = NextWord(text, &pos);
    std::string_view unit = NextWord(text, &pos);
    if (number.empty() || unit.empty()) break;
    uint64_t n = ParseU64(number);
    if (unit == "day") {
      total += n * 86400;
    } else if (unit == "hr") {
      total += n * 3600;
    } else if (unit == "min") {
      total += n * 60;
    } else if (unit == "sec") {
      total += n;
    }
  }
  return total > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(total);
}

std::vector<StationRecord> ParseStaInfo(std::string_view text, size_t maxStations) {
  std::vector<StationRecord> stations;
  int skip = 2;  // the table header and the first "stat_info" line
  bool inStation = false;
  ForEachLine(text, [&](std::string_view line) {
    if (skip > 0) {
      --skip;
      return true;
    }
    if (line.find("stat_info") != std::string_view::npos) {
      inStation = false;
      return stations.size() < maxStations;
    }
    std::string_view name, value;
    if (!SplitKeyLine(line, &name, &value)) return true;
    if (name == "hwaddr") {
      if (stations.size() >= maxStations) return false;
      std::string hex = Trim(value);
      if (hex.size() != 12) {
        inStation = false;
        return true;
      }
      StationRecord r{};
      std::snprintf(r.mac, sizeof r.mac, "%c%c:%c%c:%c%c:%c%c:%c%c:%c%c", hex[0], hex[1], hex[2],
                    hex[3], hex[4], hex[5], hex[6], hex[7], hex[8], hex[9], hex[10], hex[11]);
      CopyField(r.ip, "NA");
      stations.push_back(r);
      inStation = true;
      return true;
    }
    if (!inStation) return true;
    StationRecord& r = stations.back();
    if (name == "tx_bytes") {
      r.txBytes = ParseU64(value);
    } else if (name == "rx_bytes") {
      r.rxBytes = ParseU64(value);
    } else if (name == "tx_pkts2") {
      r.txPackets = ParseU64(value);
    } else if (name == "rx_pkts") {
      r.rxPackets = ParseU64(value);
    } else if (name == "rssi") {
      r.rssi = ParseI32(value) - 100;
    } else if (name == "snr") {
      r.snr = ParseI32(value);
    } else if (name == "current_tx_rate") {
      ParseRate(value, &r.txMcs, &r.txRate);
    } else if (name == "current_rx_rate") {
      ParseRate(value, &r.rxMcs, &r.rxRate);
    } else if (name == "link_time") {
      r.connectedSeconds = ParseLinkTime(value);
    } else if (name == "expired_time") {
      r.expiredTime = static_cast<uint32_t>(ParseU64(value));
    }
    return true;
  });
  return stations;
}

uint32_t StandardFromBand(uint32_t band) {
  switch (band) {
    case 1:
      return 1;
    case 2:
      return 2;
    case 3:
      return 3;
    case 4:
      return 4;
    case 8:
      return 5;
    case 10:
      return 6;
    case 11:
      return 7;
    case 12:
      return 8;
    case 64:
      return 9;
    case 72:
      return 10;
    case 76:
      return 11;
    default:
      return 0;
  }
}

void EncryptionAndSecurity(uint32_t encmode, uint32_t psk, uint32_t wpa, uint32_t wpa2,
                           uint32_t* encryption, uint32_t* security) {
  *encryption = 0;
  *security = 0;
  if (encmode == 0) {
    *security = 1;
  } else if (encmode == 1) {
    *security = 2;
  } else if (encmode == 5) {
    *security = 3;
  } else if (psk == 1 && wpa2 == 0 && (wpa == 2 || wpa == 8)) {
    *encryption = wpa == 2 ? 1 : 2;
    *security = 4;
  } else if (psk == 2 && wpa == 0 && (wpa2 == 2 || wpa2 == 8)) {
    *encryption = wpa2 == 2 ? 1 : 2;
    *security = 5;
  } else if (psk == 3) {
    *encryption = wpa == 2 && wpa2 == 2 ? 1 : wpa == 8 && wpa2 == 8 ? 2 : 3;
    *security = 6;
  }
}

uint32_t ChannelWidthFromUse40M(uint32_t v) {
  return v <= 2 ? v + 1 : 0;
}

uint32_t OperModeFromOpmode(uint32_t opmode) {
  return opmode == 16 ? 1 : opmode == 8 ? 2 : 0;
}

uint32_t BandFromChannel(uint32_t channel) {
  return channel == 0 ? 0 : channel <= 14 ? 1 : 2;
}

}  // namespace rtl
