// Site survey and channel optimisation: slots GetNeighorAPDetails and OptimizeWifi.
// net/if.h must come before the kernel headers.
#include <net/if.h>

#include <linux/wireless.h>
#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/realtek/driver_abi.h"
#include "platform/realtek/driver_request.h"
#include "platform/realtek/rtl8192_single_band.h"
#include "platform/realtek/rtl_internal.h"
#include "platform/realtek/rtl_wlan.h"
#include "platform/realtek/wlan_parse.h"
#include "utils/log.h"
#include "utils/timescale.h"

namespace {

constexpr uint32_t kErrBadInterface = 1;
constexpr uint32_t kErrDriver = 2;
constexpr int kSurveyRequestTries = 7;
constexpr int kSurveyResultPolls = 32;
constexpr std::chrono::seconds kSurveyStep{1};
constexpr std::chrono::seconds kAutoChannelSettle{5};
constexpr uint64_t kSurveyLoadLimitMbps = 10;
constexpr int kBytesPerSecondToMbpsShift = 17;

int WifiRequest(unsigned long request, void* data, uint16_t length) {
  iwreq wrq{};
  CopyField(wrq.ifr_name, IFNAMSIZ, "wlan0");
  wrq.u.data.pointer = data;
  wrq.u.data.length = length;
  return rtl::DriverRequest(request, &wrq);
}

int Fail(uint32_t* error, uint32_t code, const char* message) {
  LogOut(LL_ERR, "%s", message);
  *error = code;
  return -1;
}

}  // namespace

namespace rtl {

// One survey entry of the driver's result buffer as a record; the SSID is cut to 32 bytes and
// always terminated, whatever length the entry claims.
NeighborApRecord SurveyEntryToRecord(const uint8_t* e, uint32_t band) {
  NeighborApRecord r{};
  size_t ssidLen = std::min<size_t>(e[kSurveySsidLenOff], kSurveySsidMax);
  std::memcpy(r.ssid, e + kSurveySsidOff, ssidLen);
  r.ssid[ssidLen] = '\0';
  uint8_t mac[6];
  std::memcpy(mac, e + kSurveyBssidOff, 6);
  CopyField(r.bssid, FormatMac(mac, false).c_str());
  uint16_t beacon;
  std::memcpy(&beacon, e + kSurveyBeaconOff, 2);
  r.beaconPeriod = beacon;
  r.dtimPeriod = e[kSurveyDtimOff];
  r.channel = e[kSurveyChannelOff];
  r.rssi = static_cast<int8_t>(static_cast<int>(e[kSurveySignalOff]) - 100);
  r.noise = 0;
  r.band = band;
  uint32_t type;
  std::memcpy(&type, e + kSurveyNetworkTypeOff, 4);
  r.mode = type == 1 ? 2 : 1;
  return r;
}

}  // namespace rtl

