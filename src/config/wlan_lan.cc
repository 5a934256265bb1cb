// Wi-Fi (SSID and passphrase) and LAN settings from the cloud, applied through the platform
// operations. Everything a message asks for is validated before the first change.
#include <arpa/inet.h>
#include <strings.h>

#include <cstring>
#include <string>

#include "config/config_internal.h"
#include "platform/device_ops.h"
#include "utils/log.h"
#include "utils/timescale.h"
#include "utils/validate.h"

namespace {

constexpr std::chrono::seconds kWlanApplyStep{1};
constexpr size_t kPassphraseMin = 8;
constexpr size_t kPassphraseMax = 63;
constexpr size_t kPassphraseHexLen = 64;

bool HasControlCharacter(std::string_view text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) return true;
  }
  return false;
}

// Refuses what the driver must never see; logs the reason. 0 or -1.
int ValidateEntry(const Zun__Config__CHANGESSIDPWD& entry) {
  LogOut(LL_INFO, "wlan_interface  : %s", entry.wlan_interface ? entry.wlan_interface : "");
  if (entry.ssid) {
    LogOut(LL_INFO, "ssid            : %s", entry.ssid);
    if (strlen(entry.ssid) > kSsidMaxLen) {
      LogOut(LL_ERR, "ConfigWlanParams: ssid length exceeded the max allowed limit");
      return -1;
    }
    if (!SsidAcceptable(entry.ssid)) {
      LogOut(LL_ERR, "ConfigWlanParams: ssid is empty or holds control characters");
      return -1;
    }
  }
  if (entry.passphrase) {
    LogOut(LL_INFO, "passphrase      : %s", entry.passphrase);
    if (!*entry.passphrase) {
      LogOut(LL_ERR, "ConfigWlanParams: password length is zero");
      return -1;
    }
    if (!PassphraseAcceptable(entry.passphrase)) {
      LogOut(LL_ERR,
             "ConfigWlanParams: password must be 8 to 63 printable characters or 64 "
             "hexadecimal digits");
      return -1;
    }
  }
  return 0;
}

// Applies one entry to the interface of record index. 0 or -1.
int ApplyEntry(const Zun__Config__CHANGESSIDPWD& entry, int index, const WlanInfoEntry& record) {
  const char* ifname = record.ifname;
  const bool ssidSame = entry.ssid && strcmp(entry.ssid, record.ssid) == 0;
  const bool passSame = entry.passphrase && strcmp(entry.passphrase, record.passphrase) == 0;
  if (entry.ssid && entry.passphrase && ssidSame && passSame) {
    LogOut(LL_INFO, "Interface %s : ssid %s and password are same skipping configuration", ifname,
           entry.ssid);
    return 0;
  }
  if (entry.ssid && !entry.passphrase && ssidSame) {
    LogOut(LL_INFO, "Ssid %s for interface %s  is same,  skipping configuration", entry.ssid,
           ifname);
    return 0;
  }
  if (!entry.ssid && entry.passphrase && passSame) {
    LogOut(LL_INFO, "Password for interface %s is same,  skipping configuration", ifname);
    return 0;
  }
  if (!entry.ssid && !entry.passphrase) return 0;

  RouterDeviceOps.SetInterfaceDown(ifname);
  zc::SleepScaled(kWlanApplyStep);
  bool failed = entry.ssid && RouterDeviceOps.SetWlanSsid(ifname, entry.ssid) != 0;
  if (!failed && entry.passphrase) {
    failed = RouterDeviceOps.SetWlanPassPhrase(ifname, entry.passphrase) != 0;
  }
  zc::SleepScaled(kWlanApplyStep);
  RouterDeviceOps.SetInterfaceUp(ifname);
  // Reporting modules read the shared table: it shows the new values from now on.
  RefreshWlanInfoEntry(index);
  return failed ? -1 : 0;
}

bool ParseIpv4(const char* text, uint32_t* out) {
  in_addr a{};
  if (!text || inet_pton(AF_INET, text, &a) != 1) return false;
  *out = ntohl(a.s_addr);
  return true;
}

// A mask of leading ones only (255.255.255.0, not 255.0.255.0), not all zero.
bool MaskContiguous(uint32_t mask) {
  if (mask == 0) return false;
  uint32_t inverted = ~mask;
  return (inverted & (inverted + 1)) == 0;
}

