#include "core/mib.h"

#include <cstdlib>
#include <cstring>

#include "core/model.h"
#include "core/state.h"

namespace zsim {
namespace {

bool IsNumber(const std::string& text) {
  if (text.empty()) return false;
  char* end = nullptr;
  std::strtol(text.c_str(), &end, 0);
  return end && *end == '\0';
}

}  // namespace

int RadioChannel() {
  KvMap radio = ReadKv(StatePath("wifi/radio"));
  auto it = radio.find("channel");
  return it == radio.end() ? 6 : std::atoi(it->second.c_str());
}

bool SetRadioChannel(int channel) {
  StateLock lock;
  KvMap radio = ReadKv(StatePath("wifi/radio"));
  radio["channel"] = std::to_string(channel);
  return WriteKv(StatePath("wifi/radio"), radio);
}

bool ReadMib(const std::string& ifname, const std::string& name, std::vector<uint8_t>* value) {
  value->clear();
  if (name == "channel") {
    value->push_back(static_cast<uint8_t>(RadioChannel()));
    return true;
  }
  KvMap mib = ReadKv(WifiDir(ifname) + "/mib");
  auto it = mib.find(name);
  if (it == mib.end()) return false;
  const std::string& stored = it->second;
  size_t colon = stored.find(':');
  if (colon == std::string::npos) return false;
  std::string width = stored.substr(0, colon), text = stored.substr(colon + 1);
  if (width == "text") {
    value->assign(text.begin(), text.end());
  } else if (width == "1") {
    value->push_back(static_cast<uint8_t>(std::strtol(text.c_str(), nullptr, 0)));
  } else {
    int32_t v = static_cast<int32_t>(std::strtol(text.c_str(), nullptr, 0));
    uint8_t bytes[4];
    std::memcpy(bytes, &v, sizeof v);
    value->assign(bytes, bytes + 4);
  }
  return true;
}

bool WriteMib(const std::string& ifname, const std::string& name, const std::string& text,
              bool create) {
  if (name == "channel") return IsNumber(text) && SetRadioChannel(std::atoi(text.c_str()));
  StateLock lock;
  std::string path = WifiDir(ifname) + "/mib";
  KvMap mib = ReadKv(path);
  auto it = mib.find(name);
  std::string width;
  if (it != mib.end()) {
    width = it->second.substr(0, it->second.find(':'));
  } else if (create) {
    width = IsNumber(text) ? "4" : "text";
  } else {
    return false;
  }
  if (width != "text" && !IsNumber(text)) return false;
  if (!ValidValue(text)) return false;
  mib[name] = width + ":" + text;
  return WriteKv(path, mib);
}

}  // namespace zsim
