// Telemetry on the message connection, and the data-usage stores behind it.
#pragma once

struct event_base;

// Starts the telemetry thread. 0 or -1.
int TelemetryInit(event_base* loop);
void InitClientDataUsageDB();
void InitIfDataUsageDB();
