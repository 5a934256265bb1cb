#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sstream>

#include "platform/realtek/driver_request.h"
#include "platform/realtek/rtl_internal.h"
#include "utils/exitlog.h"
#include "utils/files.h"
#include "utils/log.h"
#include "utils/paths.h"
#include "utils/timescale.h"
#include "utils/validate.h"

namespace rtl {
namespace {

constexpr const char* kWlanNames[] = {"wlan0", "wlan0-vap0", "wlan0-vap1", "wlan0-vap2",
                                      "wlan1", "wlan1-vap0", "wlan1-vap1", "wlan1-vap2"};
constexpr int kWlanNameCount = 8;
constexpr int kWanTableEntries = 6;
constexpr long kNoWanIfIndex = 65535;
constexpr size_t kMaxIfNameChars = 15;
constexpr double kToolMinRealMs = 3000;

std::mutex gWanIfMutex;
std::string gWanIfName;

}  // namespace

std::string WlanInterfaceName(int index) {
  if (index < 0 || index >= kWlanNameCount) {
    LogOut(LL_ERR, "%s Unknown WlanInterfaceName for Index:%d", "Rtl8192GetWlanInterfaceName",
           index);
    return "NA";
  }
  return kWlanNames[index];
}

std::string WlanFlashTable(const std::string& ifname) {
  for (int i = 0; i < kWlanNameCount; ++i) {
    if (ifname == kWlanNames[i]) {
      return (i < 4 ? "WLAN_MBSSIB_TBL." : "WLAN1_MBSSIB_TBL.") + std::to_string(i % 4);
    }
  }
  LogOut(LL_ERR, "%s: Invalid wlan ifname", "Rtl8192GetWlanFlashTable");
  return "WLAN1_MBSSIB_TBL.-1";
}

bool IsKnownWlanIf(const char* ifname) {
  if (!ifname) return false;
  for (const char* name : kWlanNames) {
    if (std::strcmp(ifname, name) == 0) return true;
  }
  return false;
}

bool IsSafeIfName(const char* ifname) {
  if (!ifname || !*ifname) return false;
  size_t n = strnlen(ifname, kMaxIfNameChars + 1);
  if (n > kMaxIfNameChars) return false;
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(ifname[i]);
    if (!std::isalnum(c) && c != '_' && c != '.' && c != '-') return false;
  }
  return ifname[0] != '-';
}

ExecResult RunTool(const std::vector<std::string>& argv) {
  // A router tool gets its time-out on the router's clock, but never less than a couple of real
  // seconds: a short time scale must not kill a tool on a loaded machine.
  auto floor = std::chrono::milliseconds(static_cast<long>(kToolMinRealMs / zc::TimeScale()));
  return RunArgv(argv, std::max<std::chrono::milliseconds>(kShellOutputTimeout, floor));
}

std::optional<std::string> FlashGet(const std::string& name) {
  return FlashRead(name).value;
}

FlashReading FlashRead(const std::string& name) {
  ExecResult r = RunTool({"flash", "get", name});
  if (r.status < 0 && !r.timedOut && r.output.empty()) {
    LogOut(LL_ERR, "%s", "Rtl8192GetStringFlashValue: popen failed, exiting zuncore");
    ExitLog("Rtl8192GetStringFlashValue: popen failed, exiting zuncore");
  }
  std::optional<std::string> value;
  std::istringstream in(r.output);
  std::string line;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    value = line.substr(eq + 1);
  }
  if (r.timedOut && !value) {
    LogOut(LL_ERR, "%s: flash get %s timed out", "Rtl8192GetStringFlashValue", name.c_str());
  }
  return {value, r.timedOut && !value};
}

std::string FlashGetString(const std::string& name, size_t capacity) {
  std::string value = FlashGet(name).value_or("");
  if (capacity > 0 && value.size() > capacity - 1) value.resize(capacity - 1);
  return value;
}

long FlashGetInt(const std::string& name) {
  auto value = FlashGet(name);
  if (!value) return -1;
  return std::atol(value->c_str());
}

int FlashSet(const std::string& name, const std::string& value) {
  ExecResult r = RunTool({"flash", "set", name, value});
  if (r.status != 0) {
    LogOut(LL_ERR, "%s: flash set %s failed (status %d)", "Rtl8192SetFlashValue", name.c_str(),
           r.status);
    return -1;
  }
  return 0;
}

int FlashSetInt(const std::string& name, long value) {
  return FlashSet(name, std::to_string(value));
}

