// The provisioning flow as one state machine: bootstrap (or the stored boot configuration), then
// firmware validation, then sign-on; or the idle recovery state. Bootstrap, firmware and sign-on
// are its steps: each reports where the flow should go, the flow makes every transition and owns
// the waits between steps, so no step calls another. A step that must start over ends the process
// without a boot configuration; the next start bootstraps again.
#pragma once

#include <chrono>
#include <functional>

#include "bstrap/bstrap.h"
#include "fwupdate/fwupdate.h"

struct event_base;

enum class ProvisionState {
  kStopped,             // not started
  kBootstrap,           // the bootstrap request (or the prefetch) is under way
  kBootstrapRetryWait,  // waiting out the back-off after a status-500 answer
  kFirmwareValidation,  // validation, and any update it asks for
  kSignon,              // sign-on under way
  kSignedOn,            // sign-on done: the main timer opens the connections
  kIdle,                // idle recovery state (never left by this process)
};
const char* ProvisionStateName(ProvisionState state);

// What the flow runs. The real steps by default; tests substitute them.
struct ProvisionSteps {
  std::function<void()> bootstrap;               // Bootstrap()
  std::function<void()> prefetch;                // BootstrapPrefetch()
  std::function<int()> startFirmwareValidation;  // StartFirmwareValidation(): 0 or -1
  std::function<void()> signon;                  // Signon()
  std::function<void(int reason)> idle;          // Zuncore_idle(reason)
  std::function<void()> idleTimer;               // hands the main timer to the idle timer
  // The clock seam: runs fn once after delay (real units) on the main loop.
  std::function<void(std::chrono::seconds delay, std::function<void()> fn)> after;
};
// The agent's steps on loop; idleTimer is the main timer's hand-over (the process owns timers).
ProvisionSteps RealProvisionSteps(event_base* loop, std::function<void()> idleTimer);

// Wires the steps to the flow, then starts it: the bootstrap request when there is no boot
// configuration, else the prefetch of the stored one.
void ProvisionStart(event_base* loop, ProvisionSteps steps);
ProvisionState CurrentProvisionState();

// The steps' outcomes (the transitions). Called by the steps through their attach hooks.
void ProvisionOnBootstrap(BootstrapNext next, int retryDelaySeconds);
void ProvisionOnFirmware(FirmwareNext next);
