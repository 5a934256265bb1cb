#include "bstrap/bstrap_request.h"

#include "bstrap/bstrap.h"

#include <array>
#include <cstdlib>
#include <memory>
#include <string>

#include "bstrap/bstrap_keys.h"
#include "platform/device_ops.h"
#include "utils/exitlog.h"
#include "utils/files.h"
#include "utils/identity_keys.h"
#include "utils/kvp.h"
#include "utils/log.h"
#include "utils/paths.h"

namespace {

constexpr size_t kPlatformModelMax = 63;
constexpr uint32_t kWanProtoDhcp = 2;

constexpr std::array kBandNames = {"WLAN_FREQUENCY_BAND_UNDEFINED_Band",
                                   "WLAN_FREQUENCY_BAND_WIFI_BAND_2G",
                                   "WLAN_FREQUENCY_BAND_WIFI_BAND_5G"};
constexpr std::array kEncryptionNames = {
    "WLAN_ENCRYPTION_MODE_UNDEFINED_Encryption", "WLAN_ENCRYPTION_MODE_WIFI_AP_SEC_TKIP",
    "WLAN_ENCRYPTION_MODE_WIFI_AP_SEC_AES", "WLAN_ENCRYPTION_MODE_WIFI_AP_SEC_AES_TKIP"};
constexpr std::array kSecurityNames = {"WLAN_SECURITY_MODE_UNDEFINED_Security",
                                       "WLAN_SECURITY_MODE_WIFI_SECURITY_None",
                                       "WLAN_SECURITY_MODE_WIFI_SECURITY_WEP_64",
                                       "WLAN_SECURITY_MODE_WIFI_SECURITY_WEP_128",
                                       "WLAN_SECURITY_MODE_WIFI_SECURITY_WPA_Personal",
                                       "WLAN_SECURITY_MODE_WIFI_SECURITY_WPA2_Personal",
                                       "WLAN_SECURITY_MODE_WIFI_SECURITY_WPA_WPA2_Personal",
                                       "WLAN_SECURITY_MODE_WIFI_SECURITY_WPA_Enterprise",
                                       "WLAN_SECURITY_MODE_WIFI_SECURITY_WPA2_Enterprise",
                                       "WLAN_SECURITY_MODE_WIFI_SECURITY_WPA_WPA2_Enterprise",
                                       "WLAN_SECURITY_MODE_WIFI_SECURITY_WPA3_Personal",
                                       "WLAN_SECURITY_MODE_WIFI_SECURITY_WPA2_WPA3_Personal"};

template <size_t N>
const char* NameOf(const std::array<const char*, N>& names, uint32_t value) {
  return value < N ? names[value] : names[0];
}

[[noreturn]] void Fatal(const char* reason) {
  LogOut(LL_ERR, "%s", reason);
  ExitLog(reason);
}

void Add(json_object* o, const char* key, const std::string& value) {
  zc::JsonAddString(o, key, value);
}

void AddPlatformModel(json_object* body) {
  std::string path = zc::RootPath(kPlatformModelFile);
  if (!zc::FileExists(path)) {
    LogOut(LL_INFO, "zun platformModel is not exist: %s", kPlatformModelFile);
    return;
  }
  auto line = zc::ReadFirstLine(path, kPlatformModelMax);
  std::string model = line ? *line : "UNKNOWN";
  if (line) LogOut(LL_INFO, "zun platformModel:%s", model.c_str());
  Add(body, "platformModel", model);
}

json_object* WanSettings(const PlatformInfoRecord& platform) {
  WanStatusRecord wan{};
  if (RouterDeviceOps.EventWanInfoUpdate(&wan) != 0) Fatal("main: Unable to get wan details");
  json_object* o = json_object_new_object();
  Add(o, "interfaceName", wan.ifname);
  Add(o, "mac", wan.mac);
  Add(o, "connectionType", wan.proto == kWanProtoDhcp ? "DHCP" : "PPPoE");
  Add(o, "publicIp", platform.publicAddress);
  Add(o, "pppoeUsername", wan.pppoeUserName);
  Add(o, "ip", wan.wanIpv4);
  Add(o, "ponType", platform.ponMode);
  return o;
}

json_object* WlanObject(const WlanInfoEntry& e) {
  json_object* o = json_object_new_object();
  Add(o, "mac", e.bssid);
  Add(o, "channel", std::to_string(e.channel));
  Add(o, "ssid", e.ssid);
  Add(o, "passphrase", e.passphrase);
  Add(o, "band", NameOf(kBandNames, e.band));
  Add(o, "isHidden", std::to_string(e.hidden ? 1 : 0));
  Add(o, "isGuest", std::to_string(e.guest ? 1 : 0));
  Add(o, "encryptionType", NameOf(kEncryptionNames, e.encryption));
  Add(o, "securityMode", NameOf(kSecurityNames, e.security));
  Add(o, "interfaceName", e.ifname);
  Add(o, "enable", e.active ? "1" : "0");
  Add(o, "status", e.active ? "Up" : "Disabled");
  return o;
}

json_object* LanSettings(const std::string& mac) {
  json_object* list = json_object_new_array();
  for (int port = 1; port <= 2; ++port) {
    json_object* o = json_object_new_object();
    Add(o, "mac", mac);
    Add(o, "portNumber", std::to_string(port));
    Add(o, "interfaceName", "eth0." + std::to_string(port + 1));
    json_object_array_add(list, o);
  }
  return list;
}

json_object* WanInterfaces() {
  WanInterfaceRecord* raw = nullptr;
  uint8_t count = 0;
  if (RouterDeviceOps.GetWanInterfacesInfo(&raw, &count) != 0) {
    Fatal("main: Unable to get wan interfaces details");
  }
  std::unique_ptr<WanInterfaceRecord, CFree> records(raw);
  json_object* list = json_object_new_array();
  for (uint8_t i = 0; i < count; ++i) {
    json_object* o = json_object_new_object();
    Add(o, "mac", records.get()[i].mac);
    if (std::string(records.get()[i].ipv4) != "NA") Add(o, "ipAddress", records.get()[i].ipv4);
    Add(o, "interfaceName", records.get()[i].ifname);
    json_object_array_add(list, o);
  }
  return list;
}

void KeyText(char* field, size_t capacity, const char* key, const char* fallback) {
  auto v = GetStringKVP(key);
  CopyField(field, capacity, v ? v->c_str() : fallback);
}

int KeyInt(const char* key, int fallback) {
  auto v = GetStringKVP(key);
  return v ? std::atoi(v->c_str()) : fallback;
}

}  // namespace

