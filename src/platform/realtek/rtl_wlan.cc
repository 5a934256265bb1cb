// Wi-Fi interfaces: slots GetWlanInfo, GetWlanSsidTrafficStats, GetWlanTotalConnectedSTA,
// GetWlanSTAInfoAll, SetWlanSsid, SetWlanPassPhrase, SetMaxSta, GetMib.
#include "platform/realtek/rtl_wlan.h"

// net/if.h must come before the kernel headers.
#include <net/if.h>

#include <linux/wireless.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/realtek/driver_abi.h"
#include "platform/realtek/driver_request.h"
#include "platform/realtek/rtl8192_single_band.h"
#include "platform/realtek/rtl_internal.h"
#include "platform/realtek/wlan_parse.h"
#include "utils/log.h"

namespace rtl {
namespace {

constexpr size_t kPassphraseReadMax = 64;  // WPA keys are 8 to 63 characters (64 hex digits)
constexpr size_t kCountryLen = 4;
constexpr size_t kHiddenApHexOffset = 12;
constexpr uint8_t kFixedTxPower = 27;

std::string StatsPath(const char* ifname) {
  return std::string("/proc/") + ifname + "/stats";
}
std::string StaInfoPath(const char* ifname) {
  return std::string("/proc/") + ifname + "/sta_info";
}

}  // namespace

int GetMibValue(const char* ifname, const char* name, std::vector<uint8_t>* value) {
  value->clear();
  if (!IsSafeIfName(ifname) || !name || std::strlen(name) >= kMibRequestLen) return -1;
  std::vector<uint8_t> buf(kMibRequestLen, 0);
  std::memcpy(buf.data(), name, std::strlen(name));
  iwreq wrq{};
  CopyField(wrq.ifr_name, IFNAMSIZ, ifname);
  wrq.u.data.pointer = buf.data();
  wrq.u.data.length = static_cast<uint16_t>(buf.size());
  if (DriverRequest(kReqGetMib, &wrq) != 0) {
    LogOut(LL_DEBUG, "iw_ioctl error %d : %s\n", errno, std::strerror(errno));
    LogOut(LL_ERR, "Rtl8192GetMib: failed for iface:%s cmd:%s ", ifname, name);
    return -1;
  }
  size_t n = std::min<size_t>(wrq.u.data.length, buf.size());
  value->assign(buf.begin(), buf.begin() + static_cast<long>(n));
  return 0;
}

uint32_t GetMibInt(const char* ifname, const char* name) {
  std::vector<uint8_t> v;
  if (GetMibValue(ifname, name, &v) != 0 || v.empty()) return 0;
  if (v.size() == 1) return v[0];
  if (v.size() == 2) {
    uint16_t x;
    std::memcpy(&x, v.data(), 2);
    return x;
  }
  uint32_t x;
  std::memcpy(&x, v.data(), 4);
  return x;
}

uint8_t GetMibFirstByte(const char* ifname, const char* name) {
  std::vector<uint8_t> v;
  if (GetMibValue(ifname, name, &v) != 0 || v.empty()) return 0;
  return v[0];
}

int SetMib(const char* ifname, const std::string& text) {
  if (!IsSafeIfName(ifname) || text.size() >= kMibRequestLen) return -1;
  std::vector<char> buf(kMibRequestLen, 0);
  std::memcpy(buf.data(), text.data(), text.size());
  iwreq wrq{};
  CopyField(wrq.ifr_name, IFNAMSIZ, ifname);
  wrq.u.data.pointer = buf.data();
  wrq.u.data.length = static_cast<uint16_t>(text.size() + 1);
  if (DriverRequest(kReqSetMib, &wrq) != 0) {
    LogOut(LL_DEBUG, "iw_ioctl error %d : %s\n", errno, std::strerror(errno));
    LogOut(LL_ERR, "Rtl8192SetMib: failed for cmd: %s\n", text.c_str());
    return -1;
  }
  return 0;
}

}  // namespace rtl

int Rtl8192GetMib(const char* ifname, const char* mib, char* out) {
  if (!out) return -1;
  std::memset(out, 0, kMibBufferLen);
  std::vector<uint8_t> value;
  if (rtl::GetMibValue(ifname, mib, &value) != 0) return -1;
  std::memcpy(out, value.data(), std::min(value.size(), kMibBufferLen));
  return 0;
}

