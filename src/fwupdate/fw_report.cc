#include "fwupdate/fw_report.h"

#include <string>

#include "bstrap/bstrap_keys.h"
#include "fwupdate/fwupdate_keys.h"
#include "main/nats/nats_session.h"
#include "utils/identity_keys.h"
#include "utils/kvp.h"
#include "utils/log.h"
#include "utils/uuid.h"

namespace {

constexpr int64_t kReportTimeoutMs = 10000;

}  // namespace

ReportOutcome SendFirmwareReport(const FirmwareReport& report, const char* who) {
  auto subject = GetUsableKVP(kKeyFirmwareResultSubject);
  if (!subject || subject->empty()) {
    LogOut(LL_WARN, "%s: no firmware result subject, report skipped", who);
    return ReportOutcome::kSkipped;
  }
  std::string mac = GetStringKVPOr(kKeyDeviceMacAddr, "");
  std::string subscriber = GetStringKVPOr(kKeySubscriberId, "");
  std::string location = GetStringKVPOr(kKeyLogicalLocation, "");
  std::string version = GetStringKVPOr(kKeyFirmwareVersion, "");
  std::string transid = GetStringKVPOr(kKeyFirmwareCtrltran, "MISSING");
  auto message = zc::pb::Make<Zun__Firmware__FirmwareUpdateResult>();
  message.mac = mac.data();
  message.subscriber_id = subscriber.data();
  message.logical_location = location.data();
  message.version = version.data();
  message.type = report.action;
  message.status = report.success ? ZUN__FIRMWARE__FIRMWARE_STATUS__SUCCESS
                                  : ZUN__FIRMWARE__FIRMWARE_STATUS__FAILURE;
  if (!report.success) {
    message.has_retry_attempt = 1;
    message.retry_attempt = report.retryAttempt;
    message.has_error_code = 1;
    message.error_code = report.errorCode;
  }
  message.transid = transid.data();
  std::vector<uint8_t> packed = zc::pb::Pack(message);
  std::string uuid = GetUUID();
  LogFlowTag tag{"FLOW", uuid.c_str(), "FW_UPGRADE_RESULT", mac.c_str()};
  NatsHeaders headers = NatsClientHeaders(uuid, mac);
  const char* statusText = report.success ? "SUCCESS" : "FAILURE";
  int attempts = std::atoi(GetStringKVPOr(kKeyConnectionMaxRetryCount, "0").c_str());
  for (int attempt = 1; attempt <= attempts; ++attempt) {
    LogOut(LL_INFO, "%s publish the Request: status:%s error:%d", who, statusText,
           report.success ? 0 : static_cast<int>(report.errorCode));
    zc::nats::MsgPtr reply;
    natsStatus status =
        _natsConnection_Request(reply, nats_bootstrap, subject->c_str(), packed.data(),
                                static_cast<int>(packed.size()), kReportTimeoutMs, headers);
    if (status != NATS_OK || !reply) {
      LogOut(LL_CRIT, "%s: Response TimedOut!!! retry count:%d sub:%s nats-status:%s", who,
             attempt - 1, subject->c_str(), natsStatus_GetText(status));
      continue;
    }
    auto answer = zc::pb::Unpack<Zun__Firmware__FirmwareUpdateResultResponse>(
        natsMsg_GetData(reply.get()), static_cast<size_t>(natsMsg_GetDataLength(reply.get())));
    if (!answer) {
      LogOut(LL_ERR, "%s response__unpack failed", who);
      continue;
    }
    if (answer->status != ZUN__FIRMWARE__FIRMWARE_STATUS__SUCCESS) {
      LogOut(LL_ERR, "%s: FirmwareUpdateResultResponse failed status:%d", who, answer->status);
      return ReportOutcome::kFailed;
    }
    LogOut(LL_INFO, "%s: FirmwareUpdateResultResponse passed status:%d", who, answer->status);
    LogFlow(LL_FLOW, tag, "firmware %s report acknowledged %s",
            report.action == ZUN__FIRMWARE__FIRMWARE_ACTION__DOWNLOAD ? "download" : "update",
            statusText);
    return ReportOutcome::kAcknowledged;
  }
  return ReportOutcome::kFailed;
}
