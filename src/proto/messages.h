// Every message that crosses the wire, with its ownership traits: include this header and use
// zc::pb::Unpack<T>, zc::pb::Pack, zc::pb::Make<T> on the generated types.
#pragma once

#include "proto/config.pb-c.h"
#include "proto/edge.pb-c.h"
#include "proto/event.pb-c.h"
#include "proto/firmware.pb-c.h"
#include "proto/journal.pb-c.h"
#include "proto/metrics.pb-c.h"
#include "proto/pb.h"
#include "proto/signon.pb-c.h"
#include "proto/telemetry.pb-c.h"
#include "proto/wifiscan.pb-c.h"

// Sign-on.
ZC_PB_MESSAGE(Zun__Signon__SignOnRequest, zun__signon__sign_on_request);
ZC_PB_MESSAGE(Zun__Signon__SignOnResponse, zun__signon__sign_on_response);
// Firmware.
ZC_PB_MESSAGE(Zun__Firmware__FirmwareValidateRequest, zun__firmware__firmware_validate_request);
ZC_PB_MESSAGE(Zun__Firmware__FirmwareValidateResponse, zun__firmware__firmware_validate_response);
ZC_PB_MESSAGE(Zun__Firmware__FirmwareUpdateResult, zun__firmware__firmware_update_result);
ZC_PB_MESSAGE(Zun__Firmware__FirmwareUpdateResultResponse,
              zun__firmware__firmware_update_result_response);
// Configuration.
ZC_PB_MESSAGE(Zun__Config__PLATFORMCONFIG, zun__config__platformconfig);
ZC_PB_MESSAGE(Zun__Config__CONFIGRESP, zun__config__configresp);
ZC_PB_MESSAGE(Zun__Config__DNSPROFILE, zun__config__dnsprofile);
// Wi-Fi scan results.
ZC_PB_MESSAGE(Zun__Wifiscan__SCANRESULTS, zun__wifiscan__scanresults);
ZC_PB_MESSAGE(Zun__Wifiscan__OPTIMIZEWIFI, zun__wifiscan__optimizewifi);
ZC_PB_MESSAGE(Zun__Wifiscan__ScanAndOptimizeWiFiResult,
              zun__wifiscan__scan_and_optimize_wi_fi_result);
// Reporting.
ZC_PB_MESSAGE(Zun__Event__APEvent, zun__event__apevent);
ZC_PB_MESSAGE(Zun__Telemetry__Telemetry, zun__telemetry__telemetry);
ZC_PB_MESSAGE(Zun__Journal__JOURNAL, zun__journal__journal);
// Filtering.
ZC_PB_MESSAGE(Zun__Edge__EDGEDNSREQUEST, zun__edge__edgednsrequest);
ZC_PB_MESSAGE(Zun__Edge__EDGEDNSRESP, zun__edge__edgednsresp);
ZC_PB_MESSAGE(Zun__Metrics__DNSHISTOGRAM, zun__metrics__dnshistogram);