int Rtl8192GetWlanInfo(int index, WlanInfoEntry* e) {
  if (!e) return -1;
  *e = WlanInfoEntry{};
  CopyField(e->phy, index >= 4 && index <= 7 ? "phy1" : "phy0");
  std::string ifname = rtl::WlanInterfaceName(index);
  CopyField(e->ifname, ifname.c_str());
  const char* name = e->ifname;

  e->active = rtl::InterfaceRunning(name) == 1 ? 1 : 0;
  LogOut(LL_DEBUG, "%s Radio %s status is :%d", __func__, name, e->active);

  std::string table = rtl::WlanFlashTable(ifname);
  CopyField(e->ssid, rtl::FlashGetString(table + ".ssid", kSsidLen).c_str());
  CopyField(e->passphrase,
            rtl::FlashGetString(table + ".wpaPSK", rtl::kPassphraseReadMax + 1).c_str());

  std::string bssid;
  if (rtl::IsSafeIfName(name)) {
    auto text = rtl::ReadRouterFile("/sys/class/net/" + ifname + "/address", 64);
    if (text) bssid = rtl::Trim(*text);
  }
  if (bssid.empty()) LogOut(LL_ERR, "%s", "Rtl8192GetWlanInfo: Unable to get the WLAN BSSID");
  CopyField(e->bssid, bssid.empty() ? "NA" : bssid.c_str());

  if (rtl::IsSafeIfName(name)) {
    ExecResult r = rtl::RunTool({"iwpriv", ifname, "get_mib", "hiddenAP"});
    size_t nl = r.output.find('\n');
    std::string line2 = nl == std::string::npos ? "" : rtl::FirstLine(r.output.substr(nl + 1));
    long hidden = line2.size() > rtl::kHiddenApHexOffset
                      ? std::strtol(line2.c_str() + rtl::kHiddenApHexOffset, nullptr, 16)
                      : 0;
    e->hidden = hidden != 0 ? 1 : 0;
    LogOut(LL_DEBUG, "%s: hiddenAP:%ld", __func__, hidden);
  }

  e->guest = 0;
  uint32_t sgi20 = rtl::GetMibInt(name, "shortGI20M");
  uint32_t sgi40 = sgi20 ? 0 : rtl::GetMibInt(name, "shortGI40M");
  e->sgi = sgi20 || sgi40 ? 1 : 0;
  LogOut(LL_DEBUG, "short guard 20M:%u short guard 40M:%u", sgi20, sgi40);

  e->beaconInterval = rtl::GetMibInt(name, "bcnint");
  LogOut(LL_DEBUG, "Beacon interval :%u", e->beaconInterval);

  CopyField(e->country,
            rtl::FlashGetString(ifname.find("wlan0") != std::string::npos ? "HW_WLAN0_COUNTRYSTR"
                                                                          : "HW_WLAN1_COUNTRYSTR",
                                rtl::kCountryLen)
                .c_str());

  e->channel = static_cast<uint8_t>(rtl::GetMibInt(name, "channel"));
  LogOut(LL_DEBUG, "channel number :%u", e->channel);
  e->txPower = rtl::kFixedTxPower;
  e->band = rtl::BandFromChannel(e->channel);

  uint32_t opmode = rtl::GetMibInt(name, "opmode");
  e->mode = rtl::OperModeFromOpmode(opmode);
  LogOut(LL_DEBUG, "%s: opmode:%u", __func__, opmode);

  uint8_t band = rtl::GetMibFirstByte(name, "band");
  e->standard = rtl::StandardFromBand(band);
  LogOut(LL_DEBUG, "eNwType:%u", band);

  uint8_t encmode = rtl::GetMibFirstByte(name, "encmode");
  uint32_t psk = rtl::GetMibInt(name, "psk_enable");
  uint32_t wpa = rtl::GetMibInt(name, "wpa_cipher");
  uint32_t wpa2 = rtl::GetMibInt(name, "wpa2_cipher");
  rtl::EncryptionAndSecurity(encmode, psk, wpa, wpa2, &e->encryption, &e->security);
  LogOut(LL_DEBUG, "%s: enc_mode :%u psk:%u wpa_cipher:%u wpa2_cipher:%u", __func__, encmode, psk,
         wpa, wpa2);

  uint32_t use40 = rtl::GetMibInt(name, "use40M");
  e->channelWidth = rtl::ChannelWidthFromUse40M(use40);
  LogOut(LL_DEBUG, "%s: bw:%u", __func__, use40);
  return 0;
}

int Rtl8192GetWlanSsidTrafficStats(const char* ifname, WlanInfoEntry* entry) {
  if (!entry || !rtl::IsSafeIfName(ifname)) return -1;
  auto text = rtl::ReadRouterFile(rtl::StatsPath(ifname));
  if (!text) {
    for (auto& c : entry->counters) c = 0;
    LogOut(LL_ERR, "%s line:%d failed to open file\n", __func__, __LINE__);
    return -1;
  }
  rtl::ParseWlanStats(*text, entry->counters);
  return 0;
}

