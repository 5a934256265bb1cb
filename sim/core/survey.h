// Site survey and automatic channel selection of the simulated radio.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zsim {

// One neighbouring access point ($ROOT/sim/state/wifi/aps, tab-separated:
// bssid12 channel signal beacon dtim type ssid).
struct NeighbourAp {
  std::string bssid;  // 12 hex digits
  int channel = 1;
  int signal = 60;
  int beacon = 100;
  int dtim = 1;
  int type = 1;
  std::string ssid;
};
std::vector<NeighbourAp> ReadNeighbourAps();
bool WriteNeighbourAps(const std::vector<NeighbourAp>& aps);

// Answer byte of a survey request: 255 while the radio is busy, else 0 (scan started).
uint8_t SurveyRequestAnswer();
// Fills a result buffer: byte 0 = 0xFF while scanning, else the entry count, entries from byte 1.
size_t FillSurveyResult(uint8_t* buf, size_t capacity);
// Channel the automatic selection picks: acs.result, or the least used of 1, 6, 11.
int SelectAutoChannel();

}  // namespace zsim
