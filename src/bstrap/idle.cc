// The idle recovery state: only the command connection, to the bootstrap messaging server, with
// subjects of the agent's own making, so the cloud can still reach an unprovisioned router.
#include <strings.h>

#include <string>

#include "bstrap/bstrap.h"
#include "main/timers.h"
#include "utils/agent_state.h"
#include "utils/files.h"
#include "utils/kvp.h"
#include "utils/log.h"
#include "utils/paths.h"
#include "utils/validate.h"

namespace {

constexpr size_t kBootstrapNatsUrlMax = 63;

// Command-connection and debug keys; the stored MAC becomes its compact form for the rest of
// the process (idle subjects and responses are keyed by it).
std::string WriteCommandKeys() {
  std::string url = GetStringKVPOr("connectionInfo.url", "");
  SetStringKVP("nats_cmd_url", url);
  bool tls = strcasecmp(GetStringKVPOr("connectionInfo.tlsEnabled", "").c_str(), "true") == 0;
  SetStringKVP("nats.natsConnectionInfoCMD.tlsEnabled", tls ? "1" : "0");
  SetStringKVP("nats.natsConnectionInfoCMD.pingIntervalInSeconds", "30");
  SetStringKVP("nats.natsConnectionInfoCMD.maxPing", "4");
  std::string mac = formatmac(GetStringKVPOr("device_mac_addr", ""));
  SetStringKVP("device_mac_addr", mac);
  SetStringKVP("nats.subscribeSubject.debugCLI.count", "1");
  SetStringKVP("nats.subscribeSubject.debugCLI.0", "zunanalytics.clidebug.v1." + mac + ".req");
  SetStringKVP("nats.publishSubject.debugCLI", "zunanalytics.clidebug.v1." + mac + ".resp");
  return mac;
}

void WriteCommonKeys(const std::string& mac) {
  SetStringKVP("nats.publishSubject.configResponse", "zuncore.idle.configResponse." + mac);
  SetStringKVP("nats.subscribeSubject.debugFirmware.count", "1");
  SetStringKVP("nats.subscribeSubject.debugFirmware.0", "zuncore.idle.debugFirmware." + mac);
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
  SetStringKVP("connectionInfo.url", *line);
  SetStringKVP("connectionInfo.tlsEnabled", "true");
  std::string mac = WriteCommandKeys();
  SetStringKVP("logicalLocation", "zuncore.idle.dll." + mac);
  WriteCommonKeys(mac);
  return true;
}

bool PrepareReason2() {
  if (!GetStringKVP("connectionInfo.url")) return false;
  std::string mac = WriteCommandKeys();
  if (auto idle = GetStringKVP("connectionInfo.idleDeviceSubject")) {
    SetStringKVP("logicalLocation", *idle);
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
  InstallIdleTimer();
}