const char* WlanBandName(uint32_t band) {
  return NameOf(kBandNames, band);
}
const char* WlanEncryptionName(uint32_t encryption) {
  return NameOf(kEncryptionNames, encryption);
}
const char* WlanSecurityName(uint32_t security) {
  return NameOf(kSecurityNames, security);
}

zc::JsonPtr BuildBootstrapRequestBody() {
  PlatformInfoRecord platform{};
  if (RouterDeviceOps.EventPlatformInfoUpdate(&platform) != 0) {
    LogOut(LL_ERR, "%s: Fail : unable to get platform details ", "Bootstrap");
    ExitLog("Bootstrap: Fail : unable to get platform details ");
  }
  if (!GetStringKVP(kKeyBootstrapUrl)) {
    LogOut(LL_ERR, "%s: Fail : zun_bstrap_url is not set", "Bootstrap");
    ExitLog("Bootstrap: Fail : zun_bstrap_url is not set");
  }
  std::string mac = GetStringKVPOr(kKeyDeviceMacAddr, "");
  zc::JsonPtr body(json_object_new_object());
  json_object* b = body.get();
  Add(b, "transactionId", "");
  Add(b, "productClass", platform.hardware);
  Add(b, "model", platform.hardware);
  AddPlatformModel(b);
  Add(b, "mac", mac);
  Add(b, "deviceId", platform.deviceIdentity);
  Add(b, "manufacturerOUI", platform.oui);
  Add(b, "serialNumber", platform.serialNumber);
  Add(b, "ponSerialNumber", platform.ponSerialNumber);
  Add(b, "manufacturer", platform.manufacturer);
  Add(b, "hardwareVersion", platform.hardwareVersion);
  Add(b, "softwareVersion", platform.softwareVersion);
  Add(b, "agentVersion", GetStringKVPOr(kKeyRunningFirmware, ""));
  Add(b, "managementProtocol", "AGENT");
  Add(b, "profile", "AGENT");
  Add(b, kKeyProvisioningCode, "");
  Add(b, "launcherVersion", GetStringKVPOr(kKeyLauncherVersion, ""));
  json_object_object_add(b, "wanSettings", WanSettings(platform));

  json_object* wlans = json_object_new_array();
  json_object_object_add(b, "wlanSettings", wlans);
  for (int index = 0; index < kWlanInfoCount; ++index) {
    auto entry = RefreshWlanInfoEntry(index) == 0 ? GetWlanInfoEntry(index) : std::nullopt;
    if (!entry) {
      LogOut(LL_ERR, "%s : unable to retrieve the wlan info", "Bootstrap");
      return nullptr;
    }
    json_object_array_add(wlans, WlanObject(*entry));
  }
  json_object_object_add(b, "lanSettings", LanSettings(mac));
  json_object_object_add(b, "wanInterfaces", WanInterfaces());
  return body;
}

WanConfigRecord BuildWanConfigRecord() {
  WanConfigRecord w{};
  KeyText(w.mode, sizeof w.mode, kKeyWanMode, "NA");
  KeyText(w.ipProtocolMode, sizeof w.ipProtocolMode, kKeyWanIpProtocolMode, "NA");
  KeyText(w.ipMode, sizeof w.ipMode, kKeyWanIpMode, "NA");
  w.natEnabled = KeyInt(kKeyWanNatEnabled, 0) == 1 ? 1 : 0;
  w.vlanEnabled = KeyInt(kKeyWanVlanEnabled, 0) == 1 ? 1 : 0;
  w.vlanId = KeyInt(kKeyWanVlanId, 0);
  w.priority = KeyInt(kKeyWanPriority, 0);
  w.mtu = KeyInt(kKeyWanMtu, 1500);
  KeyText(w.serviceMode, sizeof w.serviceMode, kKeyWanServiceMode, "TR069");
  KeyText(w.externalIpAddress, sizeof w.externalIpAddress, kKeyWanStaticAddress, "NA");
  KeyText(w.subnetMask, sizeof w.subnetMask, kKeyWanStaticSubnetMask, "NA");
  KeyText(w.defaultGateway, sizeof w.defaultGateway, kKeyWanStaticGateway, "NA");
  KeyText(w.primaryDns, sizeof w.primaryDns, kKeyWanStaticPrimaryDns, "NA");
  KeyText(w.secondaryDns, sizeof w.secondaryDns, kKeyWanStaticSecondaryDns, "NA");
  KeyText(w.pppoeUserName, sizeof w.pppoeUserName, kKeyWanPppoeUsername, "NA");
  KeyText(w.pppoePassword, sizeof w.pppoePassword, kKeyWanPppoePassword, "NA");
  KeyText(w.pppType, sizeof w.pppType, kKeyWanPppoeType, "NA");
  return w;
}
