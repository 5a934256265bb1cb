// Named commands from the cloud (the COMMANDS member): restarts and reboots, provisioning state,
// diagnostics, LED, Wi-Fi toggle, management-server settings.
#include <unistd.h>

#include <cstring>
#include <string>

#include "bstrap/bootconfig.h"
#include "config/config.h"
#include "config/config_internal.h"
#include "config/config_keys.h"
#include "platform/device_ops.h"
#include "utils/exec.h"
#include "utils/exitlog.h"
#include "utils/files.h"
#include "utils/kvp.h"
#include "utils/log.h"
#include "utils/paths.h"
#include "utils/sysguard.h"
#include "utils/timescale.h"

namespace {

constexpr size_t kProvisioningCodeMax = 63;
constexpr size_t kAcsValueMax = 255;

// The restart commands: the answer leaves and files reach the disk first; then the launcher's
// "killall" ends the agent (and the exit path does, should the kill not arrive).
[[noreturn]] void RestartAgent(const char* reason) {
  FlushBeforeExit("ExecuteCommand");
  zc::SleepScaled(kBeforeRebootWait);
  do_cmd("killall", {"-9", "zuncore"}, true);
  zc::SleepScaled(kAfterRebootWait);
  ExitLog(reason);
}

[[noreturn]] void RebootRouter() {
  FlushBeforeExit("ExecuteCommand");
  zc::SleepScaled(kBeforeRebootWait);
  PlatformReboot();
  zc::SleepScaled(kAfterRebootWait);
  ExitLog("ExecuteCommand: Requested reboot from the admin");
}

void RemoveBootConfig(const char* who) {
  const std::string path = zc::RootPath(kBootConfigFile);
  if (zc::RemoveFile(path) == 0) {
    LogOut(LL_INFO, "%s: bootstrap config file:%s is removed", who, kBootConfigFile);
  } else {
    LogOut(LL_ERR, "%s: unable to remove the bootconfig file:%s", who, kBootConfigFile);
  }
}

bool ProvisioningCodeAcceptable(std::string_view code) {
  if (code.empty() || code.size() > kProvisioningCodeMax) return false;
  for (unsigned char c : code) {
    if (!isalnum(c) && c != '.' && c != '_' && c != '-') return false;
  }
  return true;
}

const char* SetProvisioningCode(const std::string& code) {
  if (!ProvisioningCodeAcceptable(code)) {
    LogOut(LL_ERR, "%s: provisioning code refused (1 to 63 of A-Z a-z 0-9 . _ -)",
           "ExecuteCommand");
    return "InvaildConfig";
  }
  SetStringKVP(configkeys::kProvisioningCode, code);
  if (!zc::FileExists(zc::RootPath(kBootConfigFile)) ||
      UpdateBootConfigValue(configkeys::kProvisioningCode, code) != 0) {
    LogOut(LL_ERR, "%s: unable to update the bootconfig file:%s with new provisioning code",
           "ExecuteCommand", kBootConfigFile);
  }
  return "NA";
}

// "url:...,uname:...,pwd:..." into the management-server record; false when a value is too long.
bool ParseMultimode(const std::string& data, AcsConfigRecord* record) {
  memset(record, 0, sizeof *record);
  const std::pair<const char*, char*> items[] = {
      {"url:", record->url}, {"uname:", record->userName}, {"pwd:", record->password}};
  for (const auto& [key, field] : items) {
    std::string value;
    if (!ExtractValue(data, key, &value)) continue;
    if (value.size() > kAcsValueMax) {
      LogOut(LL_ERR, "%s: value of %s is longer than %zu characters, not applied", "ExecuteCommand",
             key, kAcsValueMax);
      return false;
    }
    CopyField(field, sizeof record->url, value.c_str());
  }
  return true;
}

void ToggleWifi(const std::string& transid) {
  std::lock_guard radio(RadioCommandMutex());
  for (int i = 0; i < kWlanInfoCount; ++i) {
    auto entry = GetWlanInfoEntry(i);
    LogOut(LL_INFO, "%s: before toggle wlan[%d] status:%d", "ExecuteCommand", i,
           entry ? entry->active : 0);
  }
  if (zc::WriteFileAtomic(zc::RootPath(kWlanOnOffFile), "1\n") != 0) {
    LogOut(LL_ERR, "%s: unable to write %s", "ExecuteCommand", kWlanOnOffFile);
  }
  zc::SleepScaled(kToggleWifiWait);
  for (int i = 0; i < kWlanInfoCount; ++i) {
    if (RefreshWlanInfoEntry(i) != 0) {
      LogOut(LL_ERR, "%s : unable to retrieve the wlan info", "ExecuteCommand");
      continue;
    }
    auto entry = GetWlanInfoEntry(i);
    LogOut(LL_INFO, "%s: after toggle wlan[%d] status:%d", "ExecuteCommand", i,
           entry ? entry->active : 0);
  }
  ConfigResponse(transid.c_str(), "NA");
}

void Led(const std::string& transid, int mode, const char* failureText, const char* failureLog) {
  if (RouterDeviceOps.LEDControl(mode) != 0) {
    LogOut(LL_ERR, "%s: %s", "ExecuteCommand", failureLog);
    ConfigResponse(transid.c_str(), failureText);
    return;
  }
  ConfigResponse(transid.c_str(), "NA");
}

}  // namespace

bool ExtractValue(std::string_view text, std::string_view key, std::string* value) {
  size_t item = 0;
  while (item <= text.size()) {
    size_t end = text.find(',', item);
    if (end == std::string_view::npos) end = text.size();
    std::string_view part = text.substr(item, end - item);
    if (part.substr(0, key.size()) == key) {
      *value = std::string(part.substr(key.size()));
      return true;
    }
    item = end + 1;
  }
  return false;
}