int InterfaceMac(const char* ifname, char (&mac)[kMacTextLen]) {
  if (!IsSafeIfName(ifname)) return -1;
  ifreq ifr{};
  CopyField(ifr.ifr_name, IFNAMSIZ, ifname);
  if (DriverRequest(SIOCGIFHWADDR, &ifr) != 0) return -1;
  uint8_t bytes[6];
  std::memcpy(bytes, ifr.ifr_hwaddr.sa_data, 6);
  std::string text = FormatMac(bytes, true);
  CopyField(mac, text.c_str());
  return 0;
}

int InterfaceIpv4(const char* ifname, char (&ip)[kIpv4TextLen]) {
  if (!IsSafeIfName(ifname)) return -1;
  ifreq ifr{};
  CopyField(ifr.ifr_name, IFNAMSIZ, ifname);
  ifr.ifr_addr.sa_family = AF_INET;
  if (DriverRequest(SIOCGIFADDR, &ifr) != 0) return -1;
  sockaddr_in sin{};
  std::memcpy(&sin, &ifr.ifr_addr, sizeof sin);
  char text[INET_ADDRSTRLEN];
  if (!inet_ntop(AF_INET, &sin.sin_addr, text, sizeof text)) return -1;
  CopyField(ip, text);
  return 0;
}

int InterfaceRunning(const char* ifname) {
  if (!IsSafeIfName(ifname)) return -1;
  ifreq ifr{};
  CopyField(ifr.ifr_name, IFNAMSIZ, ifname);
  if (DriverRequest(SIOCGIFFLAGS, &ifr) != 0) return -1;
  return (ifr.ifr_flags & IFF_RUNNING) ? 1 : 0;
}

std::optional<std::string> ReadRouterFile(std::string_view routerPath, size_t maxBytes) {
  return zc::ReadFile(zc::RootPath(routerPath), maxBytes);
}

std::string FirstLine(const std::string& text) {
  size_t nl = text.find('\n');
  return nl == std::string::npos ? text : text.substr(0, nl);
}

std::string FirstToken(const std::string& text) {
  std::istringstream in(text);
  std::string token;
  in >> token;
  return token;
}

std::string Trim(std::string_view text) {
  size_t b = 0, e = text.size();
  while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) --e;
  return std::string(text.substr(b, e - b));
}

uint64_t ParseU64(std::string_view text) {
  std::string s = Trim(text);
  if (s.empty() || s[0] == '-') return 0;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(s.c_str(), &end, 0);
  if (end == s.c_str() || errno == ERANGE) return 0;
  return v;
}

bool ParseColonMac(const char* text, uint8_t (&mac)[6]) {
  if (!text || std::strlen(text) != 17) return false;
  for (int i = 0; i < 6; ++i) {
    const char* p = text + i * 3;
    if (!std::isxdigit(static_cast<unsigned char>(p[0])) ||
        !std::isxdigit(static_cast<unsigned char>(p[1])) || (i < 5 && p[2] != ':')) {
      return false;
    }
    char hex[3] = {p[0], p[1], 0};
    mac[i] = static_cast<uint8_t>(std::strtoul(hex, nullptr, 16));
  }
  return true;
}

std::string CanonicalMac(const char* text) {
  if (!text) return {};
  return NormalizeMac(text);
}

std::string FormatMac(const uint8_t (&mac)[6], bool upper) {
  char buf[kMacTextLen];
  std::snprintf(buf, sizeof buf,
                upper ? "%02X:%02X:%02X:%02X:%02X:%02X" : "%02x:%02x:%02x:%02x:%02x:%02x", mac[0],
                mac[1], mac[2], mac[3], mac[4], mac[5]);
  return buf;
}

bool IsZeroMac(const char* text) {
  return !text || std::strcmp(text, "00:00:00:00:00:00") == 0;
}

int FindInternetWan() {
  for (int i = 0; i < kWanTableEntries; ++i) {
    long type = FlashGetInt("ATM_VC_TBL." + std::to_string(i) + ".applicationtype");
    if (type != -1 && (type & 0x2)) return i;
  }
  return -1;
}

std::string WanIfNameFromIndex(long ifIndex) {
  if (ifIndex == kNoWanIfIndex || ifIndex < 0) return {};
  unsigned long v = static_cast<unsigned long>(ifIndex);
  unsigned bits8 = (v >> 8) & 0xff, bits16 = (v >> 16) & 0xff, low = v & 0xff;
  if (bits8 != 0xff) return "ppp" + std::to_string(bits8);
  switch (bits16) {
    case 0:
      return "vc" + std::to_string(low);
    case 1:
      return "nas0_" + std::to_string(low);
    case 2:
      return "ipip" + std::to_string(low);
    default:
      return {};
  }
}

std::string InternetWanIfName() {
  std::lock_guard lock(gWanIfMutex);
  return gWanIfName;
}

void SetInternetWanIfName(const std::string& name) {
  std::lock_guard lock(gWanIfMutex);
  gWanIfName = name;
}

}  // namespace rtl
