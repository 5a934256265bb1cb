#include "fwupdate/fwupdate.h"

#include <strings.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "bstrap/bootconfig.h"
#include "bstrap/bstrap.h"
#include "bstrap/bstrap_keys.h"
#include "fwupdate/fw_report.h"
#include "fwupdate/fwupdate_keys.h"
#include "nats/nats_session.h"
#include "platform/device_ops.h"
#include "signon/signon_keys.h"
#include "utils/agent_state.h"
#include "utils/exitlog.h"
#include "utils/files.h"
#include "utils/https_client.h"
#include "utils/identity_keys.h"
#include "utils/kvp.h"
#include "utils/log.h"
#include "utils/paths.h"
#include "utils/sysguard.h"
#include "utils/timescale.h"
#include "utils/uuid.h"

std::atomic<int> gFirmwareUpgradeMode{FW_UPGRADE_ACTIVE};
std::atomic<int> gMaxDownloadRetry{0};
std::atomic<int> gMaxUpgradeRetry{0};

namespace {

std::function<void(FirmwareNext)> gFirmwareNext;

void Next(FirmwareNext next) {
  if (gFirmwareNext) gFirmwareNext(next);
}

bool EqualsNoCase(const std::string& a, const char* b) {
  return strcasecmp(a.c_str(), b) == 0;
}

void RemoveImage() {
  if (zc::RemoveFile(zc::RootPath(kFirmwareDownloadFile)) != 0) {
    LogOut(LL_ERR, "%s Unable to delete download firmware file:%s", "FirmwareDownload",
           kFirmwareDownloadFile);
  }
}

// Restart from bootstrap: the next process finds no boot configuration.
[[noreturn]] void RestartFromBootstrap(const std::string& reason) {
  zc::RemoveFile(zc::RootPath(kBootConfigFile));
  LogOut(LL_CRIT, "%s", reason.c_str());
  ExitLog(reason);
}

void ConnectBootstrapOrRestart(const char* who) {
  if (InitBooStrapNats() != 0) {
    RestartFromBootstrap(std::string(who) + ": " + GetStringKVPOr(kKeyDeviceMacAddr, "") +
                         "-nats_bootstrap_connection connection Fail");
  }
}

// Ends a sequence without new firmware; the flow decides what runs next.
void FallBackToRunningFirmware() {
  ReleaseFirmwareProgress();
  Next(FirmwareNext::kFallback);
}

std::string Ctrltran(const char* transid, const char* who) {
  if (!transid) {
    LogOut(LL_ERR, "%s missing original-transaction id", who);
    return "MISSING";
  }
  return std::string(transid) + "." + GetStringKVPOr(kKeyDeviceMacAddr, "");
}

long UptimeSeconds() {
  auto text = zc::ReadFile(zc::RootPath("/proc/uptime"), 64);
  return text ? std::atol(text->c_str()) : 0;
}

void ProcessValidateResponse(const Zun__Firmware__FirmwareValidateResponse& r) {
  auto text = [](const char* s) { return s ? s : ""; };
  LogOut(LL_INFO,
         "%s Response: subscriber_id:%s signon_subject:%s firmware.resultsubject:%s "
         "is_upto_date:%d force_update:%d logical_location:%s provisioning_code:%s transid:%s",
         "Firmwarevalidate", LogText(text(r.subscriber_id)).c_str(),
         LogText(text(r.signon_subject)).c_str(), LogText(text(r.firmware_result_subject)).c_str(),
         r.is_upto_date ? 1 : 0, r.force_update ? 1 : 0, LogText(text(r.logical_location)).c_str(),
         LogText(text(r.provisioning_code)).c_str(), LogText(text(r.transid)).c_str());
  SetStringKVP(kKeySignonSubject, text(r.signon_subject));
  SetStringKVP(kKeyFirmwareResultSubject,
               r.firmware_result_subject ? r.firmware_result_subject : "NA");
  if (EqualsNoCase(text(r.provisioning_code), "MNGD.AGNT.NONE")) {
    LogOut(LL_CRIT, "%s: provisioning_code:%s so restart from bootstrap", "Firmwarevalidate",
           r.provisioning_code);
    if (zc::FileExists(zc::RootPath(kBootConfigFile))) {
      RestartFromBootstrap(
          "Firmwarevalidate provisioning_code is ZUN_PROV_NOK,so restart from bootstrap");
    }
  }
  if (!r.force_update) {
    ReleaseFirmwareProgress();
    Next(FirmwareNext::kSignon);
    return;
  }
  if (!r.update) {
    SetStringKVP(kKeyUpgradeAllowed, "false");
    LogOut(LL_ERR, "%s Missing FirmwareUpdate sub proto!!!", "Firmwarevalidate");
    ReleaseFirmwareProgress();
    Next(FirmwareNext::kSignon);
    return;
  }
  const auto* u = r.update;
  SetStringKVP(kKeyUpgradeAllowed, "true");
  SetStringKVP(kKeyFirmwareUrl, u->url ? u->url : "NA");
  SetStringKVP(kKeyFirmwareVersion, u->version ? u->version : "NA");
  SetStringKVP(kKeyFirmwareChecksumType,
               u->checksum_type == ZUN__FIRMWARE__CHECKSUM_TYPE__MD5 ? "MD5" : "NA");
  SetStringKVP(kKeyFirmwareChecksum, u->checksum ? u->checksum : "NA");
  LogOut(LL_INFO, "%s Upgrade Required url:%s, checksum_type:%s, checksum:%s, version:%s",
         "Firmwarevalidate", LogText(text(u->url)).c_str(),
         GetStringKVPOr(kKeyFirmwareChecksumType, "").c_str(), LogText(text(u->checksum)).c_str(),
         LogText(text(u->version)).c_str());
  SetStringKVP(kKeyFirmwareCtrltran, Ctrltran(r.transid, "Firmwarevalidate"));
  gFirmwareUpgradeMode.store(FW_UPGRADE_ACTIVE);
  FirmwareDownload();
}

void DownloadCompletion(std::unique_ptr<HttpRequest> request);

// The failure branch of a download attempt: retry, or fall back after the last one.
void DownloadFailed() {
  LogOut(LL_INFO, "%s: Download Status:%s", "FirmwareDownload_cb_action", "failure");
  LogOut(LL_ERR, "%s Fail : Response Fail", "FirmwareDownload_cb_action");
  RemoveImage();
  if (gMaxDownloadRetry.load() >= kFirmwareMaxDownloadRetry) {
    LogOut(LL_ERR, "%s FW download max retry attempt exceeded:%d continuing with old version",
           "FirmwareDownload_cb_action", gMaxDownloadRetry.load());
    gMaxDownloadRetry.fetch_add(1);
    SetStringKVP(kKeyFwDownloadErrorCode, "FW_DOWNLOAD_FALLBACK");
    FirmwareDownloadResult();
    gMaxDownloadRetry.store(0);
    FallBackToRunningFirmware();
    return;
  }
  int attempt = gMaxDownloadRetry.fetch_add(1) + 1;
  LogOut(LL_INFO, "%s FW download retry attempt :%d ", "FirmwareDownload_cb_action", attempt);
  FirmwareDownloadResult();
  FirmwareDownload(/*retry=*/true);
}

void DownloadAction(bool success) {
  (void)zc::ResetOomAdj();  // not fatal: only the kernel's choice of victim changes
  if (!success) {
    DownloadFailed();
    return;
  }
  LogOut(LL_INFO, "%s: Download Status:%s", "FirmwareDownload_cb_action", "success");
  SetStringKVP(kKeyFwDownloadErrorCode, "FW_NONE");
  gMaxDownloadRetry.store(0);
  FirmwareDownloadResult();
  DumpKVP();
}

void StartDownloadAction(bool success) {
  try {
    std::thread(DownloadAction, success).detach();
  } catch (const std::system_error&) {
    ExitLog("FirmwareDownload_cb_action_thread failed");
  }
}

void DownloadCompletion(std::unique_ptr<HttpRequest> request) {
  if (!request) ExitLog("FirmwareDownload_cb: Response parg is NULL");
  bool success = IsHttpCodeSuccess(request->status) == 0;
  SetStringKVP(kKeyFwDownloadErrorCode,
               success ? "FW_NONE" : HttpStatusCodeToString(request->status));
  request.reset();
  StartDownloadAction(success);
}

// One download attempt of the sequence that holds FW_PROGRESS.
void StartClaimedDownload() {
  RemoveImage();
  ConnectBootstrapOrRestart("FirmwareDownload");
  bool complete = true;
  for (const char* key : {kKeyFirmwareUrl, kKeyFirmwareVersion, kKeyFirmwareResultSubject,
                          kKeyFirmwareChecksumType, kKeyFirmwareChecksum}) {
    auto v = GetUsableKVP(key);
    if (!v || v->empty()) complete = false;
  }
  // The image comes from the web only: anything else is as good as no URL.
  std::string url = GetStringKVPOr(kKeyFirmwareUrl, "");
  if (complete && !IsHttpUrl(url)) {
    LogOut(LL_ERR, "%s firmware.url is not an http(s) URL: %s", "FirmwareDownload",
           LogText(url).c_str());
    complete = false;
  }
  if (!complete) {
    LogOut(LL_ERR, "%s Invalid firmware config and fallback to old version !!!",
           "FirmwareDownload");
    SetStringKVP(kKeyFwDownloadErrorCode, "FW_DOWNLOAD_FALLBACK");
    FirmwareDownloadResult();
    FallBackToRunningFirmware();
    return;
  }
  RouterDeviceOps.FreeUpRAM();
  auto request = std::make_unique<HttpRequest>();
  request->download = true;
  request->completion = DownloadCompletion;
  if (AddHttpRequest(url, std::move(request)) != 0) {
    // The image file could not be opened: an attempt that failed like any other download.
    SetStringKVP(kKeyFwDownloadErrorCode, "FW_Download_Fail");
    StartDownloadAction(false);
  }
}

}  // namespace

