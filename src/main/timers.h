// The main timer that brings up the message, command and edge connections once sign-on has
// named their servers, and the idle timer that replaces it in the idle recovery state.
#pragma once

#include <event2/event.h>

#include <chrono>
#include <functional>
#include <string>

#include "bstrap/bstrap.h"

inline constexpr std::chrono::seconds kMainTimerPeriod{5};
inline constexpr std::chrono::seconds kIdleTimerPeriod{3600};
inline constexpr int kSubmoduleSteps = 3;
inline constexpr const char* kSuserPassFile = "/tmp/zuncore_suser_pass";

extern event_base* gZunCoreMainEventBase;
extern event* gZunCoreMainTimer;

// Creates the one-shot main timer on the loop. 0 or -1.
int CreateMainTimer(event_base* loop);
// Frees the main (or idle) timer and forgets the loop; before the loop itself is freed.
void DestroyMainTimer();
void UpdateMainTimer(evutil_socket_t fd, short events, void* arg);
void UpdateIdleTimer(evutil_socket_t fd, short events, void* arg);
// Replaces the main timer by the idle timer and runs it once (idle recovery state).
void InstallIdleTimer();

// The clock seam of the main and idle timers: a test's function receives each period the timer
// would be armed with (real units) instead of arming it. Empty restores the real timer.
void SetTimerArmForTest(std::function<void(std::chrono::seconds period)> arm);

// The modules the timers start once their connection is up (the real ones by default).
struct ModuleInits {
  std::function<int(event_base*)> eventInit;
  std::function<int(event_base*)> telemetryInit;
  std::function<int(event_base*)> configInit;
};
// Tests replace them; an empty set restores the real ones.
void SetModuleInitsForTest(ModuleInits inits);

// URL of the edge connection: the first line of the bootstrap NATS file, else the default
// bootstrap server.
std::string EdgeConnectionUrl();
