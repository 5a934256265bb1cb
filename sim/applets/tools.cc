// Settings tools of the router: flash, nv (boot environment), mpctl (LED), iwpriv (driver MIBs).
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <sstream>
#include <thread>

#include "applets/applets.h"
#include "core/mib.h"
#include "core/model.h"
#include "core/state.h"

namespace zsim {
namespace {

bool ValidSettingName(const std::string& name) {
  static const std::regex re("[A-Za-z0-9_.-]+");
  return std::regex_match(name, re);
}

// Comma-separated setting names the simulated flash accepts but does not keep.
bool Ignored(const std::string& name) {
  std::stringstream list(Knob("flash.ignore"));
  std::string item;
  while (std::getline(list, item, ',')) {
    if (item == name) return true;
  }
  return false;
}

}  // namespace

int AppletFlash(const Args& a) {
  if (a.size() == 2 && a[0] == "get") {
    if (!ValidSettingName(a[1])) return 1;
    if (ConsumeFailure("flash.get:" + a[1])) return 1;
    // A flash too busy to answer: the caller's time-out ends the wait.
    if (ConsumeFailure("flash.get.hang:" + a[1])) {
      std::this_thread::sleep_for(std::chrono::seconds(30));
      return 1;
    }
    KvMap flash = ReadFlash();
    auto it = flash.find(a[1]);
    if (it == flash.end()) return 1;
    Out(a[1] + "=" + it->second + "\n");
    return 0;
  }
  if (a.size() == 3 && a[0] == "set") {
    if (!ValidSettingName(a[1]) || !ValidValue(a[2])) {
      Err("flash: invalid setting\n");
      return 1;
    }
    if (ConsumeFailure("flash.set") || ConsumeFailure("flash.set:" + a[1])) {
      Err("flash: write failed\n");
      return 1;
    }
    if (Ignored(a[1])) return 0;
    StateLock lock;
    KvMap flash = ReadFlash();
    flash[a[1]] = a[2];
    return WriteFlash(flash) ? 0 : 1;
  }
  if (a.size() == 1 && a[0] == "all") {
    Out(FormatKv(ReadFlash()));
    return 0;
  }
  return Unsupported("flash", a);
}

int AppletNv(const Args& a) {
  if (ConsumeFailure("nv")) return 1;
  std::string path = StatePath("nv.env");
  if (a.size() == 2 && a[0] == "getenv") {
    KvMap env = ReadKv(path);
    auto it = env.find(a[1]);
    if (it == env.end()) return 1;
    Out(a[1] + "=" + it->second + "\n");
    return 0;
  }
  if (a.size() == 3 && a[0] == "setenv") {
    if (a[1].empty() || a[1].find('=') != std::string::npos || !ValidValue(a[2])) return 1;
    StateLock lock;
    KvMap env = ReadKv(path);
    env[a[1]] = a[2];
    return WriteKv(path, env) ? 0 : 1;
  }
  if (a.size() == 2 && a[0] == "unsetenv") {
    StateLock lock;
    KvMap env = ReadKv(path);
    if (env.erase(a[1]) == 0) return 1;
    return WriteKv(path, env) ? 0 : 1;
  }
  if (a.size() == 1 && a[0] == "printenv") {
    Out(FormatKv(ReadKv(path)));
    return 0;
  }
  return Unsupported("nv", a);
}

int AppletMpctl(const Args& a) {
  if (a.size() != 2 || a[0] != "led" || (a[1] != "on" && a[1] != "off" && a[1] != "restore")) {
    return Unsupported("mpctl", a);
  }
  if (ConsumeFailure("mpctl")) return 1;
  StateLock lock;
  std::string path = StatePath("led");
  std::string history;
  if (auto text = ReadText(path)) {
    size_t nl = text->find('\n');
    if (nl != std::string::npos) history = text->substr(nl + 1);
  }
  history += std::to_string(NowMs()) + " " + a[1] + "\n";
  return WriteText(path, "state=" + a[1] + "\n" + history) ? 0 : 1;
}

int AppletIwpriv(const Args& a) {
  if (a.size() == 3 && a[1] == "get_mib") {
    std::vector<uint8_t> value;
    if (!IsWlanIf(a[0]) || !ReadMib(a[0], a[2], &value)) {
      Err(a[0] + "  get_mib: Invalid argument\n");
      return 1;
    }
    char head[32];
    std::snprintf(head, sizeof head, "%-10sget_mib:\n", a[0].c_str());
    std::string line2 = "           ";
    for (uint8_t b : value) {
      char hex[4];
      std::snprintf(hex, sizeof hex, " %02x", b);
      line2 += hex;
    }
    Out(std::string(head) + line2 + "\n");
    return 0;
  }
  if (a.size() == 3 && a[1] == "set_mib") {
    size_t eq = a[2].find('=');
    if (!IsWlanIf(a[0]) || eq == std::string::npos || eq == 0) return 1;
    return WriteMib(a[0], a[2].substr(0, eq), a[2].substr(eq + 1), true) ? 0 : 1;
  }
  return Unsupported("iwpriv", a);
}

}  // namespace zsim