int Fail(const char* text) {
  LogOut(LL_ERR, "%s", text);
  return -1;
}

}  // namespace

bool SsidAcceptable(std::string_view ssid) {
  return !ssid.empty() && ssid.size() <= kSsidMaxLen && !HasControlCharacter(ssid);
}

bool PassphraseAcceptable(std::string_view passphrase) {
  if (passphrase.size() == kPassphraseHexLen) {
    for (unsigned char c : passphrase) {
      if (!isxdigit(c)) return false;
    }
    return true;
  }
  if (passphrase.size() < kPassphraseMin || passphrase.size() > kPassphraseMax) return false;
  for (unsigned char c : passphrase) {
    if (c < 0x20 || c > 0x7e) return false;
  }
  return true;
}

int ConfigWlanParams(const Zun__Config__PLATFORMCONFIG* envelope) {
  const Zun__Config__CHANGESSIDPWDS* msg = envelope ? envelope->_ssidpwd : nullptr;
  if (!msg) return -1;
  LogOut(LL_INFO, "Transid : %s, Number of ssid_password config : %zd", msg->transid,
         static_cast<ssize_t>(msg->n_config));
  if (msg->n_config > kMaxSsidEntries) {
    LogOut(LL_ERR, "ConfigWlanParams: %zu entries, at most %zu are accepted", msg->n_config,
           kMaxSsidEntries);
    return -1;
  }
  // The values first (no driver reads for a message that is refused anyway), then the
  // interfaces as the router has them now.
  for (size_t i = 0; i < msg->n_config; ++i) {
    if (!msg->config[i] || ValidateEntry(*msg->config[i]) != 0) return -1;
  }
  WlanInfoEntry records[kWlanInfoCount];
  for (int i = 0; i < kWlanInfoCount; ++i) {
    memset(&records[i], 0, sizeof records[i]);
    if (RouterDeviceOps.GetWlanInfo(i, &records[i]) != 0) {
      LogOut(LL_ERR, "ConfigWlanParams: unable to retrieve the wlan info");
      return -1;
    }
  }
  for (size_t i = 0; i < msg->n_config; ++i) {
    const Zun__Config__CHANGESSIDPWD& entry = *msg->config[i];
    int index = -1;
    for (int r = 0; r < kWlanInfoCount && index < 0; ++r) {
      if (entry.wlan_interface && strcasecmp(entry.wlan_interface, records[r].ifname) == 0) {
        index = r;
      }
    }
    if (index < 0) continue;  // an interface this router does not have
    if (ApplyEntry(entry, index, records[index]) != 0) return -1;
  }
  return 0;
}

int ValidateConfigLanParams(const Zun__Config__PLATFORMCONFIG* envelope) {
  const Zun__Config__LANCONFIG* lan = envelope ? envelope->_lanconfig : nullptr;
  if (!lan || !lan->_landhcpconfig) {
    return Fail("ValidateConfigLanParams: lan ip address is not valid ");
  }
  if (const Zun__Config__LANDNSCONFIG* dns = lan->_landnsconfig) {
    const int mode = dns->landnsmode;
    if (mode != 1 && mode != 2) return Fail("ValidateConfigLanParams:Invalid DNS Mode");
    if (mode == 1) {
      if (!dns->primarydnsserver) {
        return Fail("ValidateConfigLanParams: Primary DNS Server is NULL");
      }
      if (!IsValidIpAddress(dns->primarydnsserver)) {
        return Fail("ValidateConfigLanParams: Primary DNS Server not valid ");
      }
      if (!dns->secondarydnsserver) {
        return Fail("ValidateConfigLanParams: Secondary DNS Server is NULL");
      }
      if (!IsValidIpAddress(dns->secondarydnsserver)) {
        return Fail("ValidateConfigLanParams: Secondary DNS Server not valid ");
      }
      if (dns->tertiarydnsserver && !IsValidIpAddress(dns->tertiarydnsserver)) {
        LogOut(LL_ERR, "ValidateConfigLanParams: Tertiary DNS Server not valid:%s",
               dns->tertiarydnsserver);
        return -1;
      }
    }
  }
  const Zun__Config__LANDHCPCONFIG& dhcp = *lan->_landhcpconfig;
  const char* addresses[] = {dhcp.lanipaddr, dhcp.startip, dhcp.endip, dhcp.landhcpgwip};
  for (const char* a : addresses) {
    if (!IsValidIpAddress(a)) return Fail("ValidateConfigLanParams: lan ip address is not valid ");
  }
  if (dhcp.leasetime == 0) return Fail("ValidateConfigLanParams: lease time is invalid");
  uint32_t mask = 0;
  if (!IsValidSubnetMask(dhcp.subnetmask) || !ParseIpv4(dhcp.subnetmask, &mask) ||
      !MaskContiguous(mask)) {
    return Fail("ValidateConfigLanParams: subnetmask is not valid ");
  }
  // The pool and the gateway inside the LAN's subnet, the pool in order: anything else leaves
  // the router rebooted into a LAN its clients cannot use.
  uint32_t ip = 0, start = 0, end = 0, gateway = 0;
  ParseIpv4(dhcp.lanipaddr, &ip);
  ParseIpv4(dhcp.startip, &start);
  ParseIpv4(dhcp.endip, &end);
  ParseIpv4(dhcp.landhcpgwip, &gateway);
  for (uint32_t a : {start, end, gateway}) {
    if ((a & mask) != (ip & mask)) {
      return Fail("ValidateConfigLanParams: lan ip address is not valid ");
    }
  }
  if (start > end) return Fail("ValidateConfigLanParams: lan ip address is not valid ");
  return 0;
}

