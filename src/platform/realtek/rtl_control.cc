// Router controls: slots SetInterfaceDown/Up, PauseClient, PlayClient, LEDControl, PhyPower,
// DisconnectStation, BlockStation, UnblockStation, UpdateSLAndACS, CreateWANandUpdateACS,
// GetLanConfig, SetLanConfig.
// net/if.h must come before the kernel headers.
#include <net/if.h>

#include <linux/wireless.h>

#include <cerrno>
#include <cstring>

#include "platform/realtek/driver_abi.h"
#include "platform/realtek/driver_request.h"
#include "platform/realtek/rtk_api.h"
#include "platform/realtek/rtl8192_single_band.h"
#include "platform/realtek/rtl_internal.h"
#include "utils/log.h"
#include "utils/paths.h"
#include "utils/timescale.h"
#include "utils/validate.h"

namespace {

constexpr const char* kMacFilterChain = "macfilter_r";
constexpr const char* kEbtables = "/bin/ebtables";
constexpr uint32_t kPhyPowerDownBit = 0x0800;
constexpr int kLanPortCount = 2;
constexpr int kLedBlinkCount = 3;
constexpr std::chrono::seconds kLedBlinkStep{1};
constexpr int kWanTableEntries = 6;
constexpr int kCwmpFlagManaged = 112;

std::string Ebtables() {
  return zc::RootPath(kEbtables);
}

bool RunOk(const std::vector<std::string>& argv) {
  ExecResult r = rtl::RunTool(argv);
  if (r.status != 0) {
    LogOut(LL_ERR, "%s: %s failed (status %d)", "Rtl8192RunTool", argv[0].c_str(), r.status);
    return false;
  }
  return true;
}

std::vector<std::string> EbtablesRule(const char* op, const std::string& mac) {
  return {Ebtables(), op, kMacFilterChain, "-s", mac, "-j", "DROP"};
}

std::vector<std::string> IptablesRule(const char* op, const std::string& mac) {
  return {"iptables", "-t",           "nat", op,   kMacFilterChain, "-m",
          "mac",      "--mac-source", mac,   "-j", "DROP"};
}

int SetLinkState(const char* ifname, const char* state) {
  if (!rtl::IsSafeIfName(ifname)) {
    LogOut(LL_ERR, "%s: invalid interface name", "Rtl8192SetInterface");
    return -1;
  }
  rtl::RunTool({"ifconfig", ifname, state});
  return 0;
}

// A station request on wlan0; data is the MAC in the form the request takes.
int StationRequest(unsigned long request, const char* what, void* data, uint16_t length) {
  iwreq wrq{};
  CopyField(wrq.ifr_name, IFNAMSIZ, "wlan0");
  wrq.u.data.pointer = data;
  wrq.u.data.length = length;
  if (rtl::DriverRequest(request, &wrq) != 0) {
    LogOut(LL_ERR, "%s: driver request failed: %s", what, std::strerror(errno));
  }
  return 0;
}

bool ParseStationMac(const char* text, uint8_t (&bytes)[6], const char* slot) {
  std::string mac = rtl::CanonicalMac(text);
  if (mac.empty() || !rtl::ParseColonMac(mac.c_str(), bytes)) {
    LogOut(LL_ERR, "%s: invalid MAC", slot);
    return false;
  }
  return true;
}

bool ValidOptionalIp(const char* text) {
  return !*text || IsValidIpAddress(text);
}

}  // namespace

int Rtl8192SetInterfaceDown(const char* ifname) {
  return SetLinkState(ifname, "down");
}
int Rtl8192SetInterfaceUp(const char* ifname) {
  return SetLinkState(ifname, "up");
}

int Rtl8192PauseClient(const char* macText, int32_t* filterIndex) {
  uint8_t bytes[6];
  std::string mac = rtl::CanonicalMac(macText);
  if (!filterIndex || mac.empty() || !rtl::ParseColonMac(mac.c_str(), bytes)) {
    LogOut(LL_ERR, "%s: invalid MAC", __func__);
    return -1;
  }
  rtk_rg_macFilterEntry_t entry{};
  std::memcpy(entry.mac, bytes, sizeof bytes);
  int index = -1;
  if (rtk_rg_macFilter_add(&entry, &index) != 0 || index < 0) {
    LogOut(LL_ERR, "Rtl8192PauseClient: rtk_rg_macFilter_add failed!!! mac:%s idx:%d", mac.c_str(),
           index);
    return -1;
  }
  // The bridge and NAT drop rules must both be in place, else the pause is undone and reported.
  bool ok = RunOk({Ebtables(), "-P", kMacFilterChain, "ACCEPT"}) && RunOk(EbtablesRule("-I", mac));
  if (ok && !RunOk(IptablesRule("-I", mac))) {
    RunOk(EbtablesRule("-D", mac));
    ok = false;
  }
  if (!ok) {
    rtk_rg_macFilter_del(index);
    LogOut(LL_ERR, "%s: drop rules for %s failed", __func__, mac.c_str());
    return -1;
  }
  *filterIndex = index;
  return 0;
}

