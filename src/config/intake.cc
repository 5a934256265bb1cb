// The intake: subscribes the command subjects, decodes each PLATFORMCONFIG envelope and hands
// its member to the module that applies it.
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/config.h"
#include "config/config_internal.h"
#include "config/config_keys.h"
#include "config/profileutils.h"
#include "fwupdate/fwupdate.h"
#include "main/nats/nats_session.h"
#include "proto/pb.h"
#include "utils/exitlog.h"
#include "utils/kvp.h"
#include "utils/log.h"
#include "utils/sysguard.h"
#include "utils/timescale.h"
#include "utils/timeutil.h"

namespace {

// The intake's subscription table; it owns copies of its subjects, so a later sign-on that
// rewrites the keys leaves the subscriptions intact.
NatsSubTable& ConfigNatsCtx() {
  static NatsSubTable table;
  return table;
}

// Longest centralised firmware transaction id.
constexpr size_t kCtrlTranMax = 255;

// Appends the numbered subjects of one list ("<base>.count", "<base>.<n>").
int AddList(std::vector<ConfigSubject>& plan, const char* base, bool firmware) {
  auto countText = GetStringKVP(std::string(base) + ".count");
  if (!countText) return 0;
  long count = std::strtol(countText->c_str(), nullptr, 10);
  for (long n = 0; n < count; ++n) {
    std::string key = std::string(base) + "." + std::to_string(n);
    auto subject = GetStringKVP(key);
    if (!subject) {
      LogOut(LL_CRIT, "ConfigInit: missing %s", key.c_str());
      return -1;
    }
    plan.push_back({*subject, firmware});
  }
  return 0;
}

void LogStats(const char* who, int length) {
  LogOut(LL_INFO, "%s: received a message length :%d on %s", who, length,
         std::string(NatsDispatchSubject()).c_str());
  NatsStats(NatsCmdConn, NatsDispatchSubscription());
}

std::string Text(const char* s) {
  return s ? s : "";
}

// A firmware assignment: stored, answered "NA" under the centralised id before any download,
// then downloaded on the firmware flow's threads unless it is the running version.
void FirmwareHandOver(const Zun__Config__FIRMWARE& fw) {
  LogOut(LL_INFO, "Trans_ID: %s, fw_url: %s preserve:%d  md5sum:%s fw_version %s",
         Text(fw.transid).c_str(), Text(fw.fwurl).c_str(), fw.has_preserve ? fw.preserve : 0,
         Text(fw.md5sum).c_str(), Text(fw.version).c_str());
  std::string ctrl = Text(fw.transid) + "." + GetStringKVPOr(configkeys::kDeviceMac, "");
  if (ctrl.size() > kCtrlTranMax) ctrl.resize(kCtrlTranMax);
  LogOut(LL_INFO, "%s original-transaction id:%s , centralised-transaction id:%s", "ConfigFwParser",
         Text(fw.transid).c_str(), ctrl.c_str());
  ConfigResponse(ctrl.c_str(), "NA");
  FirmwarePassiveUpdate(fw);
}

// The time a message arrived, or nothing (the message is then dropped).
bool ReceiveTime(const char* who, std::string& out) {
  if (GetISOTime(out) != 0) {
    LogOut(LL_ERR, "%s: unable to get the ISO time", who);
    return false;
  }
  return true;
}

[[noreturn]] void RebootAfterLanChange() {
  FlushBeforeExit("ConfigParser");
  zc::SleepScaled(kBeforeRebootWait);
  PlatformReboot();
  zc::SleepScaled(kAfterRebootWait);
  ExitLog("ConfigParser: LAN configuration applied, rebooting");
}

void Dispatch(const Zun__Config__PLATFORMCONFIG& envelope) {
  switch (envelope.member_case) {
    case ZUN__CONFIG__PLATFORMCONFIG__MEMBER__CONF:
      LogOut(LL_INFO, "%s Trans_ID: %s, script: %s", "ConfigParser",
             Text(envelope._conf->transid).c_str(), Text(envelope._conf->script).c_str());
      ConfigExec(Text(envelope._conf->transid), Text(envelope._conf->script));
      return;
    case ZUN__CONFIG__PLATFORMCONFIG__MEMBER__WIFI:
      LogOut(LL_INFO, "%s Recevied a platfrom wifi config msg and skip to parse", "ConfigParser");
      return;
    case ZUN__CONFIG__PLATFORMCONFIG__MEMBER__CMD:
      ExecuteCommand(&envelope);
      return;
    case ZUN__CONFIG__PLATFORMCONFIG__MEMBER__SSIDPWD: {
      int rc = ConfigWlanParams(&envelope);
      ConfigResponse(envelope._ssidpwd->transid, rc == -1 ? "InvaildConfig" : "NA");
      return;
    }
    case ZUN__CONFIG__PLATFORMCONFIG__MEMBER__DNSPROFILE:
      UpdateProfile(envelope._dnsprofile);
      return;
    case ZUN__CONFIG__PLATFORMCONFIG__MEMBER__DELDNSPROFILE: {
      int rc = DeleteProfile(envelope._deldnsprofile);
      ConfigResponse(envelope._deldnsprofile->transid, rc == -1 ? "InvaildConfig" : "NA");
      return;
    }
    case ZUN__CONFIG__PLATFORMCONFIG__MEMBER__LANCONFIG:
      if (ConfigLan(&envelope) != 0) {
        ConfigResponse(envelope._lanconfig->transid, "InvaildConfig");
        return;
      }
      ConfigResponse(envelope._lanconfig->transid, "NA");
      RebootAfterLanChange();
    case ZUN__CONFIG__PLATFORMCONFIG__MEMBER__FW:
      FirmwareHandOver(*envelope._fw);
      return;
    case ZUN__CONFIG__PLATFORMCONFIG__MEMBER__ACS:
      LogOut(LL_CRIT, "%s: %s, %s", "ConfigParser", "failure", "InvaildConfig");
      ConfigResponse(envelope._acs->transid, "InvaildConfig");
      return;
    case ZUN__CONFIG__PLATFORMCONFIG__MEMBER__NOT_SET:
    case _ZUN__CONFIG__PLATFORMCONFIG__MEMBER__CASE_IS_INT_SIZE:
      break;
  }
  // No member: there is no transaction id to answer under; "NA" names the missing one.
  LogOut(LL_CRIT, "%s: %s, %s (no member set)", "ConfigParser", "failure", "InvaildConfig");
  ConfigResponse("NA", "InvaildConfig");
}

// The transaction id of whichever member is set ("NA" when none).
const char* MemberTransid(const Zun__Config__PLATFORMCONFIG& e) {
  switch (e.member_case) {
    case ZUN__CONFIG__PLATFORMCONFIG__MEMBER__FW:
      return e._fw->transid;
    case ZUN__CONFIG__PLATFORMCONFIG__MEMBER__CONF:
      return e._conf->transid;
    case ZUN__CONFIG__PLATFORMCONFIG__MEMBER__CMD:
      return e._cmd->transid;
    case ZUN__CONFIG__PLATFORMCONFIG__MEMBER__DNSPROFILE:
      return e._dnsprofile->transid;
    case ZUN__CONFIG__PLATFORMCONFIG__MEMBER__ACS:
      return e._acs->transid;
    case ZUN__CONFIG__PLATFORMCONFIG__MEMBER__SSIDPWD:
      return e._ssidpwd->transid;
    case ZUN__CONFIG__PLATFORMCONFIG__MEMBER__DELDNSPROFILE:
      return e._deldnsprofile->transid;
    case ZUN__CONFIG__PLATFORMCONFIG__MEMBER__LANCONFIG:
      return e._lanconfig->transid;
    default:
      return "NA";
  }
}

// A text with a NUL byte would be applied cut short: refused with the member's failure text.
void RefuseNulText(const Zun__Config__PLATFORMCONFIG& e) {
  LogOut(LL_ERR, "%s: a text of the message holds a NUL byte, not applied", "ConfigParser");
  const char* text = "InvaildConfig";
  if (e.member_case == ZUN__CONFIG__PLATFORMCONFIG__MEMBER__CMD && e._cmd->command) {
    if (strcmp(e._cmd->command, "PING") == 0) text = "PING_ERR_STATE";
    if (strcmp(e._cmd->command, "TRACE") == 0) text = "TRACEROUTE_ERR_STATE";
  }
  ConfigResponse(MemberTransid(e), text);
}

}  // namespace