void FirmwareAttach(std::function<void(FirmwareNext)> next) {
  gFirmwareNext = std::move(next);
}

int Firmwarevalidate_thread() {
  std::string expired = zc::RootPath(kExpiredBootstrapUrlFile);
  if (zc::FileExists(expired)) {
    if (zc::RemoveFile(expired) == 0) {
      LogOut(LL_INFO, "%s: Expired bootstrap URL config file:%s is removed",
             "Firmwarevalidate_thread", kExpiredBootstrapUrlFile);
    } else {
      LogOut(LL_ERR, "%s: unable to remove the expired bootconfig URL file:%s",
             "Firmwarevalidate_thread", kExpiredBootstrapUrlFile);
    }
  }
  try {
    std::thread(Firmwarevalidate).detach();
  } catch (const std::system_error&) {
    return -1;
  }
  return 0;
}

int StartFirmwareValidation() {
  return Firmwarevalidate_thread();
}

void Firmwarevalidate() {
  LogOut(LL_INFO, "--->Stage: Enter %s", "Firmwarevalidate");
  (void)zc::ResetOomAdj();  // not fatal: only the kernel's choice of victim changes
  nats_bootstrap.Clear();
  ConnectBootstrapOrRestart("Firmwarevalidate");
  std::string uuid = GetUUID();
  std::string mac = GetStringKVPOr(kKeyDeviceMacAddr, "");
  std::string version = GetStringKVPOr(kKeyRunningFirmware, "");
  std::string launcher = GetStringKVPOr(kKeyLauncherVersion, "");
  LogFlowTag tag{"FLOW", uuid.c_str(), "FW_VALIDATE", mac.c_str()};
  auto request = zc::pb::Make<Zun__Firmware__FirmwareValidateRequest>();
  request.mac = mac.data();
  request.version = version.data();
  if (bIsLauncher.load()) request.launcher_version = launcher.data();
  std::vector<uint8_t> packed = zc::pb::Pack(request);
  NatsHeaders headers = NatsClientHeaders(uuid, mac);

  for (int attempt = 1;
       attempt <= std::atoi(GetStringKVPOr(kKeyConnectionMaxRetryCount, "0").c_str()); ++attempt) {
    std::string subject = GetStringKVPOr(kKeyConnectionSubject, "");
    LogFlow(LL_FLOW, tag, "validate running firmware - %s %s", version.c_str(), "SUCCESS");
    LogOut(LL_INFO, "%s Request published with mac:%s version:%s", "Firmwarevalidate", mac.c_str(),
           version.c_str());
    zc::nats::MsgPtr reply;
    natsStatus status = _natsConnection_Request(reply, nats_bootstrap, subject.c_str(),
                                                packed.data(), static_cast<int>(packed.size()),
                                                kFirmwareValidateTimeoutMs, headers);
    if (status != NATS_OK || !reply) {
      LogFlow(LL_FLOW, tag, "Firmware validate response timedout for %s: ", subject.c_str());
      LogOut(LL_CRIT, "%s: Response TimedOut!!! retry count:%d sub:%s nats-status:%s",
             "Firmwarevalidate", attempt - 1, subject.c_str(), natsStatus_GetText(status));
      zc::SleepScaled(std::chrono::seconds(RequestBackoffSeconds(attempt)));
      continue;
    }
    auto response = zc::pb::Unpack<Zun__Firmware__FirmwareValidateResponse>(
        natsMsg_GetData(reply.get()), static_cast<size_t>(natsMsg_GetDataLength(reply.get())));
    if (!response) {
      LogOut(LL_ERR, "%s response__unpack failed", "Firmwarevalidate");
      continue;
    }
    ProcessValidateResponse(*response);
    DumpKVP();
    LogOut(LL_INFO, "<---Stage: Exit %s", "Firmwarevalidate");
    return;
  }
  LogOut(LL_CRIT, "%s: fail!!!", "Firmwarevalidate");
  RestartFromBootstrap("Firmwarevalidate fail: reply fail");
}