int Rtl8192PlayClient(const char* macText, int32_t filterIndex) {
  std::string mac = rtl::CanonicalMac(macText);
  if (mac.empty() || filterIndex < 0) {
    LogOut(LL_ERR, "%s: invalid MAC or filter index", __func__);
    return -1;
  }
  if (rtk_rg_macFilter_del(filterIndex) != 0) {
    LogOut(LL_ERR, "Rtl8192PlayClient: rtk_rg_macFilter_del failed!!! mac:%s idx:%d", mac.c_str(),
           filterIndex);
    return -1;
  }
  // Rules already gone (a reboot cleared them) are not an error for the client being played.
  if (!RunOk(EbtablesRule("-D", mac)) || !RunOk(IptablesRule("-D", mac))) {
    LogOut(LL_WARN, "%s: drop rule for %s was not present", __func__, mac.c_str());
  }
  return 0;
}

int Rtl8192LEDControl(int mode) {
  auto led = [](const char* state) { return rtl::RunTool({"mpctl", "led", state}).status; };
  switch (mode) {
    case 0:
      led("restore");
      return 0;
    case 1:
      led("off");
      return 0;
    case 2:
      for (int i = 0; i < kLedBlinkCount; ++i) {
        led("off");
        zc::SleepScaled(kLedBlinkStep);
        led("on");
        zc::SleepScaled(kLedBlinkStep);
      }
      led("restore");
      return 0;
    default:
      LogOut(LL_ERR, "%s: invalid mode %d", __func__, mode);
      return -1;
  }
}

int Rtl8192PhyPower(int on) {
  for (uint32_t port = 0; port < kLanPortCount; ++port) {
    uint32_t value = 0;
    if (rtk_port_phyReg_get(port, 0, 0, &value) != 0) {
      LogOut(LL_ERR, "%s: rtk_port_phyReg_get failed for port %u", __func__, port);
      continue;
    }
    value = on ? (value & ~kPhyPowerDownBit) : (value | kPhyPowerDownBit);
    if (rtk_port_phyReg_set(port, 0, 0, value) != 0) {
      LogOut(LL_ERR, "%s: rtk_port_phyReg_set failed for port %u", __func__, port);
    }
  }
  return 0;
}

int Rtl8192DisconnectStation(const char* macText) {
  uint8_t bytes[6];
  if (!ParseStationMac(macText, bytes, __func__)) return -1;
  char hex[13];
  std::snprintf(hex, sizeof hex, "%02x%02x%02x%02x%02x%02x", bytes[0], bytes[1], bytes[2], bytes[3],
                bytes[4], bytes[5]);
  return StationRequest(rtl::kReqDisconnectSta, __func__, hex, sizeof hex);
}

int Rtl8192BlockStation(const char* macText) {
  uint8_t bytes[6];
  if (!ParseStationMac(macText, bytes, __func__)) return -1;
  return StationRequest(rtl::kReqBlockSta, __func__, bytes, sizeof bytes);
}

int Rtl8192UnblockStation(const char* macText) {
  uint8_t bytes[6];
  if (!ParseStationMac(macText, bytes, __func__)) return -1;
  return StationRequest(rtl::kReqUnblockSta, __func__, bytes, sizeof bytes);
}

int Rtl8192UpdateSLAndACS(const AcsConfigRecord* acs) {
  if (!acs) return -1;
  for (const char* field : {acs->url, acs->userName, acs->password}) {
    size_t n = strnlen(field, sizeof acs->url);
    for (size_t i = 0; i < n; ++i) {
      if (static_cast<unsigned char>(field[i]) < 0x20) {
        LogOut(LL_ERR, "%s: control character in the management server settings", __func__);
        return -1;
      }
    }
  }
  // Every write is checked: a refused one ends the update with its failure (logged by FlashSet),
  // so the caller never reports a migration the flash did not take.
  for (int i = 0; i < kWanTableEntries; ++i) {
    std::string t = "ATM_VC_TBL." + std::to_string(i) + ".";
    if (rtl::FlashGetInt(t + "ChannelMode") == 0) continue;
    if (rtl::FlashGetInt(t + "applicationtype") == 2 &&
        rtl::FlashSetInt(t + "applicationtype", 3) != 0) {
      return -1;
    }
    if (rtl::FlashGetInt(t + "ServiceList") == 2 && rtl::FlashSetInt(t + "ServiceList", 3) != 0) {
      return -1;
    }
  }
  if (rtl::FlashSetInt("CWMP_FLAG", kCwmpFlagManaged) != 0) return -1;
  // Fields the cloud left out stay as stored: an empty value never erases a working setting.
  std::string url(acs->url, strnlen(acs->url, sizeof acs->url));
  if (!url.empty() && url != rtl::FlashGet("CWMP_ACS_URL").value_or("") &&
      rtl::FlashSet("CWMP_ACS_URL", url) != 0) {
    return -1;
  }
  std::string user(acs->userName, strnlen(acs->userName, sizeof acs->userName));
  if (!user.empty() && rtl::FlashSet("CWMP_ACS_USERNAME", user) != 0) return -1;
  std::string password(acs->password, strnlen(acs->password, sizeof acs->password));
  if (!password.empty() && rtl::FlashSet("CWMP_ACS_PASSWORD", password) != 0) return -1;
  if (acs->informInterval != 0 &&
      rtl::FlashSetInt("CWMP_INFORM_INTERVAL", acs->informInterval) != 0) {
    return -1;
  }
  return 0;
}

