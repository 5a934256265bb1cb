#include "signon/signon.h"

#include <strings.h>
#include <sys/time.h>

#include <string>
#include <thread>

#include "bstrap/bootconfig.h"
#include "bstrap/bstrap.h"
#include "bstrap/bstrap_keys.h"
#include "config/profileutils.h"
#include "main/nats/nats_session.h"
#include "signon/signon_keys.h"
#include "utils/agent_state.h"
#include "utils/exitlog.h"
#include "utils/files.h"
#include "utils/identity_keys.h"
#include "utils/kvp.h"
#include "utils/log.h"
#include "utils/paths.h"
#include "utils/timescale.h"
#include "utils/uuid.h"

namespace {

const char* ClusterPrefix(int cluster) {
  switch (cluster) {
    case ZUN__SIGNON__NATS_CLUSTER_NAME__MESSAGE:
      return kKeyConnInfoMsgPrefix;
    case ZUN__SIGNON__NATS_CLUSTER_NAME__COMMAND:
      return kKeyConnInfoCmdPrefix;
    case ZUN__SIGNON__NATS_CLUSTER_NAME__EDGE:
      return kKeyConnInfoEdgePrefix;
    default:
      return nullptr;
  }
}

const char* Text(const char* s) {
  return s ? s : "";
}

// Cloud text as it may appear in a log line.
std::string Shown(const char* s) {
  return LogText(Text(s));
}

void StoreList(const std::string& base, char** items, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    SetStringKVP(base + "." + std::to_string(i), Text(items[i]));
  }
  SetStringKVP(base + kKeyListCountSuffix, std::to_string(count));
}

void StoreOptionalSubject(const char* key, const char* value, const char* name) {
  if (value) {
    SetStringKVP(key, value);
  } else {
    LogOut(LL_WARN, "%s Missing %s subject", "Signon", name);
  }
}

bool AllowedCluster(const char* prefix) {
  return strcasecmp(GetStringKVPOr(std::string(prefix) + kKeyConnInfoAllow, "").c_str(), "true") ==
         0;
}

// Profiles of the sign-on answer have the configuration family's layout: re-encode and decode.
void PushProfiles(const Zun__Signon__SignOnResponse& response) {
  if (response.n_dns_profile == 0) {
    LogOut(LL_INFO, "%s: DNS profiles is EMPTY", "Signon");
    return;
  }
  LogOut(LL_INFO, "%s: Total DNS profiles:%d", "Signon", static_cast<int>(response.n_dns_profile));
  while (!ZunModuleInitDone.load()) {
    LogOut(LL_INFO, "%s: is waiting for ZunModuleInitDone to push DNS config", "Signon");
    zc::SleepScaled(kSignonInitDonePoll);
  }
  for (size_t i = 0; i < response.n_dns_profile; ++i) {
    LogOut(LL_INFO, "%s process DNS profile config[%d]", "Signon", static_cast<int>(i + 1));
    std::vector<uint8_t> bytes = zc::pb::Pack(*response.dns_profile[i]);
    auto profile = zc::pb::Unpack<Zun__Config__DNSPROFILE>(bytes.data(), bytes.size());
    if (!profile) {
      LogOut(LL_ERR, "%s: DNS profile %d does not decode", "Signon", static_cast<int>(i + 1));
      continue;
    }
    UpdateProfile(profile.get());
  }
}

void WriteRebootFiles(const Zun__Signon__SignOnResponse& response) {
  if (response.reboot_config) {
    int days = response.reboot_config->reboot_interval_in_days;
    if (zc::WriteFileAtomic(zc::RootPath(kRebootIntervalFile), std::to_string(days) + "\n") != 0) {
      LogOut(LL_ERR, "%s: unable to write %s", "Signon", kRebootIntervalFile);
    }
    LogOut(LL_INFO, "%s Device reboot interval = %d", "Signon", days);
  }
  timeval now{};
  if (gettimeofday(&now, nullptr) != 0) LogOut(LL_ERR, "Signon: Unable to get time of day :%d", -1);
  long next = 0;
  if (response.has_next_reboot_time && response.next_reboot_time >= 1) {
    next = now.tv_sec + response.next_reboot_time;
    zc::WriteFileAtomic(zc::RootPath(kNextRebootTimeFile), std::to_string(next) + "\n");
  } else {
    zc::RemoveFile(zc::RootPath(kNextRebootTimeFile));
  }
  LogOut(LL_INFO, "%s Next reboot time = %ld", "Signon", next);
}

