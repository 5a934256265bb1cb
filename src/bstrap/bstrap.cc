#include "bstrap/bstrap.h"

#include <event2/event.h>
#include <strings.h>

#include <cstring>

#include "bstrap/bstrap_keys.h"
#include "bstrap/bstrap_request.h"
#include "main/nats/nats_session.h"
#include "platform/device_ops.h"
#include "utils/agent_state.h"
#include "utils/exitlog.h"
#include "utils/files.h"
#include "utils/https_client.h"
#include "utils/identity_keys.h"
#include "utils/json.h"
#include "utils/kvp.h"
#include "utils/log.h"
#include "utils/paths.h"
#include "utils/timescale.h"
#include "utils/uuid.h"

namespace {

constexpr int32_t kBootstrapPingIntervalMs = 30000;
constexpr int32_t kBootstrapMaxPings = 4;

event_base* gBootstrapLoop = nullptr;
BootstrapNextHandler gBootstrapNext;

bool EqualsNoCase(const std::string& a, const char* b) {
  return strcasecmp(a.c_str(), b) == 0;
}

void Next(BootstrapNext next, int retryDelaySeconds = 0) {
  if (gBootstrapNext) gBootstrapNext(next, retryDelaySeconds);
}

void ApplyWanAndAcs() {
  auto wanConnection = GetStringKVP(kKeyWanConnection);
  if (!wanConnection) return;
  AcsConfigRecord acs{};
  if (auto v = GetStringKVP(kKeyCwmpAcsUrl)) CopyField(acs.url, v->c_str());
  if (auto v = GetStringKVP(kKeyCwmpUsername)) CopyField(acs.userName, v->c_str());
  if (auto v = GetStringKVP(kKeyCwmpPassword)) CopyField(acs.password, v->c_str());
  if (auto v = GetStringKVP(kKeyCwmpPeriodicInterval)) {
    acs.informInterval = static_cast<uint32_t>(strtoul(v->c_str(), nullptr, 10));
  }
  if (EqualsNoCase(*wanConnection, "MIGRATION")) {
    if (RouterDeviceOps.UpdateSLAndACS(&acs) != 0) {
      LogOut(LL_ERR, "main: Unable to update service list and ACS details");
      ExitLog("main: Unable to update service list and ACS details");
    }
  } else if (EqualsNoCase(*wanConnection, "CREATE")) {
    WanConfigRecord wan = BuildWanConfigRecord();
    if (RouterDeviceOps.CreateWANandUpdateACS(&acs, &wan) != 0) {
      LogOut(LL_ERR, "main: Unable to create WAN and update ACS config");
      ExitLog("main: Unable to create WAN and update ACS config");
    }
  }
}

// Stores the new bootstrap URL of an expired subscription, when there is a usable one.
void WriteExpiredBootstrapUrl() {
  auto url = GetStringKVP(kKeyConnectionExpiredBootstrapUrl);
  if (!url || EqualsNoCase(*url, "NA") || !IsHttpUrl(*url)) {
    LogOut(LL_ERR, "%s: no usable expired-subscription bootstrap URL, keeping the current one",
           "Bootstrap_cb");
    return;
  }
  if (zc::WriteFileAtomic(zc::RootPath(kExpiredBootstrapUrlFile), *url) != 0) {
    LogOut(LL_ERR, "%s fp is NULL to write file:%s value:%s", "Bootstrap_cb",
           kExpiredBootstrapUrlFile, LogText(*url).c_str());
    ExitLog("Bootstrap_cb: fp is NULL during expired bootstrap URL write");
  }
  LogOut(LL_INFO, "%s: Subscription expired. New bootstrap URL = %s", "Bootstrap_cb",
         LogText(*url).c_str());
}

void ActOnProvisioningCode() {
  std::string code = GetStringKVPOr(kKeyProvisioningCode, "");
  if (EqualsNoCase(code, "MNGD.AGNT.NONE") || EqualsNoCase(code, "MNGD.AGNT.SPND")) {
    Next(BootstrapNext::kIdleNotProvisioned);
  } else if (EqualsNoCase(code, "MNGD.AGNT.PROV") || EqualsNoCase(code, "MNGD.MULT.PROV")) {
    Next(BootstrapNext::kValidateFirmware);
  } else if (EqualsNoCase(code, "MNGD.AGNT.EXPD")) {
    WriteExpiredBootstrapUrl();
    ExitLog("Bootstrap_cb: Subscription expired");
  } else {
    LogOut(LL_ERR, "%s Fail : Empty config", "Bootstrap_cb");
    ExitLog("Bootstrap_cb: Fail : Empty config");
  }
}

}  // namespace

