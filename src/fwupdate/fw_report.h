// The acknowledged FirmwareUpdateResult reports of downloads and flashes.
#pragma once

#include "proto/messages.h"

struct FirmwareReport {
  Zun__Firmware__FirmwareAction action = ZUN__FIRMWARE__FIRMWARE_ACTION__UNDEFINED_ACTION;
  bool success = false;
  int retryAttempt = 0;
  Zun__Firmware__FirmwareUpdateErrorCode errorCode =
      ZUN__FIRMWARE__FIRMWARE_UPDATE_ERROR_CODE__UNDEFINED;
};

enum class ReportOutcome {
  kAcknowledged,  // the cloud answered SUCCESS
  kFailed,        // no valid answer after every attempt, or an answer other than SUCCESS
  kSkipped,       // no result subject (idle state): nothing to report to
};

// Sends the report on "firmware.resultsubject" over the bootstrap connection, up to
// "connectionInfo.maxRetryCount" attempts.
ReportOutcome SendFirmwareReport(const FirmwareReport& report, const char* who);