// Restart from bootstrap when the router turns out not to be provisioned.
void HandleNotProvisioned(const LogFlowTag& tag, const char* code) {
  LogOut(LL_CRIT, "%s: provisioning_code:%s so restart from bootstrap", "Signon", code);
  std::string bootConfig = zc::RootPath(kBootConfigFile);
  if (!zc::FileExists(bootConfig)) return;
  if (zc::RemoveFile(bootConfig) == 0) {
    LogOut(LL_INFO, "%s: bootstrap config file:%s is removed", "Signon", kBootConfigFile);
  } else {
    LogOut(LL_ERR, "%s: unable to remove the bootconfig file:%s", "Signon", kBootConfigFile);
  }
  LogOut(LL_INFO, "<---Stage: Exit %s", "Signon");
  LogFlow(LL_FLOW, tag, "sign on provisioning_code is ZUN_PROV_NOK %s: ", "FAILURE");
  ExitLog("Signon provisioning_code is ZUN_PROV_NOK,so restart from bootstrap");
}

void ProcessResponse(const Zun__Signon__SignOnResponse& r, const LogFlowTag& tag) {
  LogFlow(LL_FLOW, tag,
          "sign on response unpacked subscriber_id:%s, speed_server_ip:%s, is_friendly:%d, "
          "dll:%s, provisioning_code:%s %s",
          Shown(r.subscriber_id).c_str(), Shown(r.speed_server_ip).c_str(), r.is_friendly ? 1 : 0,
          Shown(r.dll).c_str(), Shown(r.provisioning_code).c_str(), "SUCCESS");
  LogOut(LL_INFO,
         "%s Response: subscriber_id:%s speed_server_ip:%s is_friendly:%d dll:%s "
         "provisioning_code:%s",
         "Signon", Shown(r.subscriber_id).c_str(), Shown(r.speed_server_ip).c_str(),
         r.is_friendly ? 1 : 0, Shown(r.dll).c_str(), Shown(r.provisioning_code).c_str());
  if (r.user_data) {
    LogOut(LL_INFO, "user_data: %s", LogText(r.user_data).c_str());
    SetStringKVP(kKeyUserData, r.user_data);
  }
  SetStringKVP(kKeySpeedServerIp, Text(r.speed_server_ip));
  std::string code = Text(r.provisioning_code);
  if (strcasecmp(code.c_str(), "MNGD.AGNT.NONE") == 0) {
    HandleNotProvisioned(tag, code.c_str());
  } else if (!BootConfigValueAcceptable(code)) {
    // A code that cannot stand on one line would break the boot configuration (and plant keys
    // in it): the stored code stays.
    LogOut(LL_ERR, "%s: provisioning_code holds a line break, not stored", "Signon");
  } else {
    SetStringKVP(kKeyProvisioningCode, code);
    if (zc::FileExists(zc::RootPath(kBootConfigFile)) &&
        UpdateBootConfigValue(kKeyProvisioningCode, code) != 0) {
      LogOut(LL_ERR, "%s: unable to store provisioning_code in %s", "Signon", kBootConfigFile);
    }
  }
  StoreSignOnSettings(r);
  // The single-connection choice must be in place before the URL keys start the main timer.
  if (r.has_use_single_nats && r.use_single_nats) gUseSingleNats.store(true);
  WriteRebootFiles(r);
  StoreConnectionUrls();
  PushProfiles(r);
}

}  // namespace

