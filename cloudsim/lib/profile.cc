#include "lib/profile.h"

#include <cctype>
#include <fstream>
#include <sstream>

namespace cloudsim {

// Subjects and answers of the cloud's default deployment. "client" headers are those of the
// sign-on and firmware requests; "zun-proto" those of every report.
const char* DefaultProfileText() {
  return R"json({
  "services": {
    "fwvalidate": {"kind": "responder", "subject": "zt.fw.validate",
      "request_type": "FirmwareValidateRequest", "reply_type": "FirmwareValidateResponse",
      "headers": {"x-zun-client-content-type-version": "2.0", "x-zun-client-trace-id": "uuid",
                  "x-zun-client-sender-id": "*", "x-zun-client-content-type": "proto"},
      "reply": {"signon_subject": "zt.signon", "firmware_result_subject": "zt.fw.result",
                "subscriber_id": "sub-0001", "is_upto_date": true, "force_update": false,
                "logical_location": "zt.dll.{mac12}", "provisioning_code": "MNGD.AGNT.PROV"}},
    "signon": {"kind": "responder", "subject": "zt.signon",
      "request_type": "SignOnRequest", "reply_type": "SignOnResponse",
      "headers": {"x-zun-client-content-type-version": "2.0", "x-zun-client-trace-id": "uuid",
                  "x-zun-client-sender-id": "*", "x-zun-client-content-type": "proto"},
      "reply": {
        "subscriber_id": "sub-0001", "dll": "zt.dll.{mac12}", "speed_server_ip": "127.0.0.1:{P}",
        "is_friendly": false, "provisioning_code": "MNGD.AGNT.PROV",
        "connection_info": [
          {"cluster_name": "MESSAGE", "url": "127.0.0.1", "ip": "127.0.0.1", "port": {N},
           "ping_interval_in_seconds": 30, "max_ping": 4, "tls_enabled": true},
          {"cluster_name": "COMMAND", "url": "127.0.0.1", "ip": "127.0.0.1", "port": {N},
           "ping_interval_in_seconds": 30, "max_ping": 4, "tls_enabled": true},
          {"cluster_name": "EDGE", "url": "127.0.0.1", "ip": "127.0.0.1", "port": {N},
           "ping_interval_in_seconds": 30, "max_ping": 4, "tls_enabled": true}],
        "subscribe_subject": {"stable_firmware": ["zt.fw.stable"], "beta_firmware": [],
          "debug_firmware": ["zt.fw.debug.{mac12}"], "immediate_firmware": ["zt.fw.now.{mac12}"],
          "debug_cli": ["zt.cli.{mac12}.req"], "command_groups": ["zt.cmd.{mac12}", "zt.cmd.all"]},
        "publish_subject": {"log": "zt.log", "config_response": "zt.configresp",
          "finger_print": "zt.fprint", "telemetry": "zt.telemetry", "dns": "zt.edge.dns",
          "speed_test": "zt.speed", "speedtest_result": "zt.speed.result",
          "trace_route": "zt.trace", "pingIP": "zt.ping", "debug_cli": "zt.cli.{mac12}.resp",
          "dns_metrics": "zt.dnsmetrics", "acs_survey": "zt.wifi.survey",
          "acs_optimize": "zt.wifi.optimize", "scan_and_optimize_wifi": "zt.wifi.scanopt"},
        "request_subject": {"event": "zt.event"},
        "intervals": {"dns_metrics": 60, "telemetry": 60},
        "retry": {"max_retry_count": 3, "request_timeout": 10},
        "reboot_config": {"reboot_interval_in_days": 7},
        "use_single_nats": false, "next_reboot_time": 0}},
    "fwresult": {"kind": "responder", "subject": "zt.fw.result",
      "request_type": "FirmwareUpdateResult", "reply_type": "FirmwareUpdateResultResponse",
      "headers": {"x-zun-client-content-type-version": "2.0", "x-zun-client-trace-id": "uuid",
                  "x-zun-client-sender-id": "*", "x-zun-client-content-type": "proto"},
      "reply": {"status": "SUCCESS"}},
    "event": {"kind": "event", "subject": "zt.event", "request_type": "APEvent",
      "headers": {"zun-proto": "v1"}},
    "edge": {"kind": "reputation", "subject": "zt.edge.dns", "request_type": "EDGEDNSREQUEST",
      "reply_type": "EDGEDNSRESP", "reply": {"sec_category_id": 0, "app": "NA", "seqno": 0},
      "rules": [
        {"site_regex": "(^|\\.)adult\\.test$", "category_ids": [10], "sec_category_id": 0, "app": "NA"},
        {"site_regex": "(^|\\.)ads\\.test$", "category_ids": [20], "sec_category_id": 0, "app": "NA"},
        {"site_regex": "(^|\\.)malware\\.test$", "category_ids": [], "sec_category_id": 7, "app": "NA"},
        {"site_regex": "(^|\\.)chat\\.test$", "category_ids": [30], "sec_category_id": 0, "app": "chatapp"},
        {"default": true, "category_ids": [], "sec_category_id": 0, "app": "NA"}]}
  },
  "sinks": [
    {"subject": "zt.journal.boot", "type": "JOURNAL", "headers": {"zun-proto": "v1"}},
    {"subject": "zt.log", "type": "JOURNAL", "headers": {"zun-proto": "v1"}},
    {"subject": "zt.telemetry", "type": "Telemetry", "headers": {"zun-proto": "v1"}},
    {"subject": "zt.dnsmetrics", "type": "DNSHISTOGRAM", "headers": {"zun-proto": "v1"}},
    {"subject": "zt.configresp", "type": "CONFIGRESP", "headers": {"x-zun-trace-id": "*"}},
    {"subject": "zuncore.idle.configResponse.*", "type": "CONFIGRESP",
     "headers": {"x-zun-trace-id": "*"}},
    {"subject": "zt.ping", "type": "json", "headers": {"zun-proto": "v1"}},
    {"subject": "zt.trace", "type": "json", "headers": {"zun-proto": "v1"}},
    {"subject": "zt.speed", "type": "json", "headers": {"zun-proto": "v1"}},
    {"subject": "zt.speed.result", "type": "json", "headers": {"zun-proto": "v1"}},
    {"subject": "zt.cli.*.resp", "type": "text", "headers": {"zun-proto": "v1"}},
    {"subject": "zunanalytics.clidebug.v1.*.resp", "type": "text",
     "headers": {"zun-proto": "v1"}},
    {"subject": "zt.wifi.survey", "type": "SCANRESULTS", "headers": {"zun-proto": "v1"}},
    {"subject": "zt.wifi.optimize", "type": "OPTIMIZEWIFI", "headers": {"zun-proto": "v1"}},
    {"subject": "zt.wifi.scanopt", "type": "ScanAndOptimizeWiFiResult",
     "headers": {"zun-proto": "v1"}},
    {"subject": "nats.kelp.demo", "type": "EDGEDNSRESP"}
  ],
  "bootstrap": {"answer": {"status": 200, "body": {
    "provisioningCode": "MNGD.AGNT.PROV",
    "logicalLocation": "zt.dll.{mac12}",
    "subscriberId": "sub-0001",
    "connectionInfo": {
      "url": "nats://127.0.0.1:{N}", "tlsEnabled": true, "maxRetryCount": 3,
      "subject": "zt.fw.validate", "journalSubject": "zt.journal.boot",
      "idleDeviceSubject": "zt.idle.{mac12}", "subscriptionSuspendedSubject": "zt.suspended.{mac12}",
      "subscriptionExpiredBootstrapUrl": "https://127.0.0.1:{H}/renew"},
    "wanConnection": "NONE",
    "cwmpConfig": {"acsUrl": "https://acs.test/cwmp", "username": "acs", "password": "acs-pass",
                   "periodicInterval": 3600},
    "wanConfig": {
      "mode": "ROUTE", "ipProtocolMode": "IPV4", "ipMode": "DHCP", "NATEnabled": 1,
      "VLANEnabled": 0, "VLANId": 0, "priority": 0, "MTU": 1500, "serviceMode": "INTERNET",
      "static": {"externalIpAddress": "0.0.0.0", "subnetMask": "0.0.0.0",
                 "defaultGateway": "0.0.0.0", "primaryDNS": "0.0.0.0", "secondaryDNS": "0.0.0.0"},
      "PPPoE": {"username": "none", "password": "none", "serviceName": "none", "PPPType": "none"}}
  }}},
  "routes": [
    {"path": "/now", "listener": "http", "body": "2025-03-01T12:00:00"},
    {"path": "/ip", "listener": "http", "body": "198.51.100.7"},
    {"path": "/index.html", "listener": "http", "body": "ok\n"}
  ],
  "targets": {
    "logicalLocation": "zt.dll.{mac12}",
    "suspended": "zt.suspended.{mac12}",
    "commandGroup:0": "zt.cmd.{mac12}",
    "commandGroup:1": "zt.cmd.all",
    "debugCLI:0": "zt.cli.{mac12}.req",
    "stableFirmware:0": "zt.fw.stable",
    "immediateFirmware:0": "zt.fw.now.{mac12}",
    "debugFirmware:0": "zt.fw.debug.{mac12}",
    "idle.dll": "zuncore.idle.dll.{mac12}",
    "idle.cli": "zunanalytics.clidebug.v1.{mac12}.req",
    "idle.firmware": "zuncore.idle.debugFirmware.{mac12}",
    "idle.location": "zt.idle.{mac12}"
  }
})json";
}