int ConfigSubscriptionPlan(std::vector<ConfigSubject>& plan) {
  plan.clear();
  std::vector<ConfigSubject> all;
  if (auto location = GetStringKVP(configkeys::kLogicalLocation)) all.push_back({*location, false});
  if (auto suspended = GetStringKVP(configkeys::kSuspendedSubject)) {
    all.push_back({*suspended, false});
  }
  const std::pair<const char*, bool> lists[] = {
      {configkeys::kDebugCliList, false},      {configkeys::kCommandGroupList, false},
      {configkeys::kStableFirmwareList, true}, {configkeys::kImmediateFirmwareList, true},
      {configkeys::kDebugFirmwareList, true},  {configkeys::kBetaFirmwareList, true},
  };
  for (const auto& [base, firmware] : lists) {
    if (AddList(all, base, firmware) != 0) return -1;
  }
  // One unusable subject from the cloud must not cost the others their subscription.
  std::erase_if(all, [](const ConfigSubject& s) {
    if (NatsSubjectIsValid(s.subject.c_str())) return false;
    LogOut(LL_CRIT, "%s: a subject of %zu bytes is not valid, not subscribed", "ConfigInit",
           s.subject.size());
    return true;
  });
  for (size_t i = 0; i < all.size(); ++i) {
    if (i < static_cast<size_t>(kConfigMaxSubjects)) {
      plan.push_back(std::move(all[i]));
    } else {
      LogOut(LL_CRIT, "%s: subscription table full (%d), '%s' not subscribed", "ConfigInit",
             kConfigMaxSubjects, all[i].subject.c_str());
    }
  }
  return 0;
}