void StoreSignOnSettings(const Zun__Signon__SignOnResponse& r) {
  for (size_t i = 0; i < r.n_connection_info; ++i) {
    const auto* c = r.connection_info[i];
    const char* prefix = ClusterPrefix(c->cluster_name);
    if (!prefix) {
      LogOut(LL_CRIT, "%s: Invalid nats cluster_name", "Signon");
      continue;
    }
    std::string p = prefix;
    SetStringKVP(p + kKeyConnInfoUrl, Text(c->url));
    SetStringKVP(p + kKeyConnInfoPort, std::to_string(c->port));
    SetStringKVP(p + kKeyConnInfoPingInterval, std::to_string(c->ping_interval_in_seconds));
    SetStringKVP(p + kKeyConnInfoMaxPing, std::to_string(c->max_ping));
    SetStringKVP(p + kKeyConnInfoTlsEnabled, c->tls_enabled ? "1" : "0");
    SetStringKVP(p + kKeyConnInfoAllow, "true");
  }
  if (r.intervals) {
    SetStringKVP(kKeyDnsMetricsInterval, std::to_string(r.intervals->dns_metrics));
    SetStringKVP(kKeyTelemetryInterval, std::to_string(r.intervals->telemetry));
  }
  if (r.request_subject) SetStringKVP(kKeyEventRequestSubject, Text(r.request_subject->event));
  if (r.retry) {
    SetStringKVP(kKeyRetryMaxCount, std::to_string(r.retry->max_retry_count));
    SetStringKVP(kKeyRetryRequestTimeout,
                 std::to_string(static_cast<uint64_t>(r.retry->request_timeout) * 1000));
  }
  if (const auto* p = r.publish_subject) {
    SetStringKVP(kKeyPubLog, Text(p->log));
    SetStringKVP(kKeyPubConfigResponse, Text(p->config_response));
    SetStringKVP(kKeyPubFingerPrint, Text(p->finger_print));
    SetStringKVP(kKeyPubTelemetry, Text(p->telemetry));
    SetStringKVP(kKeyPubDns, Text(p->dns));
    SetStringKVP(kKeyPubSpeedTest, Text(p->speed_test));
    SetStringKVP(kKeyPubSpeedtestResult, Text(p->speedtest_result));
    SetStringKVP(kKeyPubTraceRoute, Text(p->trace_route));
    SetStringKVP(kKeyPubPingIp, Text(p->pingip));
    SetStringKVP(kKeyPubDebugCli, Text(p->debug_cli));
    SetStringKVP(kKeyPubDnsMetrics, Text(p->dns_metrics));
    StoreOptionalSubject(kKeyPubAcsSurvey, p->acs_survey, "acs_survey");
    StoreOptionalSubject(kKeyPubAcsOptimize, p->acs_optimize, "acs_optimize");
    StoreOptionalSubject(kKeyPubScanAndOptimizeWifi, p->scan_and_optimize_wifi,
                         "scan_and_optimize_wifi");
  }
  if (const auto* s = r.subscribe_subject) {
    StoreList(kKeySubDebugFirmware, s->debug_firmware, s->n_debug_firmware);
    StoreList(kKeySubStableFirmware, s->stable_firmware, s->n_stable_firmware);
    StoreList(kKeySubImmediateFirmware, s->immediate_firmware, s->n_immediate_firmware);
    StoreList(kKeySubBetaFirmware, s->beta_firmware, s->n_beta_firmware);
    StoreList(kKeySubDebugCli, s->debug_cli, s->n_debug_cli);
    StoreList(kKeySubCommandGroup, s->command_groups, s->n_command_groups);
  }
}