void FirmwarePassiveUpdate(const Zun__Config__FIRMWARE& f) {
  // Two assignments can arrive at once (each command subject has its own delivery thread), and
  // one can arrive while an earlier one downloads: the assignment keys belong to the running
  // sequence until it ends, so a later assignment neither mixes its fields into them nor
  // replaces the checksum the running download will be checked against.
  static std::mutex assignMutex;
  {
    std::lock_guard<std::mutex> lock(assignMutex);
    if (FW_PROGRESS.load()) {
      LogOut(LL_INFO, "%s: FW_PROGRESS set, assignment %s for %s not taken",
             "FirmwarePassiveUpdate", LogText(f.transid ? f.transid : "").c_str(),
             LogText(f.version ? f.version : "").c_str());
      return;
    }
    SetStringKVP(kKeyFirmwareUrl, f.fwurl ? f.fwurl : "");
    SetStringKVP(kKeyFirmwareChecksum, f.md5sum ? f.md5sum : "NA");
    SetStringKVP(kKeyFirmwarePreserveConfig, f.has_preserve && f.preserve ? "true" : "false");
    SetStringKVP(kKeyFirmwareChecksumType, f.checksumtype ? f.checksumtype : "MD5");
    SetStringKVP(kKeyFirmwareVersion, f.version ? f.version : "NA");
    SetStringKVP(kKeyFirmwareCtrltran, Ctrltran(f.transid, "FirmwarePassiveUpdate"));
    std::string version = f.version ? f.version : "";
    if (EqualsNoCase(version, GetStringKVPOr(kKeyRunningFirmware, "").c_str())) {
      LogOut(LL_INFO, "%s: Firmware is uptodate, skip fw upgrade request for %s",
             "FirmwarePassiveUpdate", LogText(version).c_str());
      return;
    }
    LogOut(LL_INFO, "--->Stage: %s", "FirmwareDownload");
    if (!TryClaimFirmwareProgress()) {  // an active validation claimed it meanwhile
      LogOut(LL_INFO, "%s FW_PROGRESS set, skip upgrade", "FirmwareDownload");
      return;
    }
    LogOut(LL_INFO, "%s FW_PROGRESS not set, proceed upgrade", "FirmwareDownload");
    gFirmwareUpgradeMode.store(FW_UPGRADE_PASSIVE);
  }
  StartClaimedDownload();
}