int ConfigLan(const Zun__Config__PLATFORMCONFIG* envelope) {
  if (ValidateConfigLanParams(envelope) != 0) {
    LogOut(LL_ERR, "ConfigLan: validation for config lan got failed");
    return -1;
  }
  const Zun__Config__LANCONFIG& lan = *envelope->_lanconfig;
  const Zun__Config__LANDHCPCONFIG& dhcp = *lan._landhcpconfig;
  const Zun__Config__LANDNSCONFIG* dns = lan._landnsconfig;
  const int mode = dns ? static_cast<int>(dns->landnsmode) : 0;
  auto text = [](const char* s) { return s ? s : ""; };
  LogOut(LL_INFO, "Trans Id:%s", text(lan.transid));
  LogOut(LL_INFO, "LAN DNS Mode:%d", mode);
  LogOut(LL_INFO, "Primary DNS server:%s", dns ? text(dns->primarydnsserver) : "");
  LogOut(LL_INFO, "Secondary DNS server:%s", dns ? text(dns->secondarydnsserver) : "");
  LogOut(LL_INFO, "Tertiary DNS server:%s", dns ? text(dns->tertiarydnsserver) : "");
  LogOut(LL_INFO, "LAN IP Address:%s", dhcp.lanipaddr);
  LogOut(LL_INFO, "LAN IP Subnet Mask:%s", dhcp.subnetmask);
  LogOut(LL_INFO, "LAN DHCP POOL START IP:%s", dhcp.startip);
  LogOut(LL_INFO, "LAN DHCP POOL END IP:%s", dhcp.endip);
  LogOut(LL_INFO, "LAN DHCP Gateway IP:%s", dhcp.landhcpgwip);
  LogOut(LL_INFO, "LAN DHCP LEASE TIME:%d", static_cast<int>(dhcp.leasetime));

  LanConfigRecord record;
  memset(&record, 0, sizeof record);
  CopyField(record.lanIpAddr, dhcp.lanipaddr);
  CopyField(record.subnetMask, dhcp.subnetmask);
  CopyField(record.dhcpPoolStart, dhcp.startip);
  CopyField(record.dhcpPoolEnd, dhcp.endip);
  CopyField(record.dhcpGateway, dhcp.landhcpgwip);
  record.leaseTime = dhcp.leasetime;
  record.dnsMode = static_cast<uint32_t>(mode);
  if (mode == 1) {
    CopyField(record.dns1, dns->primarydnsserver);
    CopyField(record.dns2, dns->secondarydnsserver);
    if (dns->tertiarydnsserver) CopyField(record.dns3, dns->tertiarydnsserver);
  }
  if (RouterDeviceOps.SetLanConfig(&record) != 0) {
    LogOut(LL_ERR, "ConfigLan: Unable to configure the give LAN DNS settings");
    return -1;
  }
  return 0;
}
