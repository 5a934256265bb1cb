#include "core/survey.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "core/model.h"
#include "core/state.h"
#include "platform/realtek/driver_abi.h"

namespace zsim {

std::vector<NeighbourAp> ReadNeighbourAps() {
  std::vector<NeighbourAp> aps;
  std::istringstream in(ReadText(StatePath("wifi/aps")).value_or(""));
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::string field;
    std::istringstream fields(line);
    while (f.size() < 6 && std::getline(fields, field, '\t')) f.push_back(field);
    if (f.size() < 6) continue;
    NeighbourAp ap;
    ap.bssid = f[0];
    ap.channel = std::atoi(f[1].c_str());
    ap.signal = std::atoi(f[2].c_str());
    ap.beacon = std::atoi(f[3].c_str());
    ap.dtim = std::atoi(f[4].c_str());
    ap.type = std::atoi(f[5].c_str());
    std::getline(fields, ap.ssid);
    aps.push_back(ap);
  }
  return aps;
}

bool WriteNeighbourAps(const std::vector<NeighbourAp>& aps) {
  std::string text;
  for (const auto& ap : aps) {
    text += ap.bssid + "\t" + std::to_string(ap.channel) + "\t" + std::to_string(ap.signal) + "\t" +
            std::to_string(ap.beacon) + "\t" + std::to_string(ap.dtim) + "\t" +
            std::to_string(ap.type) + "\t" + ap.ssid + "\n";
  }
  return WriteText(StatePath("wifi/aps"), text);
}

uint8_t SurveyRequestAnswer() {
  StateLock lock;
  std::string path = StatePath("wifi/radio");
  KvMap radio = ReadKv(path);
  long busyLeft = std::atol(radio["scan.busy_left"].c_str());
  if (radio["scan.busy_left"].empty()) busyLeft = std::atol(radio["scan.busy"].c_str());
  uint8_t answer = 0;
  if (busyLeft > 0) {
    radio["scan.busy_left"] = std::to_string(busyLeft - 1);
    answer = rtl::kSurveyRequestBusy;
  } else {
    radio.erase("scan.busy_left");
    radio["scan.polls_left"] = radio["scan.polls"].empty() ? "0" : radio["scan.polls"];
  }
  WriteKv(path, radio);
  return answer;
}

size_t FillSurveyResult(uint8_t* buf, size_t capacity) {
  std::memset(buf, 0, capacity);
  {
    StateLock lock;
    std::string path = StatePath("wifi/radio");
    KvMap radio = ReadKv(path);
    long pollsLeft = std::atol(radio["scan.polls_left"].c_str());
    if (pollsLeft > 0) {
      radio["scan.polls_left"] = std::to_string(pollsLeft - 1);
      WriteKv(path, radio);
      buf[0] = rtl::kSurveyBusy;
      return 0;
    }
  }
  std::vector<NeighbourAp> aps = ReadNeighbourAps();
  size_t fit = capacity > 1 ? (capacity - 1) / rtl::kSurveyEntrySize : 0;
  size_t count = std::min({aps.size(), fit, static_cast<size_t>(rtl::kSurveyBusy - 1)});
  for (size_t i = 0; i < count; ++i) {
    const NeighbourAp& ap = aps[i];
    uint8_t* e = buf + 1 + i * rtl::kSurveyEntrySize;
    std::string mac = PlainMac(ap.bssid);
    for (size_t b = 0; b < 6 && mac.size() == 12; ++b) {
      e[rtl::kSurveyBssidOff + b] =
          static_cast<uint8_t>(std::strtoul(mac.substr(b * 2, 2).c_str(), nullptr, 16));
    }
    size_t ssidLen = std::min(ap.ssid.size(), rtl::kSurveySsidMax);
    e[rtl::kSurveySsidLenOff] = static_cast<uint8_t>(ssidLen);
    std::memcpy(e + rtl::kSurveySsidOff, ap.ssid.data(), ssidLen);
    e[rtl::kSurveyChannelOff] = static_cast<uint8_t>(ap.channel);
    uint16_t beacon = static_cast<uint16_t>(ap.beacon);
    std::memcpy(e + rtl::kSurveyBeaconOff, &beacon, 2);
    e[rtl::kSurveyDtimOff] = static_cast<uint8_t>(ap.dtim);
    e[rtl::kSurveySignalOff] = static_cast<uint8_t>(ap.signal);
    uint32_t type = static_cast<uint32_t>(ap.type);
    std::memcpy(e + rtl::kSurveyNetworkTypeOff, &type, 4);
  }
  buf[0] = static_cast<uint8_t>(count);
  return count;
}

int SelectAutoChannel() {
  std::string forced = ReadKv(StatePath("wifi/radio"))["acs.result"];
  if (!forced.empty()) return std::atoi(forced.c_str());
  int best = 1, bestUse = -1;
  for (int channel : {1, 6, 11}) {
    int use = 0;
    for (const auto& ap : ReadNeighbourAps()) use += ap.channel == channel;
    if (bestUse < 0 || use < bestUse) {
      best = channel;
      bestUse = use;
    }
  }
  return best;
}

}  // namespace zsim