void FirmwareDownload(bool retry) {
  LogOut(LL_INFO, "--->Stage: %s", "FirmwareDownload");
  if (!retry) {
    if (!TryClaimFirmwareProgress()) {
      LogOut(LL_INFO, "%s FW_PROGRESS set, skip upgrade", "FirmwareDownload");
      return;
    }
    LogOut(LL_INFO, "%s FW_PROGRESS not set, proceed upgrade", "FirmwareDownload");
  }
  StartClaimedDownload();
}

void FirmwareDownloadResult() {
  LogOut(LL_INFO, "--->Stage Enter: %s", "FirmwareDownloadResult");
  std::string error = GetStringKVPOr(kKeyFwDownloadErrorCode, "");
  FirmwareReport report;
  report.action = ZUN__FIRMWARE__FIRMWARE_ACTION__DOWNLOAD;
  report.success = error == "FW_NONE";
  report.retryAttempt = gMaxDownloadRetry.load();
  report.errorCode = error == "FW_DOWNLOAD_FALLBACK"
                         ? ZUN__FIRMWARE__FIRMWARE_UPDATE_ERROR_CODE__FALLBACK
                         : ZUN__FIRMWARE__FIRMWARE_UPDATE_ERROR_CODE__GENERIC_FAILURE;
  ReportOutcome outcome = SendFirmwareReport(report, "FirmwareDownloadResult");
  if (outcome == ReportOutcome::kSkipped) return;
  if (outcome != ReportOutcome::kAcknowledged) {
    RemoveImage();
    LogOut(LL_CRIT, "%s: fail!!!", "FirmwareDownloadResult");
    ExitLog("FirmwareDownloadResult fail: reply fail");
  }
  if (report.success) FirmwareUpgrade();
}

