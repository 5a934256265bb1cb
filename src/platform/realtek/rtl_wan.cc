// Platform description and WAN records: slots EventPlatformInfoUpdate, EventWanInfoUpdate,
// GetWanInterfacesInfo.
#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/realtek/rtl8192_single_band.h"
#include "platform/realtek/rtl_internal.h"
#include "platform/realtek/stats_parse.h"
#include "utils/curl_handles.h"
#include "utils/files.h"
#include "utils/log.h"
#include "utils/paths.h"
#include "utils/timescale.h"
#include "zc_platform_build.h"  // which platform: ZUNCORE_PLATFORM_SIM or _REALTEK

namespace {

constexpr const char* kPublicAddressFile = "/tmp/wanpub.txt";
constexpr const char* kPppoeConf = "/etc/ppp/pppoe.conf";
constexpr std::chrono::seconds kPublicAddressTimeout{1};
constexpr int kWanTableEntries = 6;
constexpr size_t kPublicAddressMax = 127;

// The what-is-my-address service. The simulated router has none unless a test names one, so a
// development machine never sends traffic outside its own namespaces.
std::string PublicAddressUrl() {
  const char* env = std::getenv("ZUNCORE_PUBLIC_IP_URL");
  if (env) return env;
#if defined(ZUNCORE_PLATFORM_SIM)
  return {};
#else
  return "http://checkip.amazonaws.com/";
#endif
}

size_t CollectBody(char* data, size_t size, size_t count, void* user) {
  auto* body = static_cast<std::string*>(user);
  size_t n = size * count;
  if (body->size() < kPublicAddressMax) body->append(data, std::min(n, kPublicAddressMax));
  return n;
}

// One single-try request of at most a second; the body is kept in /tmp/wanpub.txt.
std::string FetchPublicAddress() {
  std::string url = PublicAddressUrl();
  if (url.empty()) return {};
  zc::curl::EasyPtr curl(curl_easy_init());
  if (!curl) return {};
  std::string body;
  long ms = zc::Scaled(kPublicAddressTimeout).count();
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT_MS, ms);
  curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT_MS, ms);
  curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, CollectBody);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &body);
  if (curl_easy_perform(curl.get()) != CURLE_OK) body.clear();
  zc::WriteFileAtomic(zc::RootPath(kPublicAddressFile), body);
  auto saved = zc::ReadFile(zc::RootPath(kPublicAddressFile), kPublicAddressMax);
  return saved ? rtl::Trim(rtl::FirstLine(*saved)) : std::string();
}

std::string BogoMips() {
  auto text = rtl::ReadRouterFile("/proc/cpuinfo");
  return text ? rtl::BogoMips(*text) : std::string();
}

template <size_t N>
void SetOrNa(char (&field)[N], const std::string& value) {
  CopyField(field, value.empty() ? "NA" : value.c_str());
}

}  // namespace

int Rtl8192EventPlatformInfoUpdate(PlatformInfoRecord* info) {
  if (!info) return -1;
  *info = PlatformInfoRecord{};
  std::string productClass = rtl::FlashGetString("HW_CWMP_PRODUCTCLASS", 128);
  std::string serial = rtl::FlashGetString("HW_SERIAL_NO", 128);
  std::string elanMac = rtl::FlashGetString("ELAN_MAC_ADDR", 128);
  std::string oui = elanMac.substr(0, std::min<size_t>(6, elanMac.size()));
  for (auto& c : oui) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  SetOrNa(info->hardware, productClass);
  SetOrNa(info->deviceIdentity, oui.empty() && productClass.empty() && serial.empty()
                                    ? std::string()
                                    : oui + "-" + productClass + "-" + serial);
  SetOrNa(info->hardwareVersion, rtl::FlashGetString("HW_HWVER", 128));
  // "/etc/version": "<software version> -- <build time>".
  std::string version, buildTime;
  if (auto text = rtl::ReadRouterFile("/etc/version", 4096)) {
    rtl::SplitVersionLine(*text, &version, &buildTime);
  }
  SetOrNa(info->softwareVersion, version);
  SetOrNa(info->softwareBuildTime, buildTime);
  SetOrNa(info->voipStackName, "");
  SetOrNa(info->modelName, rtl::FlashGetString("HW_MODEL_NAME", 128));
  SetOrNa(info->serialNumber, serial);
  SetOrNa(info->ponSerialNumber, rtl::FlashGetString("GPON_SN", 128));
  SetOrNa(info->manufacturer, rtl::FlashGetString("HW_CWMP_MANUFACTURER", 128));
  long ponMode = rtl::FlashGetInt("PON_MODE");
  SetOrNa(info->ponMode, ponMode == 1 ? "GPON" : ponMode == 2 ? "EPON" : "");
  SetOrNa(info->oui, oui);
  SetOrNa(info->processorSpeed, BogoMips());
  SetOrNa(info->bootloaderVersion, "");
  SetOrNa(info->lastRebootReason, "");
  SetOrNa(info->publicAddress, FetchPublicAddress());
  return 0;
}