void BootstrapAttach(event_base* loop, BootstrapNextHandler next) {
  gBootstrapLoop = loop;
  gBootstrapNext = std::move(next);
}

int64_t RequestBackoffSeconds(int attempt) {
  int64_t cap = kRequestBackoffCap.count();
  if (attempt < 0) attempt = 0;
  if (attempt >= 16) return cap;
  return std::min<int64_t>(kRequestBackoffBase.count() << attempt, cap);
}

int BootstrapBackoffSeconds(int failures, int jitter) {
  return (1 << failures) + jitter;
}

void Bootstrap() {
  LogOut(LL_INFO, "--->Stage: %s", "Bootstrap");
  std::string bootConfig = zc::RootPath(kBootConfigFile);
  if (zc::FileExists(bootConfig)) {
    if (zc::RemoveFile(bootConfig) == 0) {
      LogOut(LL_INFO, "%s: bootstrap config file:%s is removed", "Bootstrap", kBootConfigFile);
    } else {
      LogOut(LL_ERR, "%s: unable to remove the bootconfig file:%s", "Bootstrap", kBootConfigFile);
    }
  }
  auto url = GetStringKVP(kKeyBootstrapUrl);
  zc::JsonPtr body = BuildBootstrapRequestBody();
  if (!body) return;  // logged; the process stays unprovisioned until it is restarted
  if (!url) {
    LogOut(LL_ERR, "%s: Fail : zun_bstrap_url is not set", "Bootstrap");
    ExitLog("Bootstrap: Fail : zun_bstrap_url is not set");
  }
  LogOut(LL_INFO, "Bootstrap Endpoint Request:\n%s\n",
         zc::JsonText(body.get(), JSON_C_TO_STRING_PRETTY).c_str());
  auto request = std::make_unique<HttpRequest>();
  request->requestBody = std::move(body);
  request->completion = Bootstrap_cb;
  if (AddHttpRequest(*url, std::move(request)) != 0) {
    ExitLog("Bootstrap: unable to queue the bootstrap request");
  }
}

void Bootstrap_cb(std::unique_ptr<HttpRequest> request) {
  if (!request || request->status == 0) {
    LogOut(LL_ERR, "%s: Fail : Response is Empty", "Bootstrap_cb");
    ExitLog("Bootstrap_cb: Fail : Response is Empty");
  }
  LogOut(LL_INFO, "%s %d %ld %s", "Bootstrap_cb", static_cast<int>(request->response.size()),
         request->status, LogText(request->response).c_str());
  if (IsHttpCodeSuccess(request->status) != 0) {
    long status = request->status;
    request.reset();
    if (status == 504) {
      LogOut(LL_ERR, "%s Fail : Endpoint request timed out", "Bootstrap_cb");
      ExitLog("Bootstrap_cb: Fail : Endpoint request timed out");
    }
    int failures = gBootstrapFailureCount.load();
    if (status == 500 && failures < kBootstrapMaxRetries) {
      int delay = BootstrapBackoffSeconds(failures, static_cast<int>(RandomU64() % 10));
      LogOut(LL_INFO, "%s gBootstrapFailureCount = %d maxDelay = %d, sleepTime = %d\n",
             "Bootstrap_cb", failures, 1 << failures, delay);
      gBootstrapFailureCount.fetch_add(1);
      Next(BootstrapNext::kRetry, delay);
      return;
    }
    Next(BootstrapNext::kIdleRequestFailed);
    return;
  }
  gBootstrapFailureCount.store(0);
  if (Bootstrap_jsonparser(request->response.c_str()) != 0) {
    LogOut(LL_ERR, "%s Fail : Response Fail rrt:%d", "Bootstrap_cb", -1);
    ExitLog("Bootstrap_cb: Fail : Response Fail");
  }
  LogOut(LL_INFO, "%s http_resp:%ld %s:%s", "Bootstrap_cb", request->status, kKeyProvisioningCode,
         LogText(GetStringKVPOr(kKeyProvisioningCode, "")).c_str());
  ApplyWanAndAcs();
  ActOnProvisioningCode();
}