void FirmwareUpgrade() {
  LogOut(LL_INFO, "--->Stage Enter: %s", "FirmwareUpgrade");
  (void)zc::ResetOomAdj();  // not fatal: only the kernel's choice of victim changes
  int result =
      RouterDeviceOps.FirmwareValidate(GetStringKVPOr(kKeyFirmwareChecksumType, "").c_str(),
                                       GetStringKVPOr(kKeyFirmwareChecksum, "").c_str());
  if (result != 0) {
    FirmwareUpgradeResult(result);
  } else {
    FirmwareUpgradeModeSet();
  }
  DumpKVP();
  LogOut(LL_INFO, "<---Stage Exit: %s", "FirmwareUpgrade");
}

void FirmwareUpgradeModeSet() {
  if (gFirmwareUpgradeMode.load() == FW_UPGRADE_ACTIVE) {
    LogOut(LL_INFO, "FirmwareUpgradeModeSet is FW_UPGRADE_ACTIVE");
    RouterDeviceOps.FirmwareUpgrade(FirmwareUpgradeResult);
    return;
  }
  LogOut(LL_INFO, "FirmwareUpgradeModeSet is FW_UPGRADE_PASSIVE");
  try {
    std::thread([] { RouterDeviceOps.FirmwareUpgrade(FirmwareUpgradeResult); }).detach();
  } catch (const std::system_error&) {
    LogOut(LL_ERR, "FirmwareUpgradeModeSet: pubThread creation failed");
  }
}

const char* FirmwareUpgradeErrorName(int code) {
  switch (code) {
    case 0:
      return "FW_NONE";
    case 1:
      return "FW_HIGH_SIZE";
    case 2:
      return "FW_HIGH_RAM";
    case 3:
      return "FW_INVALID_CHECKSUM";
    case 4:
      return "FW_PRODUCT_MISMATCH";
    case 5:
      return "FW_UPGRADE_FAIL";
    case 6:
      return "FW_UPGRADE_FALLBACK";
    default:
      return "FW_UNKNOWN";
  }
}

