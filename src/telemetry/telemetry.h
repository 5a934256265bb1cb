// Telemetry on the message connection, and the data-usage stores behind it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "telemetry/data_usage.h"

struct event_base;

// Starts the telemetry thread. 0 or -1.
int TelemetryInit(event_base* loop);
// One pass: gather, build, publish. 0, or -1 when the message was skipped (its traffic and
// blocked lookups go into the next one).
int TelemetryProtoConstruct();
// Publishes one packed Telemetry: 0, -1 when it does not decode; a publish error ends the process.
int TelemetryProtoPublish(const uint8_t* buffer, size_t length);
