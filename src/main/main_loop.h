// The end of the main loop. Everything that still holds an event on the loop is released before
// the loop itself: freeing an event touches its loop.
#pragma once

#include "utils/event_handles.h"

// Runs the loop until it has no more events, then releases, in order, the signal events, the
// main timer, the HTTPS client and the NATS connections, and last the loop. The result of
// event_base_dispatch.
int RunMainLoop(zc::ev::BasePtr loop);