int FirmwareUpgradeReportedError(int code) {
  return (code >= 1 && code <= 6) ? code : 5;
}

bool LowRamRebootAllowed(long uptimeSeconds) {
  return uptimeSeconds > kLowRamRebootMinUptimeSeconds;
}

void FirmwareUpgradeResult(int code) {
  LogOut(LL_INFO, "--->Stage: %s", "FirmwareUpgradeResult");
  SetStringKVP(kKeyFwUpgradeErrorCode, FirmwareUpgradeErrorName(code));
  bool lowRamFallback = code == 2 && !LowRamRebootAllowed(UptimeSeconds());
  if (code == 0 || (code == 2 && !lowRamFallback)) REBOOT_FLAG.store(true);
  if (lowRamFallback) {
    LogOut(LL_INFO, "%s: not enough memory shortly after boot, keeping the running firmware",
           "FirmwareUpgradeResult");
  }
  FirmwareReport report;
  report.action = ZUN__FIRMWARE__FIRMWARE_ACTION__UPDATE;
  report.success = code == 0;
  report.retryAttempt = gMaxUpgradeRetry.load();
  report.errorCode =
      static_cast<Zun__Firmware__FirmwareUpdateErrorCode>(FirmwareUpgradeReportedError(code));
  ReportOutcome outcome = SendFirmwareReport(report, "FirmwareUpgradeResult");
  if (outcome == ReportOutcome::kFailed) {
    RemoveImage();
    if (code == 0) {
      LogOut(LL_CRIT, "%s: rebooting device!!!", "FirmwareUpgradeResult");
      PlatformReboot();
      zc::SleepScaled(kFirmwareRebootWait);
      ExitLog("FirmwareUpgradeResult: rebooting device");
    }
    LogOut(LL_CRIT, "%s: fail!!!", "FirmwareUpgradeResult");
    ExitLog("FirmwareUpgradeResult fail: reply fail");
  }
  if (REBOOT_FLAG.load()) {
    LogOut(LL_INFO, "%s Rebooting the device", "FirmwareUpgradeResult");
    PlatformReboot();
    zc::SleepScaled(kFirmwareRebootWait);
    ExitLog("FirmwareUpgradeResult: Rebooting the device");
  }
  if (code == 0 || code == 6) return;
  if (lowRamFallback) {
    RemoveImage();
    FallBackToRunningFirmware();
    return;
  }
  if (gFirmwareUpgradeMode.load() == FW_UPGRADE_ACTIVE) {
    if (gMaxUpgradeRetry.load() < kFirmwareMaxUpgradeRetry) {
      int attempt = gMaxUpgradeRetry.fetch_add(1) + 1;
      LogOut(LL_INFO, "%s FW Upgrade retry attempt :%d ", "FirmwareUpgradeResult", attempt);
      if (zc::FileExists(zc::RootPath(kFirmwareDownloadFile))) {
        FirmwareUpgrade();
        return;
      }
      LogOut(LL_ERR, "%s: image gone, no retry possible", "FirmwareUpgradeResult");
    }
    RemoveImage();
    LogOut(LL_ERR,
           "%s FW Upgrade Mode(FW_UPGRADE_ACTIVE) max retry attempt exceeded:%d continuing with "
           "old version",
           "FirmwareUpgradeResult", gMaxUpgradeRetry.load());
    gMaxUpgradeRetry.fetch_add(1);
    FirmwareUpgradeResult(6);
    gMaxUpgradeRetry.store(0);
    FallBackToRunningFirmware();
    return;
  }
  LogOut(LL_ERR, "%s FW Upgrade Mode(FW_UPGRADE_PASSIVE) Failed", "FirmwareUpgradeResult");
  ReleaseFirmwareProgress();
  RemoveImage();
}
