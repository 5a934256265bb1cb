// The console: a status page for people watching a run (the demo, a test's failure), served on
// the control port at "/", and the JSON summary it polls (GET /v1/console).
//
// The summary is computed from the records and, when the simulator runs the NATS server, from
// the server's own connection list (its monitoring endpoint): devices with the furthest step of
// provisioning they reached, whether they are connected now, their last telemetry figures;
// recent events; blocked lookups as telemetry reported them; and the connection log.
#pragma once

#include <string>

#include "lib/json_util.h"
#include "lib/records.h"

namespace cloudsim {

// How much of each list the summary keeps (newest first).
inline constexpr size_t kConsoleEvents = 20;
inline constexpr size_t kConsoleBlocked = 20;
inline constexpr size_t kConsoleConnections = 60;

// The summary of the records; connz is the NATS server's connection list ("connections" with
// "name", "cid", "start", "stop", "reason"), or nullptr when not known.
JsonPtr ConsoleSummary(const RecordStore& records, const json_object* connz);

// The connection list of the NATS server monitored on 127.0.0.1:port (open and recently closed
// connections); nullptr when the server does not answer within a short time.
JsonPtr FetchConnz(int port);

// The page itself: plain HTML, CSS and a small script that polls /v1/console.
const char* ConsolePage();

// A device identity in the colon form ("02:5A:00:00:00:01") from a MAC with or without
// separators; empty when the text is not a MAC.
std::string DeviceId(const std::string& mac);

// Milliseconds since the epoch of an RFC 3339 time ("2026-12-07T07:23:07.477Z",
// "2026-12-07T08:23:07.477123456+01:00"); -1 when it does not parse.
int64_t ParseTimeMs(const std::string& text);

}  // namespace cloudsim
