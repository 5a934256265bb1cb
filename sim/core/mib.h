// Driver MIBs of the simulated Wi-Fi interfaces ($ROOT/sim/state/wifi/IF/mib,
// "NAME=WIDTH:VALUE" with WIDTH 1, 4 or "text"). The channel belongs to the radio
// ($ROOT/sim/state/wifi/radio) and is the same for wlan0 and its virtual interfaces.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zsim {

// The value bytes as the driver returns them (numbers in native byte order).
bool ReadMib(const std::string& ifname, const std::string& name, std::vector<uint8_t>* value);
// Stores a value given as text. An unknown MIB is created (width 4 for numbers, text otherwise)
// only when create is true.
bool WriteMib(const std::string& ifname, const std::string& name, const std::string& text,
              bool create);

int RadioChannel();
bool SetRadioChannel(int channel);

}  // namespace zsim
