// Answers: the CONFIGRESP of each transaction with its stage log, diagnostics publishing on the
// command connection, and the flush that precedes a deliberate end of the process.
#include <unistd.h>

#include <mutex>
#include <string>

#include "config/config.h"
#include "config/config_internal.h"
#include "config/config_keys.h"
#include "main/nats/nats_session.h"
#include "proto/pb.h"
#include "utils/exitlog.h"
#include "utils/json.h"
#include "utils/kvp.h"
#include "utils/log.h"
#include "utils/timescale.h"
#include "utils/timeutil.h"

namespace {

constexpr const char* kAgentVersion = "2.1.9";

thread_local std::string tReceiveTime;

std::mutex& PublisherMutex() {
  static std::mutex m;
  return m;
}
ConfigPublisher& TestPublisher() {
  static ConfigPublisher p;
  return p;
}

// 0 on success, else the library status (or -1 when not connected).
int Publish(const std::string& subject, const void* data, size_t length,
            const std::vector<ConfigHeader>& headers) {
  {
    std::lock_guard lock(PublisherMutex());
    if (TestPublisher()) return TestPublisher()(subject, data, length, headers);
  }
  NatsHeaders h;
  for (const ConfigHeader& header : headers)
    h.push_back({header.name.c_str(), header.value.c_str()});
  return static_cast<int>(
      _natsConnection_Publish(NatsCmdConn, subject.c_str(), data, static_cast<int>(length), h));
}

}  // namespace

ReceiveTimeScope::ReceiveTimeScope(std::string isoTime) : previous_(std::move(tReceiveTime)) {
  tReceiveTime = std::move(isoTime);
}

ReceiveTimeScope::~ReceiveTimeScope() {
  tReceiveTime = std::move(previous_);
}

std::string CurrentReceiveTime() {
  return tReceiveTime;
}

void SetConfigPublisherForTest(ConfigPublisher publisher) {
  std::lock_guard lock(PublisherMutex());
  TestPublisher() = std::move(publisher);
}

std::string BuildStageLog(const std::string& transid, const std::string& startTime,
                          const std::string& endTime, const std::string& deviceMac,
                          const std::string& errorText) {
  zc::JsonPtr root(json_object_new_object());
  zc::JsonAddString(root.get(), "stageName", "ZuncoreApplyConfig");
  zc::JsonAddString(root.get(), "startTime", startTime);
  zc::JsonAddString(root.get(), "endTime", endTime);
  zc::JsonAddString(root.get(), "kind", "STAGE_LOG");
  zc::JsonAddString(root.get(), "transactionId", transid);
  json_object* node = json_object_new_object();
  zc::JsonAddString(node, "name", "zuncore");
  zc::JsonAddString(node, "instanceId", deviceMac);
  zc::JsonAddString(node, "version", kAgentVersion);
  json_object_object_add(root.get(), "node", node);
  if (errorText != "NA") {
    json_object* error = json_object_new_object();
    zc::JsonAddString(error, "message", errorText);
    json_object_object_add(root.get(), "error", error);
  }
  return zc::JsonText(root.get(), JSON_C_TO_STRING_PRETTY) + "\n";
}

void ConfigResponseAt(const std::string& transid, const std::string& text,
                      const std::string& receivedAt) {
  std::string now;
  if (GetISOTime(now) != 0) {
    LogOut(LL_ERR, "%s: unable to get the ISO time", "ConfigResponse");
    return;
  }
  auto subject = GetUsableKVP(configkeys::kConfigResponseSubject);
  const std::string status = text == "NA" ? "success" : "failure";
  LogOut(LL_INFO, "%s: Transaction:%s status:%s error_code:%s on:%s", "ConfigResponse",
         transid.c_str(), status.c_str(), text.c_str(), subject ? subject->c_str() : "");
  const std::string mac = GetStringKVPOr(configkeys::kDeviceMac, "");
  auto response = zc::pb::Make<Zun__Config__CONFIGRESP>();
  response.action = const_cast<char*>("ConfigResponse");
  response.time = const_cast<char*>(now.c_str());
  response.deviceid = const_cast<char*>(mac.c_str());
  response.transid = const_cast<char*>(transid.c_str());
  response.status = const_cast<char*>(status.c_str());
  response.err_msg = const_cast<char*>(text.c_str());
  std::string packed = zc::pb::PackToString(response);
  if (!subject) {
    LogOut(LL_ERR, "%s: publish failed (no %s)", "ConfigResponse",
           configkeys::kConfigResponseSubject);
    return;
  }
  if (Publish(*subject, packed.data(), packed.size(), {{kHdrConfigTraceId, transid}}) != 0) {
    LogOut(LL_ERR, "%s: publish failed", "ConfigResponse");
    return;
  }
  std::string stage = BuildStageLog(transid, receivedAt.empty() ? now : receivedAt, now, mac, text);
  LogOut(LL_DEBUG, "Centralised config-resp log:%s", stage.c_str());
  LogOut(LL_INFO, "%s", stage.c_str());
}

void ConfigResponse(const char* transid, const char* text) {
  ConfigResponseAt(transid ? transid : "", text ? text : "", CurrentReceiveTime());
}

int ConfigNatsPublish(const void* payload, size_t length, const char* subject) {
  if (!subject || !*subject) {
    // A diagnostic whose subject this state does not have (the idle state has none): the
    // caller answers its transaction with its failure text.
    LogOut(LL_ERR, "%s: no subject to publish on", "ConfigNatsPublish");
    return -1;
  }
  if (Publish(subject, payload, length, {{kHdrZunProto, "v1"}}) != 0) {
    LogOut(LL_CRIT, "%s: failed", "ConfigNatsPublish");
    ExitLog("ConfigNatsPublish: failed");
  }
  return 0;
}

void FlushBeforeExit(const char* who) {
  if (zc::nats::ConnectionRef connection = NatsCmdConn.Connection()) {
    natsStatus s = natsConnection_FlushTimeout(connection.get(), kExitFlushTimeout.count());
    if (s != NATS_OK) {
      LogOut(LL_ERR, "%s: flush of the command connection failed -%d -%s", who, static_cast<int>(s),
             natsStatus_GetText(s));
    }
  }
  sync();
}
