// The idle recovery state: only the command connection, to the bootstrap messaging server, with
// subjects of the agent's own making, so the cloud can still reach an unprovisioned router.
#include <strings.h>

#include <string>

#include "bstrap/bstrap.h"
#include "bstrap/bstrap_keys.h"
#include "signon/signon_keys.h"
#include "utils/agent_state.h"
#include "utils/files.h"
#include "utils/identity_keys.h"
#include "utils/kvp.h"
#include "utils/log.h"
#include "utils/paths.h"
#include "utils/validate.h"

namespace {

constexpr size_t kBootstrapNatsUrlMax = 63;

// Command-connection and debug keys; the stored MAC becomes its compact form for the rest of
// the process (idle subjects and responses are keyed by it).
std::string WriteCommandKeys() {
  std::string url = GetStringKVPOr(kKeyConnectionUrl, "");
  SetStringKVP(kKeyNatsCmdUrl, url);
  bool tls = strcasecmp(GetStringKVPOr(kKeyConnectionTlsEnabled, "").c_str(), "true") == 0;
  const std::string cmd = kKeyConnInfoCmdPrefix;
  SetStringKVP(cmd + kKeyConnInfoTlsEnabled, tls ? "1" : "0");
  SetStringKVP(cmd + kKeyConnInfoPingInterval, "30");
  SetStringKVP(cmd + kKeyConnInfoMaxPing, "4");
  std::string mac = formatmac(GetStringKVPOr(kKeyDeviceMacAddr, ""));
  SetStringKVP(kKeyDeviceMacAddr, mac);
  SetStringKVP(std::string(kKeySubDebugCli) + kKeyListCountSuffix, "1");
  SetStringKVP(std::string(kKeySubDebugCli) + ".0", "zunanalytics.clidebug.v1." + mac + ".req");
  SetStringKVP(kKeyPubDebugCli, "zunanalytics.clidebug.v1." + mac + ".resp");
  return mac;
}

void WriteCommonKeys(const std::string& mac) {
  SetStringKVP(kKeyPubConfigResponse, "zuncore.idle.configResponse." + mac);
  SetStringKVP(std::string(kKeySubDebugFirmware) + kKeyListCountSuffix, "1");
  SetStringKVP(std::string(kKeySubDebugFirmware) + ".0", "zuncore.idle.debugFirmware." + mac);
}

bool PrepareReason1() {
  std::string path = zc::RootPath(kBootstrapNatsFile);
  if (!zc::FileExists(path)) {
    LogOut(LL_INFO, "zun dfltbnats is not exist: %s", kBootstrapNatsFile);
    return false;
  }
  auto line = zc::ReadFirstLine(path, kBootstrapNatsUrlMax);
  if (!line) {
    LogOut(LL_ERR, "fopen fail for %s", kBootstrapNatsFile);
    return false;
  }
  LogOut(LL_INFO, "zun dfltbnats:%s", line->c_str());
  SetStringKVP(kKeyConnectionUrl, *line);
  SetStringKVP(kKeyConnectionTlsEnabled, "true");
  std::string mac = WriteCommandKeys();
  SetStringKVP(kKeyLogicalLocation, "zuncore.idle.dll." + mac);
  WriteCommonKeys(mac);
  return true;
}

bool PrepareReason2() {
  if (!GetStringKVP(kKeyConnectionUrl)) return false;
  std::string mac = WriteCommandKeys();
  if (auto idle = GetStringKVP(kKeyConnectionIdleDeviceSubject)) {
    SetStringKVP(kKeyLogicalLocation, *idle);
  }
  WriteCommonKeys(mac);
  return true;
}

}  // namespace

void Zuncore_idle(int reason) {
  LogOut(LL_INFO, "%s Reason id:%d", "Zuncore_idle", reason);
  gIdleState.store(true);
  bool ready = (reason == 1 && PrepareReason1()) || (reason == 2 && PrepareReason2());
  if (!ready) LogOut(LL_WARN, "Missing bootstrap nats in zuncore idel state recovery !!!");
  DumpKVP();
}