int ConfigInit(event_base*) {
  std::vector<ConfigSubject> plan;
  if (ConfigSubscriptionPlan(plan) != 0) return -1;
  NatsSubTable& table = ConfigNatsCtx();
  table.Clear();
  table.record = &NatsCmdConn;
  for (const ConfigSubject& s : plan) {
    table.Add(s.subject,
              s.firmware ? NatsMsgHandlerFn(ConfigFwParser) : NatsMsgHandlerFn(ConfigParser));
  }
  if (NatsSub(table) != 0) {
    LogOut(LL_CRIT, "%s: NatsSub failed", "ConfigInit");
    return -1;
  }
  return 0;
}

void ConfigParser(const void* payload, int length) {
  std::string received;
  if (!ReceiveTime("ConfigParser", received)) return;
  ReceiveTimeScope scope(received);
  LogStats("ConfigParser", length);
  auto envelope = zc::pb::Unpack<Zun__Config__PLATFORMCONFIG>(payload, length);
  if (!envelope) {
    LogOut(LL_CRIT, "%s: Error unpacking incoming protobuff config message", "ConfigParser");
    ConfigResponse("protobuf-error", "protobuf-error");
    return;
  }
  if (envelope->member_case != ZUN__CONFIG__PLATFORMCONFIG__MEMBER__FW &&
      envelope->member_case != ZUN__CONFIG__PLATFORMCONFIG__MEMBER__WIFI &&
      ConfigPayloadHasNulText(payload, static_cast<size_t>(length))) {
    RefuseNulText(*envelope);
    return;
  }
  Dispatch(*envelope);
}

void ConfigFwParser(const void* payload, int length) {
  std::string received;
  if (!ReceiveTime("ConfigFwParser", received)) return;
  ReceiveTimeScope scope(received);
  LogStats("ConfigFwParser", length);
  auto envelope = zc::pb::Unpack<Zun__Config__PLATFORMCONFIG>(payload, length);
  if (!envelope) {
    LogOut(LL_CRIT, "%s: Error unpacking incoming protobuff config fw message", "ConfigFwParser");
    ConfigResponse("protobuf-error", "protobuf-error");
    return;
  }
  if (envelope->member_case != ZUN__CONFIG__PLATFORMCONFIG__MEMBER__FW) {
    LogOut(LL_CRIT, "%s: %s, %s", "failure", "ConfigFwParser", "InvaildConfig");
    const char* transid = MemberTransid(*envelope);
    ConfigResponse(transid, "InvaildConfig");
    return;
  }
  FirmwareHandOver(*envelope->_fw);
}