void StoreConnectionUrls(const std::function<void(const char* key)>& afterWrite) {
  struct Step {
    const char* prefix;
    const char* urlKey;
  };
  // The message URL first: in single-connection mode the command step rides on its connection.
  for (const Step& s :
       {Step{kKeyConnInfoMsgPrefix, kKeyNatsMsgUrl}, Step{kKeyConnInfoCmdPrefix, kKeyNatsCmdUrl},
        Step{kKeyConnInfoEdgePrefix, kKeyNatsEdgeUrl}}) {
    bool allowed = AllowedCluster(s.prefix);
    std::string p = s.prefix;
    if (std::string(s.urlKey) == kKeyNatsEdgeUrl) {
      SetStringKVP(kKeyRunZunDns, allowed ? "yes" : "no");
    }
    SetStringKVP(s.urlKey, allowed ? "nats://" + GetStringKVPOr(p + kKeyConnInfoUrl, "") + ":" +
                                         GetStringKVPOr(p + kKeyConnInfoPort, "")
                                   : "disabled");
    if (afterWrite) afterWrite(s.urlKey);
  }
}

void Signon() {
  LogOut(LL_INFO, "--->Stage: Enter %s", "Signon");
  std::string uuid = GetUUID();
  std::string mac = GetStringKVPOr(kKeyDeviceMacAddr, "");
  LogFlowTag tag{"FLOW", uuid.c_str(), "GET_ZUNCORE", mac.c_str()};

  auto request = zc::pb::Make<Zun__Signon__SignOnRequest>();
  request.mac = const_cast<char*>(mac.c_str());
  std::vector<uint8_t> packed = zc::pb::Pack(request);
  NatsHeaders headers = NatsClientHeaders(uuid, mac);

  for (int attempt = 1;
       attempt <= std::atoi(GetStringKVPOr(kKeyConnectionMaxRetryCount, "0").c_str()); ++attempt) {
    std::string subject = GetStringKVPOr(kKeySignonSubject, "");
    LogFlow(LL_FLOW, tag, "sign on request sent %s", "SUCCESS");
    LogOut(LL_INFO, "%s Request published with mac:%s", "Signon", mac.c_str());
    zc::nats::MsgPtr reply;
    natsStatus status =
        _natsConnection_Request(reply, nats_bootstrap, subject.c_str(), packed.data(),
                                static_cast<int>(packed.size()), kSignonRequestTimeoutMs, headers);
    if (status != NATS_OK || !reply) {
      LogFlow(LL_FLOW, tag, "Sign on response timed out  retry count:%d sub:%s nats-status:%s %s",
              attempt - 1, subject.c_str(), natsStatus_GetText(status), "FAILURE");
      LogOut(LL_CRIT, "%s: Response TimedOut!!! retry count:%d sub:%s nats-status:%s", "Signon",
             attempt - 1, subject.c_str(), natsStatus_GetText(status));
      zc::SleepScaled(std::chrono::seconds(RequestBackoffSeconds(attempt)));
      continue;
    }
    const char* data = natsMsg_GetData(reply.get());
    int length = natsMsg_GetDataLength(reply.get());
    LogFlow(LL_FLOW, tag,
            "Received response for sign on request - subject:%s, data_len:%d, status:%s",
            subject.c_str(), length, "SUCCESS");
    LogOut(LL_DEBUG, "%s: Received msg: %s - %s\n", "Signon", natsMsg_GetSubject(reply.get()),
           LogText(std::string_view(data ? data : "", data ? static_cast<size_t>(length) : 0))
               .c_str());
    auto response = zc::pb::Unpack<Zun__Signon__SignOnResponse>(data, static_cast<size_t>(length));
    if (!response) {
      LogFlow(LL_FLOW, tag, "Sign on response unpacking failed:%d %s", length, "FAILURE");
      LogOut(LL_CRIT, "%s response__unpack fail:%d", "Signon", length);
      continue;
    }
    ProcessResponse(*response, tag);
    DumpKVP();
    LogOut(LL_INFO, "<---Stage: Exit %s", "Signon");
    return;
  }
  DumpKVP();
  LogOut(LL_CRIT, "%s: fail!!!", "Signon");
  LogOut(LL_INFO, "<---Stage: Exit %s", "Signon");
  LogFlow(LL_FLOW, tag, "Sign on failed %s", "FAILURE");
  ExitLog("Signon fail: reply fail");
}
