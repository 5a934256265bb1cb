// The only translation unit that includes nats.c's libevent adapter: the header defines its
// functions, so a second includer would duplicate them.
#include "nats/nats_evloop.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include <nats/adapters/libevent.h>
#pragma GCC diagnostic pop

void NatsEvloopLibInit() {
  natsLibevent_Init();
}

natsStatus NatsOptionsUseLoop(natsOptions* options, event_base* loop) {
  return natsOptions_SetEventLoop(options, loop, natsLibevent_Attach, natsLibevent_Read,
                                  natsLibevent_Write, natsLibevent_Detach);
}