int Bootstrap_jsonparser(const char* body) {
  if (!body) {
    LogOut(LL_ERR, "%s: Response pstring is NULL", "Bootstrap_jsonparser");
    return -1;
  }
  auto values = BootstrapAnswerValues(body);
  if (!values) LogOut(LL_ERR, "%s: answer is not JSON", "Bootstrap_jsonparser");
  if (values) {
    if (auto refusal = BootstrapAnswerRefusal(*values)) {
      LogOut(LL_ERR, "%s: %s, answer refused", "Bootstrap_jsonparser", refusal->c_str());
      return -1;
    }
  }
  for (int i = 0; values && i < kBootstrapKeyCount; ++i) {
    const std::optional<std::string>& value = (*values)[i];
    if (!value) continue;
    LogOut(LL_INFO, "%s bootstrap_config_params[%d]%s:%s", "Bootstrap_jsonparser", i,
           bootstrap_config_params[i], LogText(*value).c_str());
    Bootstrap_update_flash(bootstrap_config_params[i], value->c_str());
  }
  DumpKVP();
  return 0;
}

void Bootstrap_update_flash(const char* key, const char* value) {
  if (!key || !value) {
    LogOut(LL_ERR, "%s Invalid key/value pair", "Bootstrap_update_flash");
    ExitLog("Bootstrap_update_flash: Invalid key/value pair");
  }
  // One line per key: a value that would break the line (and could plant keys) is refused.
  if (!BootConfigValueAcceptable(value)) {
    LogOut(LL_ERR, "%s: value of %s holds a line break, not stored", "Bootstrap_update_flash", key);
    return;
  }
  std::string line = std::string(key) + "=" + value + "\n";
  if (zc::AppendToFile(zc::RootPath(kBootConfigFile), line) != 0) {
    LogOut(LL_ERR, "%s fp is NULL to write file:%s key:%s value:%s", "Bootstrap_update_flash",
           kBootConfigFile, key, LogText(value).c_str());
    return;
  }
  SetStringKVP(key, value);
}

void BootstrapPrefetch() {
  LogOut(LL_INFO, "--->Stage Enter: Prefetch Bootstrap");
  auto text = zc::ReadFile(zc::RootPath(kBootConfigFile));
  for (int i = 0; i < kBootstrapKeyCount; ++i) {
    if (i == kIdleDeviceSubjectIndex) continue;
    const char* key = bootstrap_config_params[i];
    auto value = text ? BootConfigValue(*text, key) : std::nullopt;
    if (!value || value->empty() || EqualsNoCase(*value, "NA")) {
      LogOut(LL_ERR, "bootstrap invaild config, missing config:%s", key);
      DumpKVP();
      LogOut(LL_ERR, "bootstrap is NOT configured properly");
      Bootstrap();
      LogOut(LL_INFO, "<---Stage Exit: Prefetch Bootstrap");
      return;
    }
    SetStringKVP(key, *value);
    LogOut(LL_INFO, "bootstrap %s:%s", key, LogText(*value).c_str());
  }
  // The optional key is taken along when present.
  if (text) {
    if (auto idle = BootConfigValue(*text, bootstrap_config_params[kIdleDeviceSubjectIndex])) {
      SetStringKVP(bootstrap_config_params[kIdleDeviceSubjectIndex], *idle);
    }
  }
  DumpKVP();
  LogOut(LL_INFO, "bootstrap prefetch success");
  LogOut(LL_INFO, "<---Stage Exit: Prefetch Bootstrap");
  Next(BootstrapNext::kValidateFirmware);
}

int InitBooStrapNats() {
  if (!nats_bootstrap.Name().empty()) {
    LogOut(LL_INFO, "%s bootstrap nats is Already created", "InitBooStrapNats");
    return 0;
  }
  LogOut(LL_INFO, "%s bootstrap nats is Newly created", "InitBooStrapNats");
  NatsConnConfig config;
  config.name = GetStringKVPOr(kKeyDeviceMacAddr, "") + "-nats_bootstrap_connection";
  config.url = GetStringKVPOr(kKeyConnectionUrl, "");
  config.tlsEnabled = EqualsNoCase(GetStringKVPOr(kKeyConnectionTlsEnabled, ""), "true");
  config.pingIntervalMs = kBootstrapPingIntervalMs;
  config.maxPings = kBootstrapMaxPings;
  if (NatsConnInit(gBootstrapLoop, nats_bootstrap, config) != 0) {
    nats_bootstrap.Clear();  // the next attempt creates it anew
    return -1;
  }
  LogOut(LL_INFO, "nats bootstrap connection Success cname:%s cid:%llu",
         nats_bootstrap.Name().c_str(), static_cast<unsigned long long>(nats_bootstrap.ClientId()));
  nats_conn_log(nats_bootstrap, NATS_CONN_EVENT_CONNECTED);
  return 0;
}