std::mutex& RadioCommandMutex() {
  static std::mutex m;
  return m;
}

int ExecuteCommand(const Zun__Config__PLATFORMCONFIG* envelope) {
  const Zun__Config__COMMANDS* cmd = envelope ? envelope->_cmd : nullptr;
  if (!cmd) return -1;
  const std::string transid = cmd->transid ? cmd->transid : "";
  const std::string command = cmd->command ? cmd->command : "";
  const std::string data = cmd->data ? cmd->data : "";
  LogOut(LL_INFO, "Transaction Id :%s", transid.c_str());
  LogOut(LL_INFO, "command        :%s", command.c_str());
  LogOut(LL_INFO, "data           :%s", data.c_str());
  const char* t = transid.c_str();

  if (command == "REBOOT") {
    LogOut(LL_CRIT, "ExecuteCommand: Requested reboot from the admin");
    ConfigResponse(t, "NA");
    RebootRouter();
  }
  if (command == "ZUN-RESTART") {
    LogOut(LL_INFO, "ExecuteCommand: Requested zuncore restart");
    ConfigResponse(t, "NA");
    RestartAgent("ExecuteCommand: Requested zuncore restart");
  }
  if (command == "subscriber-del") {
    LogOut(LL_INFO, "%s: deleting subscriber sub-id:%s and restart from bootstrap",
           "ExecuteCommand", GetStringKVPOr(configkeys::kSubscriberId, "").c_str());
    if (!zc::FileExists(zc::RootPath(kBootConfigFile))) return 0;
    RemoveBootConfig("ExecuteCommand");
    sync();
    ExitLog("ExecuteCommand deleting subscriber and restart from bootstrap");
  }
  if (command == "SUB-SUSPENDED") {
    LogOut(LL_INFO, "ExecuteCommand: Requested zuncore restart as subscription is suspended");
    RemoveBootConfig("ExecuteCommand");
    ConfigResponse(t, "NA");
    RestartAgent("ExecuteCommand: Requested zuncore restart as subscription is suspended");
  }
  if (command == "SUB-ACTIVE") {
    LogOut(LL_INFO, "ExecuteCommand: Requested zuncore restart as subscription becomes active");
    ConfigResponse(t, "NA");
    RestartAgent("ExecuteCommand: Requested zuncore restart as subscription becomes active");
  }
  if (command == "SUB-EXPIRED") {
    LogOut(LL_INFO, "ExecuteCommand: Requested zuncore restart as subscription is expired");
    LogOut(LL_INFO, "%s: Subscription expired. New bootstrap URL reveived :%s ", "ExecuteCommand",
           data.c_str());
    if (zc::WriteFileAtomic(zc::RootPath(kExpiredBootstrapUrlFile), data) != 0) {
      LogOut(LL_ERR, "%s: unable to write %s", "ExecuteCommand", kExpiredBootstrapUrlFile);
    }
    ConfigResponse(t, "NA");
    RestartAgent("ExecuteCommand: Requested zuncore restart as subscription is expired");
  }
  if (command == "FORCE-BOOTSTRAP") {
    LogOut(LL_INFO, "ExecuteCommand: FORCE-BOOTSTRAP is requested");
    RemoveBootConfig("ExecuteCommand");
    ConfigResponse(t, "NA");
    RestartAgent("ExecuteCommand: FORCE-BOOTSTRAP is requested");
  }
  if (command == "SET_PROV_CODE") {
    ConfigResponse(t, SetProvisioningCode(data));
    return 0;
  }
  if (command == "ENABLE_MULTIMODE") {
    AcsConfigRecord record;
    if (!ParseMultimode(data, &record)) {
      ConfigResponse(t, "InvaildConfig");
      return -1;
    }
    ConfigResponse(t, "NA");
    if (RouterDeviceOps.UpdateSLAndACS(&record) != 0) {
      LogOut(LL_ERR, "%s: Unable to set ACS config", "ExecuteCommand");
    }
    return 0;
  }
  if (command == "PING") {
    StartDiagnostic(DiagnosticKind::kPing, transid, data);
    return 0;
  }
  if (command == "TRACE") {
    StartDiagnostic(DiagnosticKind::kTrace, transid, data);
    return 0;
  }
  if (command == "SPEED_TEST") {
    SetStringKVP(configkeys::kSpeedTransactionId, transid);
    StartSpeedTest(transid);
    return 0;
  }
  if (command == "CLIDEBUG") {
    StartCliDebug(transid, data);
    return 0;
  }
  if (command == "ON_LED") {
    Led(transid, 0, "on_led_failure", "on_led failed");
    return 0;
  }
  if (command == "OFF_LED") {
    Led(transid, 1, "off_led_failure", "off_led failed");
    return 0;
  }
  if (command == "BLINK_LED") {
    Led(transid, 2, "blink_led_failure", "blink_led failed");
    return 0;
  }
  if (command == "SITE_SURVEY") {
    RunSiteSurvey(transid, data);
    return 0;
  }
  if (command == "OPTIMIZE_WIFI") {
    RunOptimizeWifi(transid, data);
    return 0;
  }
  if (command == "SCAN_AND_OPTIMIZE_WIFI") {
    RunScanAndOptimizeWifi(transid, data);
    return 0;
  }
  if (command == "TOGGLE_WIFI") {
    ToggleWifi(transid);
    return 0;
  }
  LogOut(LL_ERR, "%s Invalid config command is received!!! cmd:%s", "ExecuteCommand",
         command.c_str());
  ConfigResponse(t, "Invalid config command");
  return -1;
}
