// Event reporting on the message connection.
#pragma once

struct event_base;

// Starts the event thread. 0 or -1.
int EventInit(event_base* loop);
