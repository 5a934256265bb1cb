#include "main/signals.h"

#include <event2/event.h>
#include <signal.h>

#include <array>
#include <atomic>

#include "utils/event_handles.h"
#include "utils/exitlog.h"
#include "utils/log.h"

namespace {

std::atomic<int> gEarlySignal{0};
// The SIGINT and SIGTERM events on the main loop.
std::array<zc::ev::EventPtr, 2> gSignalEvents;

void RememberSignal(int sig) {
  gEarlySignal.store(sig);
}

const char* ReasonFor(int sig) {
  return sig == SIGTERM ? "SigTermHandler: got SIGTERM" : "SigIntHandler: got SIGINT";
}

[[noreturn]] void ExitOnSignal(int sig) {
  LogOut(LL_CRIT, "%s", sig == SIGTERM ? "zuncore hits SIGTERM" : "zuncore hits SIGINT");
  ExitLog(ReasonFor(sig));
}

void SigIntHandler(evutil_socket_t sig, short, void*) {
  ExitOnSignal(static_cast<int>(sig));
}

void PendingSignalCheck(evutil_socket_t, short, void*) {
  if (int sig = gEarlySignal.load()) ExitOnSignal(sig);
}

}  // namespace

void InstallEarlySignalHandlers() {
  signal(SIGPIPE, SIG_IGN);
  InstallCrashHandler();
  struct sigaction sa {};
  sa.sa_handler = RememberSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

int AttachSignalsToLoop(event_base* loop) {
  const int signals[] = {SIGINT, SIGTERM};
  for (size_t i = 0; i < gSignalEvents.size(); ++i) {
    gSignalEvents[i].reset(evsignal_new(loop, signals[i], SigIntHandler, nullptr));
    if (!gSignalEvents[i] || event_add(gSignalEvents[i].get(), nullptr) != 0) return -1;
  }
  // A signal that came during start-up is handled as soon as the loop runs.
  event_base_once(loop, -1, EV_TIMEOUT, PendingSignalCheck, nullptr, nullptr);
  return 0;
}

void DetachSignalsFromLoop() {
  for (auto& ev : gSignalEvents) ev.reset();
}