std::string SubstituteVars(const std::string& text, const ProfileVars& vars) {
  std::string mac12;
  for (char c : vars.mac) {
    if (c != ':') mac12 += static_cast<char>(tolower(static_cast<unsigned char>(c)));
  }
  const std::pair<std::string, std::string> table[] = {
      {"{MAC}", vars.mac},
      {"{mac12}", mac12},
      {"{N}", std::to_string(vars.natsPort)},
      {"{H}", std::to_string(vars.httpsPort)},
      {"{P}", std::to_string(vars.httpPort)},
  };
  std::string out = text;
  for (const auto& [from, to] : table) {
    for (size_t pos = out.find(from); pos != std::string::npos; pos = out.find(from, pos)) {
      out.replace(pos, from.size(), to);
      pos += to.size();
    }
  }
  return out;
}

namespace {

// A file with "base": "default" holds only changes: services and targets replace or add by name,
// sinks are added.
JsonPtr MergeOverDefault(JsonPtr changes, const ProfileVars& vars, std::string* error) {
  JsonPtr merged = ParseJson(SubstituteVars(DefaultProfileText(), vars), error);
  if (!merged) return {};
  for (const char* section : {"services", "targets", "bootstrap"}) {
    json_object* from = Member(changes.get(), section);
    json_object* to = Member(merged.get(), section);
    if (!from || !to) continue;
    json_object_object_foreach(from, key, value) {
      json_object_object_add(to, key, json_object_get(value));
    }
  }
  if (json_object* routes = Member(changes.get(), "routes")) {
    json_object_object_add(merged.get(), "routes", json_object_get(routes));
  }
  json_object* sinks = Member(merged.get(), "sinks");
  json_object* more = Member(changes.get(), "sinks");
  for (size_t i = 0; sinks && more && i < json_object_array_length(more); ++i) {
    json_object_array_add(sinks, json_object_get(json_object_array_get_idx(more, i)));
  }
  return merged;
}

}  // namespace

JsonPtr LoadProfile(const std::string& file, const ProfileVars& vars, std::string* error) {
  std::string text = DefaultProfileText();
  if (!file.empty()) {
    std::ifstream in(file);
    if (!in) {
      *error = "cannot read " + file;
      return {};
    }
    std::stringstream ss;
    ss << in.rdbuf();
    text = ss.str();
  }
  JsonPtr profile = ParseJson(SubstituteVars(text, vars), error);
  if (!profile) {
    if (error->empty()) *error = "profile is not JSON";
    return {};
  }
  if (StringMember(profile.get(), "base") == "default") {
    return MergeOverDefault(std::move(profile), vars, error);
  }
  return profile;
}

std::string ResolveTarget(const json_object* profile, const std::string& to) {
  if (to.rfind("subject:", 0) == 0) return to.substr(8);
  return StringMember(Member(profile, "targets"), to.c_str()).value_or("");
}

}  // namespace cloudsim