int Rtl8192CreateWANandUpdateACS(void*, void*) {
  return 0;
}

int Rtl8192GetLanConfig(LanConfigRecord* lan) {
  if (!lan) return -1;
  *lan = LanConfigRecord{};
  CopyField(lan->lanIpAddr, rtl::FlashGetString("LAN_IP_ADDR", kIpv4TextLen).c_str());
  CopyField(lan->subnetMask, rtl::FlashGetString("LAN_SUBNET", kIpv4TextLen).c_str());
  CopyField(lan->dhcpPoolStart, rtl::FlashGetString("LAN_DHCP_POOL_START", kIpv4TextLen).c_str());
  CopyField(lan->dhcpPoolEnd, rtl::FlashGetString("LAN_DHCP_POOL_END", kIpv4TextLen).c_str());
  CopyField(lan->dhcpGateway, rtl::FlashGetString("LAN_DHCP_GATEWAY", kIpv4TextLen).c_str());
  lan->leaseTime = static_cast<uint32_t>(rtl::FlashGetInt("LAN_DHCP_LEASE"));
  switch (rtl::FlashGetInt("LAN_DHCP_DNS_OPT")) {
    case 0:  // the router itself
      lan->dnsMode = 1;
      CopyField(lan->dns1, lan->lanIpAddr);
      return 0;
    case 1:
      lan->dnsMode = 1;
      CopyField(lan->dns1, rtl::FlashGetString("DHCPS_DNS1", kIpv4TextLen).c_str());
      CopyField(lan->dns2, rtl::FlashGetString("DHCPS_DNS2", kIpv4TextLen).c_str());
      CopyField(lan->dns3, rtl::FlashGetString("DHCPS_DNS3", kIpv4TextLen).c_str());
      return 0;
    case 2:
      lan->dnsMode = 2;
      return 0;
    default:
      LogOut(LL_ERR, "%s", "Invalid DNS opt mode");
      return -1;
  }
}

int Rtl8192SetLanConfig(LanConfigRecord* lan) {
  if (!lan) return -1;
  // Fields are fixed-width text: make sure each is terminated before use.
  for (char* f : {lan->lanIpAddr, lan->subnetMask, lan->dhcpPoolStart, lan->dhcpPoolEnd,
                  lan->dhcpGateway, lan->dns1, lan->dns2, lan->dns3}) {
    f[kIpv4TextLen - 1] = '\0';
  }
  uint32_t mode = lan->dnsMode;
  if (mode == 1 && std::strcmp(lan->dns1, lan->lanIpAddr) == 0) mode = 0;
  if (mode > 2) {
    LogOut(LL_ERR, "%s", "Invalid DNS opt mode");
    return -1;
  }
  if (!IsValidIpAddress(lan->lanIpAddr) || !IsValidSubnetMask(lan->subnetMask) ||
      !IsValidIpAddress(lan->dhcpPoolStart) || !IsValidIpAddress(lan->dhcpPoolEnd) ||
      !IsValidIpAddress(lan->dhcpGateway) ||
      (mode == 1 && (!IsValidIpAddress(lan->dns1) || !ValidOptionalIp(lan->dns2) ||
                     !ValidOptionalIp(lan->dns3)))) {
    LogOut(LL_ERR, "%s: invalid address in the LAN settings", __func__);
    return -1;
  }
  lan->dnsMode = mode;
  bool ok = rtl::FlashSetInt("LAN_DHCP_DNS_OPT", mode) == 0;
  if (ok && mode == 1) {
    ok = rtl::FlashSet("DHCPS_DNS1", lan->dns1) == 0 &&
         rtl::FlashSet("DHCPS_DNS2", lan->dns2) == 0 &&
         (!*lan->dns3 || rtl::FlashSet("DHCPS_DNS3", lan->dns3) == 0);
  }
  ok = ok && rtl::FlashSet("LAN_IP_ADDR", lan->lanIpAddr) == 0 &&
       rtl::FlashSet("LAN_SUBNET", lan->subnetMask) == 0 &&
       rtl::FlashSet("LAN_DHCP_POOL_START", lan->dhcpPoolStart) == 0 &&
       rtl::FlashSet("LAN_DHCP_POOL_END", lan->dhcpPoolEnd) == 0 &&
       rtl::FlashSet("LAN_DHCP_GATEWAY", lan->dhcpGateway) == 0 &&
       rtl::FlashSetInt("LAN_DHCP_LEASE", lan->leaseTime) == 0;
  return ok ? 0 : -1;
}
