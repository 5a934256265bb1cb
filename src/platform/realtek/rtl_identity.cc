// Device identity and start-up housekeeping: slots UpdateDeviceMacAddress,
// GetInterfaceIPv4Address, GetDeviceVersion, GetBootstrapUrlDomain, UpdateDeviceRunningFw,
// UpdateDefaultRouterSettings, FreeUpRAM.
#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "platform/realtek/rtl8192_single_band.h"
#include "platform/realtek/rtl_internal.h"
#include "utils/endpoints.h"
#include "utils/exitlog.h"
#include "utils/files.h"
#include "utils/kvp.h"
#include "utils/log.h"
#include "utils/paths.h"
#include "utils/sysguard.h"
#include "utils/timescale.h"
#include "utils/timesync.h"

namespace {

constexpr const char* kVersionFile = "/etc/version";
constexpr const char* kLauncherVersionFile = "/etc/launcher/version";
constexpr const char* kExpBootstrapUrlFile = "/etc/config/zunexpdbootstrapurl";
constexpr const char* kBootstrapUrlFile = "/tmp/zun_url";
constexpr const char* kRunningFwFile = "/tmp/zun_fw_version";
constexpr const char* kGatherLanNetInfo = "/proc/rg/gather_lanNetInfo";
constexpr const char* kTimeStatusFile = "/tmp/timeStatus";
constexpr std::chrono::seconds kNtpSettleWait{5};
constexpr std::chrono::seconds kRebootGrace{2};
constexpr std::chrono::seconds kDropCachesWait{1};

// The text a version file holds: its first line, cut to the output capacity.
std::string VersionFileText(const char* routerPath) {
  auto text = rtl::ReadRouterFile(routerPath, 4096);
  return text ? rtl::Trim(rtl::FirstLine(*text)) : std::string();
}

// One required time setting: its value now and whether it is as required.
struct NtpSetting {
  const char* name;
  bool isInt;
  long required;       // integer settings
  const char* server;  // server-name settings
};

enum class NtpState { kOk, kWrong, kUnknown };

NtpState ReadNtpSetting(const NtpSetting& s) {
  rtl::FlashReading r = rtl::FlashRead(s.name);
  if (r.unknown) return NtpState::kUnknown;
  std::string v = r.value.value_or("");
  bool ok;
  if (s.isInt) {
    long n = r.value ? std::atol(v.c_str()) : -1;
    ok = s.required == 0 ? n == 0 : n != 0;
  } else {
    if (v.size() > 127) v.resize(127);
    ok = !v.empty() && strcasecmp(v.c_str(), s.server) == 0;
  }
  return ok ? NtpState::kOk : NtpState::kWrong;
}

bool NtpSettingOk(const NtpSetting& s) {
  return ReadNtpSetting(s) == NtpState::kOk;
}

// Writes what is not as required. Returns the number of settings written.
int RepairNtpSettings(const NtpSetting* settings, size_t count) {
  int written = 0;
  for (size_t i = 0; i < count; ++i) {
    const NtpSetting& s = settings[i];
    NtpState state = ReadNtpSetting(s);
    if (state == NtpState::kOk) continue;
    // A flash tool too slow to answer says nothing about the value: rewriting it, and rebooting
    // for it, on a busy router would be a reboot for no reason. The next start checks again.
    if (state == NtpState::kUnknown) {
      LogOut(LL_WARN, "%s: %s could not be read, left as it is",
             "Rtl8192UpdateDefaultRouterSettings", s.name);
      continue;
    }
    if (s.isInt) {
      LogOut(LL_WARN, "%s: System REBOOT required to set %s", "Rtl8192UpdateDefaultRouterSettings",
             s.name);
      rtl::FlashSetInt(s.name, s.required == 0 ? 0 : 1);
    } else {
      LogOut(LL_WARN, "%s: System REBOOT required to set %s %s",
             "Rtl8192UpdateDefaultRouterSettings", s.name, s.server);
      rtl::FlashSet(s.name, s.server);
    }
    ++written;
  }
  return written;
}

void SignalNtpClient() {
  ExecResult r = rtl::RunTool({"pidof", "vsntp"});
  std::istringstream in(r.output);
  long pid = 0;
  while (in >> pid) {
    if (pid > 1) kill(static_cast<pid_t>(pid), SIGUSR1);
  }
}

}  // namespace

int Rtl8192UpdateDeviceMacAddress(const char* ifname, char* mac) {
  if (!ifname || !mac) return -1;
  char text[kMacTextLen];
  if (rtl::InterfaceMac(ifname, text) != 0) {
    LogOut(LL_ERR, "%s: unable to read the MAC address of %s", __func__, ifname);
    return -1;
  }
  CopyField(mac, kMacTextLen, text);
  return 0;
}

int Rtl8192GetInterfaceIPv4Address(const char* ifname, char* ipv4) {
  if (!ifname || !ipv4) return -1;
  char text[kIpv4TextLen];
  if (rtl::InterfaceIpv4(ifname, text) != 0) return -1;
  CopyField(ipv4, kIpv4TextLen, text);
  return 0;
}

int Rtl8192GetDeviceVersion(const char* kind, char* out) {
  if (!kind || !out) return -1;
  std::string value;
  if (std::strcmp(kind, "HW") == 0) {
    value = rtl::FlashGetString("HW_HWVER", kVersionTextLen);
  } else if (std::strcmp(kind, "SW") == 0) {
    value = VersionFileText(kVersionFile);
  } else if (std::strcmp(kind, "LAUNCHER") == 0) {
    value = VersionFileText(kLauncherVersionFile);
  } else {
    return -1;
  }
  if (value.empty()) {
    LogOut(LL_ERR, "%s: error in getting SW version", __func__);
    value = "NA";
  }
  CopyField(out, kVersionTextLen, value.c_str());
  return 0;
}