int Rtl8192EventWanInfoUpdate(WanStatusRecord* wan) {
  if (!wan) return -1;
  int index = rtl::FindInternetWan();
  if (index < 0) {
    CopyField(wan->publicIpv6, "NA");
    return 0;
  }
  std::string table = "ATM_VC_TBL." + std::to_string(index) + ".";
  switch (rtl::FlashGetInt(table + "ChannelMode")) {
    case 0:
      wan->proto = 4;
      break;
    case 1:
      wan->proto = 2;
      break;
    case 2:
      wan->proto = 3;
      break;
    default:
      break;
  }
  std::string ifname = rtl::WanIfNameFromIndex(rtl::FlashGetInt(table + "ifIndex"));
  CopyField(wan->ifname, ifname.c_str());
  char mac[kMacTextLen] = "";
  if (rtl::InterfaceMac(ifname.c_str(), mac) != 0 || rtl::IsZeroMac(mac)) {
    // PPPoE: the MAC of the interface the session runs over (second line of pppoe.conf).
    std::string lower;
    if (auto text = rtl::ReadRouterFile(kPppoeConf, 4096)) lower = rtl::PppoeLowerInterface(*text);
    if (lower.empty() || rtl::InterfaceMac(lower.c_str(), mac) != 0) {
      LogOut(LL_ERR, "%s", "main: Unable to get the device wan mac address");
      return -1;
    }
  }
  CopyField(wan->mac, mac);
  CopyField(wan->pppoeUserName, rtl::FlashGetString(table + "pppUser", 64).c_str());
  char ip[kIpv4TextLen];
  if (rtl::InterfaceIpv4(ifname.c_str(), ip) == 0) CopyField(wan->wanIpv4, ip);
  CopyField(wan->wanIpv6, "NA");
  CopyField(wan->publicIpv4, "NA");
  CopyField(wan->publicIpv6, "NA");
  return 0;
}

int Rtl8192GetWanInterfacesInfo(WanInterfaceRecord** list, uint8_t* count) {
  if (!list || !count) return -1;
  *list =
      static_cast<WanInterfaceRecord*>(std::calloc(kWanTableEntries, sizeof(WanInterfaceRecord)));
  *count = 0;
  if (!*list) {
    LogOut(LL_ERR, "%s: allocation failed", __func__);
    return 0;
  }
  for (int i = 0; i < kWanTableEntries; ++i) {
    std::string name = "nas0_" + std::to_string(i);
    char mac[kMacTextLen];
    if (rtl::InterfaceMac(name.c_str(), mac) != 0 || rtl::IsZeroMac(mac)) continue;
    WanInterfaceRecord& r = (*list)[*count];
    CopyField(r.ifname, name.c_str());
    CopyField(r.mac, mac);
    char ip[kIpv4TextLen];
    CopyField(r.ipv4, rtl::InterfaceIpv4(name.c_str(), ip) == 0 ? ip : "NA");
    ++*count;
  }
  return 0;
}