int Rtl8192GetWlanTotalConnectedSTA(const char* ifname, uint8_t* count) {
  if (!count || !rtl::IsSafeIfName(ifname)) return -1;
  auto text = rtl::ReadRouterFile(rtl::StaInfoPath(ifname));
  if (!text) {
    LogOut(LL_ERR, "%s line:%d failed to open file:%s\n", __func__, __LINE__,
           rtl::StaInfoPath(ifname).c_str());
    return -1;
  }
  unsigned n = rtl::CountStaInfo(*text);
  *count = static_cast<uint8_t>(n > 255 ? 255 : n);
  return 0;
}

int Rtl8192GetWlanSTAInfoAll(const char* ifname, WlanInfoEntry* entry) {
  if (!entry) return -1;
  uint32_t wanted = entry->stationCount;
  entry->stations = nullptr;
  entry->stationCount = 0;
  if (wanted == 0) return 0;
  if (!rtl::IsSafeIfName(ifname)) return -1;
  auto text = rtl::ReadRouterFile(rtl::StaInfoPath(ifname));
  if (!text) {
    LogOut(LL_ERR, "%s line:%d failed to open file\n", __func__, __LINE__);
    return -1;
  }
  // Only stations actually listed: one that left between the count and this read is not
  // reported as an empty record.
  std::vector<StationRecord> parsed = rtl::ParseStaInfo(*text, wanted);
  if (parsed.empty()) return 0;
  auto** array = static_cast<StationRecord**>(std::calloc(parsed.size(), sizeof(StationRecord*)));
  if (!array) {
    LogOut(LL_ERR, "%s line:%d Failed to allocate memory\n", __func__, __LINE__);
    return -1;
  }
  entry->stations = array;
  for (const auto& station : parsed) {
    auto* r = static_cast<StationRecord*>(std::malloc(sizeof(StationRecord)));
    if (!r) {
      LogOut(LL_ERR, "%s line:%d Failed to allocate memory\n", __func__, __LINE__);
      return -1;
    }
    *r = station;
    if (auto client = rtl::FindClientCopy(r->mac, nullptr)) {
      CopyField(r->ip, client->ip);
    } else {
      LogOut(LL_DEBUG, "%s: client MAC: %s don't have IP", __func__, r->mac);
    }
    array[entry->stationCount++] = r;
  }
  return 0;
}

int Rtl8192SetWlanSsid(const char* ifname, const char* ssid) {
  if (!rtl::IsKnownWlanIf(ifname) || !ssid) {
    LogOut(LL_ERR, "%s: invalid interface", __func__);
    return -1;
  }
  size_t len = std::strlen(ssid);
  if (len == 0 || len > kSsidMaxLen || std::strchr(ssid, '\n')) {
    LogOut(LL_ERR, "%s: invalid SSID (length %zu)", __func__, len);
    return -1;
  }
  std::string setting = rtl::WlanFlashTable(ifname) + ".ssid";
  LogOut(LL_INFO, "flashcmd:- flash set %s %s\n", setting.c_str(), ssid);
  if (rtl::FlashSet(setting, ssid) != 0) return -1;
  return rtl::SetMib(ifname, std::string("ssid=") + ssid);
}

int Rtl8192SetWlanPassPhrase(const char* ifname, const char* passphrase) {
  if (!rtl::IsKnownWlanIf(ifname) || !passphrase) {
    LogOut(LL_ERR, "%s: invalid interface", __func__);
    return -1;
  }
  size_t len = std::strlen(passphrase);
  if (len > rtl::kPassphraseReadMax || std::strchr(passphrase, '\n')) {
    LogOut(LL_ERR, "%s: invalid passphrase (length %zu)", __func__, len);
    return -1;
  }
  std::string setting = rtl::WlanFlashTable(ifname) + ".wpaPSK";
  LogOut(LL_INFO, "flash cmd flash set %s %s", setting.c_str(), passphrase);
  if (rtl::FlashSet(setting, passphrase) != 0) return -1;
  return rtl::SetMib(ifname, std::string("passphrase=") + passphrase);
}

int Rtl8192SetMaxSta(const char* ifname, int maxStations) {
  if (!rtl::IsKnownWlanIf(ifname) || maxStations < 0) return -1;
  return rtl::SetMib(ifname, "total_max_sta=" + std::to_string(maxStations));
}
