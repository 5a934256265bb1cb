// zuncore: the resident management agent of the router. Start-up order, then the main loop
// until the process ends through ExitLog.
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>

#include "journal/journal.h"
#include "main/health.h"
#include "main/main_loop.h"
#include "main/nats/nats_session.h"
#include "main/signals.h"
#include "main/timers.h"
#include "main/uplink.h"
#include "platform/device_ops.h"
#include "provision/provision.h"
#include "telemetry/telemetry.h"
#include "utils/agent_state.h"
#include "utils/exec.h"
#include "utils/exitlog.h"
#include "utils/files.h"
#include "utils/https_client.h"
#include "utils/identity_keys.h"
#include "utils/kvp.h"
#include "utils/log.h"
#include "utils/paths.h"
#include "utils/procdiag.h"
#include "utils/timeutil.h"

char sHwver[64];
char sSwver[64];
char sLauncherver[64];

namespace {

constexpr const char* kPidFile = "/tmp/zuncore_pid";
constexpr const char* kProfileFile = "/tmp/profile.txt";
constexpr size_t kBootstrapDomainMax = 256;

[[noreturn]] void Fatal(const char* reason) {
  LogOut(LL_ERR, "%s", reason);
  ExitLog(reason);
}

void RecordStart() {
  std::string localTime;
  if (GetLocalTime(localTime) != 0) Fatal("main: Unable to get the local time");
  gZunCoreProcessId.store(static_cast<int>(getpid()));
  LogOut(LL_INFO, "echo %s zunCore PID:%d >> %s", localTime.c_str(), gZunCoreProcessId.load(),
         kPidFile);
  if (zc::AppendLine(zc::RootPath(kPidFile),
                     localTime + " zunCore PID:" + std::to_string(gZunCoreProcessId.load())) != 0) {
    LogOut(LL_ERR, "%s: unable to write %s", "main", kPidFile);
  }
}

void ReadDeviceIdentity() {
  if (InitDeviceOps(&RouterDeviceOps) != 0)
    Fatal("main: Unable to initialize the router device ops");
  for (int index = 0; index < 4; ++index) {
    if (RefreshWlanInfoEntry(index) != 0) {
      LogOut(LL_ERR, "%s : unable to retrieve the wlan info", "main");
      Fatal("main: Unable to initialize the router device ops");
    }
  }

  if (RouterDeviceOps.GetDeviceVersion("HW", sHwver) != 0) {
    LogOut(LL_ERR, "main: Unable to get the device Hardware version");
  }
  if (RouterDeviceOps.GetDeviceVersion("SW", sSwver) != 0) {
    LogOut(LL_ERR, "main: Unable to get the device Software version");
  }
  if (RouterDeviceOps.GetDeviceVersion("LAUNCHER", sLauncherver) != 0) {
    LogOut(LL_ERR, "main: Unable to get the launcher Software version");
  }
  SetStringKVP(kKeyLauncherVersion, sLauncherver);
  LogOut(LL_INFO, "launcher_version is %s", sLauncherver);
  bIsLauncher.store(true);
  LogOut(LL_INFO, "bIsLauncher is SET");
  LogOut(LL_INFO, "Device Info - Hwver:%s Swver:%s LegacyDevice:%d , Launcher:%d", sHwver, sSwver,
         0, 1);

  char mac[18] = {};
  if (RouterDeviceOps.UpdateDeviceMacAddress("eth0", mac) != 0) {
    Fatal("main: Unable to get the device lan mac address");
  }
  SetStringKVP(kKeyDeviceMacAddr, mac);

  char domain[kBootstrapDomainMax] = {};
  if (RouterDeviceOps.GetBootstrapUrlDomain(domain) != 0) {
    Fatal("main: Unable to get the global domain url");
  }
  SetStringKVP(kKeyBootstrapUrl, std::string(domain) + "/device/register");

  char loopback[16] = {};
  if (RouterDeviceOps.GetInterfaceIPv4Address("lo", loopback) != 0) {
    // The exit reason is the one the launcher knows; the line before it says what failed.
    LogOut(LL_ERR, "%s: Unable to get the loopback address", "main");
    Fatal("main: Unable to get the interface mac address");
  }
  SetStringKVP(kKeyLoopbackIpv4, loopback);

  char firmware[256] = {};
  if (RouterDeviceOps.UpdateDeviceRunningFw(firmware) != 0) {
    Fatal("main: Unable to update the cuurent running firmware");
  }
  SetStringKVP(kKeyRunningFirmware, firmware);

  if (RouterDeviceOps.UpdateDefaultRouterSettings() != 0) {
    Fatal("main: Unable to update the default router settings");
  }
}

}  // namespace

int main() {
  zc::EnforceRootGuard("zuncore");
  setvbuf(stdout, nullptr, _IOLBF, 0);

  InstallEarlySignalHandlers();

  zc::RemoveFile(zc::RootPath(kInitCompleteFile));
  EnsureRouterDnsmasq();

  LogLevelSet(LL_FLOW);
  LogOpen("zuncore");

  NatsCmdConn.Clear();
  nats_msg.Clear();
  nats_edge.Clear();
  for (const char* file : {kNatsConnLogFile, kProfileFile}) {
    if (zc::TruncateFile(zc::RootPath(file)) != 0) {
      LogOut(LL_ERR, "%s: unable to empty %s", "main", file);
    }
  }
  zc::TrimLogFile(zc::RootPath(kPidFile));
  RecordStart();

  gProcFdMax = DumpProcFdMax();

  if (InitKVP() != 0) Fatal("main: Unable to initialize the KVP avl tree");
  if (NatsLibInit() != 0) Fatal("main: Unable to initialize the Nats library");

  ReadDeviceIdentity();

  zc::ev::BasePtr loop(event_base_new());
  if (!loop) Fatal("main: Unable to initialize the event loop");
  if (AttachSignalsToLoop(loop.get()) != 0)
    Fatal("main: Unable to attach the signals to the event loop");
  if (HttpsInit(loop.get()) != 0) Fatal("main: Unable to initialize the https sub module");
  if (ExecInit(loop.get()) != 0) Fatal("main: Unable to initialize the exec sub module");

  InitClientDataUsageDB();
  InitIfDataUsageDB();

  if (CreateMainTimer(loop.get()) != 0) Fatal("main: Unable to create the main timer");
  UpdateMainTimer(-1, 0, nullptr);

  CheckUplink();

  ProvisionStart(loop.get(), RealProvisionSteps(loop.get(), InstallIdleTimer));

  if (JournalInit(loop.get()) != 0) {
    LogOut(LL_ERR, "%s: JournalInit failed", "main");
    ExitLog("JournalInit failed");
  }
  LogOut(LL_INFO, "%s: JournalInit Success", "main");

  // Returns only when the loop has no more events; the loop is gone after it.
  RunMainLoop(std::move(loop));
  NatsLibClose();
  libevent_global_shutdown();
  LogClose();
  ExitLog("main: no more events in main event loop");
}
