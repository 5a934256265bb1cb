// Event reporting on the message connection.
#pragma once

#include <cstddef>
#include <cstdint>

struct event_base;

// Starts the event thread. 0 or -1.
int EventInit(event_base* loop);
// Sends one packed APEvent as a request and waits for its acknowledgement: 0 when acknowledged,
// -1 when the buffer does not decode (nothing sent). Ends the process when every attempt failed.
int EventProtoPublish(const uint8_t* buffer, size_t length);
