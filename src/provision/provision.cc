#include "provision/provision.h"

#include <event2/event.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include "bstrap/bootconfig.h"
#include "signon/signon.h"
#include "utils/agent_state.h"
#include "utils/exitlog.h"
#include "utils/log.h"
#include "utils/paths.h"
#include "utils/timescale.h"

namespace {

std::atomic<ProvisionState> gState{ProvisionState::kStopped};
// Written once by ProvisionStart before any step runs; read by the steps' threads after.
ProvisionSteps gSteps;

void EnterIdle(int reason) {
  gState.store(ProvisionState::kIdle);
  gSteps.idle(reason);
  gSteps.idleTimer();
}

void RunSignon() {
  gState.store(ProvisionState::kSignon);
  gSteps.signon();  // ends the process itself when sign-on fails
  gState.store(ProvisionState::kSignedOn);
}

void OnceOnLoop(evutil_socket_t, short, void* arg) {
  std::unique_ptr<std::function<void()>> fn(static_cast<std::function<void()>*>(arg));
  (*fn)();
}

}  // namespace

const char* ProvisionStateName(ProvisionState state) {
  switch (state) {
    case ProvisionState::kStopped:
      return "stopped";
    case ProvisionState::kBootstrap:
      return "bootstrap";
    case ProvisionState::kBootstrapRetryWait:
      return "bootstrap retry wait";
    case ProvisionState::kFirmwareValidation:
      return "firmware validation";
    case ProvisionState::kSignon:
      return "sign-on";
    case ProvisionState::kSignedOn:
      return "signed on";
    case ProvisionState::kIdle:
      return "idle";
  }
  return "unknown";
}

ProvisionSteps RealProvisionSteps(event_base* loop, std::function<void()> idleTimer) {
  ProvisionSteps s;
  s.bootstrap = [] { Bootstrap(); };
  s.prefetch = [] { BootstrapPrefetch(); };
  s.startFirmwareValidation = [] { return StartFirmwareValidation(); };
  s.signon = [] { Signon(); };
  s.idle = [](int reason) { Zuncore_idle(reason); };
  s.idleTimer = std::move(idleTimer);
  // A one-shot timer of the main loop (timers, transfers and NATS keep running); the loop frees
  // the timer once it has fired.
  s.after = [loop](std::chrono::seconds delay, std::function<void()> fn) {
    timeval tv = zc::ScaledTimeval(delay);
    auto* arg = new std::function<void()>(std::move(fn));
    if (event_base_once(loop, -1, EV_TIMEOUT, OnceOnLoop, arg, &tv) != 0) {
      delete arg;
      ExitLog("Bootstrap_cb: unable to schedule the bootstrap retry");
    }
  };
  return s;
}

void ProvisionStart(event_base* loop, ProvisionSteps steps) {
  gSteps = std::move(steps);
  BootstrapAttach(loop, ProvisionOnBootstrap);
  FirmwareAttach(ProvisionOnFirmware);
  gState.store(ProvisionState::kBootstrap);
  std::string bootConfig = zc::RootPath(kBootConfigFile);
  FILE* f = fopen(bootConfig.c_str(), "re");
  if (!f) {
    LogOut(LL_INFO, "bootstrap is NOT configured %s file not present", kBootConfigFile);
    gSteps.bootstrap();
    return;
  }
  fclose(f);
  gSteps.prefetch();
}

ProvisionState CurrentProvisionState() {
  return gState.load();
}

void ProvisionOnBootstrap(BootstrapNext next, int retryDelaySeconds) {
  switch (next) {
    case BootstrapNext::kRetry:
      gState.store(ProvisionState::kBootstrapRetryWait);
      gSteps.after(std::chrono::seconds(retryDelaySeconds), [] {
        gState.store(ProvisionState::kBootstrap);
        gSteps.bootstrap();
      });
      return;
    case BootstrapNext::kIdleRequestFailed:
      EnterIdle(1);
      return;
    case BootstrapNext::kIdleNotProvisioned:
      EnterIdle(2);
      return;
    case BootstrapNext::kValidateFirmware:
      gState.store(ProvisionState::kFirmwareValidation);
      if (gSteps.startFirmwareValidation() != 0) ExitLog("Firmwarevalidate_thread failed");
      return;
  }
}

void ProvisionOnFirmware(FirmwareNext next) {
  // Without new firmware the idle state stays idle, and a cloud assignment (passive mode) leaves
  // the signed-on agent as it is; only provisioning goes on to sign-on.
  if (next == FirmwareNext::kFallback && gIdleState.load()) {
    LogOut(LL_INFO, "%s: idle state, staying idle on the running firmware", "FirmwareUpdate");
    return;
  }
  if (next == FirmwareNext::kFallback && gFirmwareUpgradeMode.load() == FW_UPGRADE_PASSIVE) {
    LogOut(LL_INFO, "%s: assignment not applied, staying on the running firmware",
           "FirmwareUpdate");
    return;
  }
  RunSignon();
}