int Rtl8192GetNeighorAPDetails(NeighborApRecord** results, const char* ifname, uint32_t* count,
                               uint32_t* error) {
  if (!results || !count || !error) return -1;
  *results = nullptr;
  *count = 0;
  *error = 0;
  uint32_t band = 0;
  int index = FindWlanInfoIndex(ifname);
  if (index >= 0) band = GetWlanInfoEntry(index)->band;
  LogOut(LL_DEBUG, "%s eFrequencyBand:%u", __func__, band);
  if (!ifname || !std::strstr(ifname, "wlan0") || !rtl::IsSafeIfName(ifname)) {
    return Fail(error, kErrBadInterface, "Rtl8192GetNeighorAPDetails: Invalid wlan iface");
  }
  if (auto stats = rtl::ReadRouterFile("/proc/wlan0/stats")) {
    uint64_t load = rtl::StatsValue(*stats, "tx_avarage") + rtl::StatsValue(*stats, "rx_avarage");
    if ((load >> kBytesPerSecondToMbpsShift) > kSurveyLoadLimitMbps) {
      LogOut(LL_WARN, "Rtl8192GetNeighorAPDetails: detected traffic > %d Mbps, skip SiteSurvey\n",
             static_cast<int>(kSurveyLoadLimitMbps));
      *error = kErrDriver;
      return -1;
    }
  }
  iwreq check{};
  CopyField(check.ifr_name, IFNAMSIZ, "wlan0");
  if (rtl::DriverRequest(rtl::kReqCheckIf, &check) != 0) {
    return Fail(error, kErrDriver, "Rtl8192GetNeighorAPDetails: Site-survey request failed!");
  }
  bool accepted = false;
  for (int attempt = 0; attempt < kSurveyRequestTries && !accepted; ++attempt) {
    uint8_t answer[4] = {};
    if (WifiRequest(rtl::kReqSurveyRequest, answer, sizeof answer) != 0) {
      return Fail(error, kErrDriver, "Rtl8192GetNeighorAPDetails: Site-survey request failed!");
    }
    accepted = answer[0] == 0;
    if (!accepted) zc::SleepScaled(kSurveyStep);
  }
  if (!accepted) {
    return Fail(error, kErrDriver, "Rtl8192GetNeighorAPDetails: scan request timeout!");
  }
  std::vector<uint8_t> buf(rtl::kSurveyBufferLen, 0);
  bool done = false;
  for (int poll = 0; poll < kSurveyResultPolls; ++poll) {
    zc::SleepScaled(kSurveyStep);
    if (WifiRequest(rtl::kReqSurveyResult, buf.data(), static_cast<uint16_t>(buf.size())) != 0) {
      return Fail(error, kErrDriver, "Rtl8192GetNeighorAPDetails: Read site-survey status failed!");
    }
    if (buf[0] != rtl::kSurveyBusy) {
      done = true;
      break;
    }
  }
  if (!done) return Fail(error, kErrDriver, "Rtl8192GetNeighorAPDetails: scan timeout!");
  size_t n = std::min<size_t>(buf[0], rtl::kSurveyMaxEntries);
  if (n == 0) return 0;
  auto* records = static_cast<NeighborApRecord*>(std::calloc(n, sizeof(NeighborApRecord)));
  if (!records) {
    return Fail(error, kErrBadInterface, "Rtl8192GetNeighorAPDetails: dmt_malloc failed");
  }
  for (size_t i = 0; i < n; ++i) {
    records[i] = rtl::SurveyEntryToRecord(buf.data() + 1 + i * rtl::kSurveyEntrySize, band);
  }
  *results = records;
  *count = static_cast<uint32_t>(n);
  return 0;
}

int Rtl8192OptimizeWifi(const char* ifname, uint8_t* oldChannel, uint8_t* newChannel,
                        uint32_t* error) {
  if (!oldChannel || !newChannel || !error) return -1;
  *error = 0;
  if (!ifname || !rtl::IsSafeIfName(ifname)) {
    return Fail(error, kErrBadInterface, "Rtl8192GetNeighorAPDetails: Invalid wlan iface");
  }
  for (int i = 0; i < kWlanInfoCount; ++i) {
    RefreshWlanInfoEntry(i);
    auto e = GetWlanInfoEntry(i);
    if (e && strcasecmp(e->ifname, ifname) == 0) {
      *oldChannel = e->channel;
      break;
    }
  }
  LogOut(LL_DEBUG, "%s pOldChannelNum:%u", __func__, *oldChannel);
  if (!ifname || !std::strstr(ifname, "wlan0") || !rtl::IsSafeIfName(ifname)) {
    return Fail(error, kErrBadInterface, "Rtl8192GetNeighorAPDetails: Invalid wlan iface");
  }
  rtl::FlashSetInt("AUTO_CHANNEL", 1);
  uint8_t arg[rtl::kAutoChannelArgLen] = {};
  if (WifiRequest(rtl::kReqAutoChannel, arg, sizeof arg) != 0) {
    LogOut(LL_ERR, "Rtl8192GetNeighorAPDetails: ioctl error %d, err: %s", errno,
           std::strerror(errno));
    *error = kErrDriver;
    return -1;
  }
  zc::SleepScaled(kAutoChannelSettle);
  std::vector<uint8_t> value;
  if (rtl::GetMibValue("wlan0", "channel", &value) != 0 || value.empty()) {
    return Fail(error, kErrDriver, "Rtl8192GetNeighorAPDetails: Get channel failed!");
  }
  *newChannel = value[0];
  return 0;
}
