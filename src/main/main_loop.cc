#include "main/main_loop.h"

#include "main/signals.h"
#include "main/timers.h"
#include "nats/nats_session.h"
#include "utils/https_client.h"

int RunMainLoop(zc::ev::BasePtr loop) {
  int result = event_base_dispatch(loop.get());
  DetachSignalsFromLoop();
  DestroyMainTimer();
  HttpsCleanUp();
  NatsCleanUp();
  loop.reset();
  return result;
}
