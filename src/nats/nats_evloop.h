// nats.c socket I/O on a libevent loop (the library's adapter, behind two calls).
#pragma once

#include <nats/nats.h>

struct event_base;

// Switches libevent to pthread locking; before any loop is created.
void NatsEvloopLibInit();
// Routes the connection's reads and writes through the loop's events.
natsStatus NatsOptionsUseLoop(natsOptions* options, event_base* loop);