int Rtl8192GetBootstrapUrlDomain(char* out) {
  if (!out) return -1;
  // A renewal URL left by an expired subscription wins; an empty one (or one that cannot be
  // read) must not strand the router, so the factory URL is the fallback.
  if (zc::FileExists(zc::RootPath(kExpBootstrapUrlFile))) {
    auto text = rtl::ReadRouterFile(kExpBootstrapUrlFile, 4096);
    std::string token = text ? rtl::FirstToken(*text) : "";
    if (!token.empty()) {
      CopyField(out, kUrlTextLen, token.c_str());
      return 0;
    }
    LogOut(LL_ERR, "%s: %s is empty, using %s", __func__, kExpBootstrapUrlFile, kBootstrapUrlFile);
  }
  auto text = rtl::ReadRouterFile(kBootstrapUrlFile, 4096);
  if (!text) {
    LogOut(LL_ERR, "%s: Error opening %s", __func__, kBootstrapUrlFile);
    return -1;
  }
  std::string token = rtl::FirstToken(*text);
  if (token.empty()) {
    LogOut(LL_ERR, "%s: URL file %s is empty", __func__, kBootstrapUrlFile);
    return -1;
  }
  CopyField(out, kUrlTextLen, token.c_str());
  return 0;
}

int Rtl8192UpdateDeviceRunningFw(char* out) {
  if (!out) return -1;
  auto text = rtl::ReadRouterFile(kRunningFwFile, 4096);
  if (!text) {
    LogOut(LL_ERR, "Rtl8192UpdateDeviceRunningFw: Error opening file %s", kRunningFwFile);
    CopyField(out, kRunningFwLen, "null");
    return -1;
  }
  std::string token = rtl::FirstToken(*text);
  CopyField(out, kRunningFwLen, token.empty() ? "null" : token.c_str());
  return 0;
}

int Rtl8192FreeUpRAM() {
  for (const char* file : {"/etc/config/syslogd.txt", "/etc/config/zuncloudconfigurl"}) {
    zc::RemoveFile(zc::RootPath(file));
  }
  if (zc::WriteFileAtomic(zc::RootPath("/proc/sys/vm/drop_caches"), "3\n") != 0) {
    LogOut(LL_DEBUG, "%s: unable to write drop_caches", __func__);
  }
  zc::SleepScaled(kDropCachesWait);
  return 0;
}

int Rtl8192UpdateDefaultRouterSettings() {
  // 1. Per-host LAN information for client tracking; free memory.
  if (zc::WriteFileAtomic(zc::RootPath(kGatherLanNetInfo), "1\n") != 0) {
    LogOut(LL_ERR, "%s: unable to write %s", __func__, kGatherLanNetInfo);
  }
  Rtl8192FreeUpRAM();

  // 2. Time settings. Reboot only when every rewritten setting reads back as required: a flash
  // that does not keep one of them would otherwise reboot the router at every start.
  const NtpSetting settings[] = {
      {"NTP_IF_TYPE", true, 0, nullptr},
      {"NTP_ENABLED", true, 1, nullptr},
      {"NTP_SERVER_HOST1", false, 0, zc::kNtpServerPrimary},
      {"NTP_SERVER_HOST2", false, 0, zc::kNtpServerSecondary},
  };
  if (RepairNtpSettings(settings, std::size(settings)) > 0) {
    bool allKept = true;
    for (const auto& s : settings) {
      if (!NtpSettingOk(s)) {
        LogOut(LL_ERR, "%s: flash did not keep %s, continuing without reboot", __func__, s.name);
        allKept = false;
      }
    }
    if (allKept) {
      LogOut(LL_CRIT, "%s: System is REBOOTING .......", __func__);
      fflush(stdout);
      PlatformReboot();
      zc::SleepScaled(kRebootGrace);
      fflush(stdout);
      _exit(0);
    }
  }

  // 3. Clock: the router's NTP client, else the HTTP time service.
  SignalNtpClient();
  zc::SleepScaled(kNtpSettleWait);
  auto status = zc::ReadFile(zc::RootPath(kTimeStatusFile), 16);
  if (!status) {
    LogOut(LL_ERR, "Func: %s Unable to open /tmp/timeStatus at %d", __func__, __LINE__);
  }
  if (status && !status->empty() && (*status)[0] == '2') {
    LogOut(LL_INFO, "%s", "TimeSync using NTP");
  } else {
    LogOut(LL_INFO, "%s", "TimeSync using HTTP");
    if (xsettimeofday() != 0) ExitLog("TimeSync using HTTP FAIL!!!");
  }

  // 4. Settings dump, WAN record and the Internet WAN interface.
  DumpKVP();
  WanStatusRecord wan{};
  if (Rtl8192EventWanInfoUpdate(&wan) != 0) ExitLog("main: Unable to get wan details");
  int wanIndex = rtl::FindInternetWan();
  if (wanIndex >= 0) {
    rtl::SetInternetWanIfName(rtl::WanIfNameFromIndex(
        rtl::FlashGetInt("ATM_VC_TBL." + std::to_string(wanIndex) + ".ifIndex")));
  }

  // 5. Client tracking starts empty.
  rtl::ResetClientList();
  return 0;
}
