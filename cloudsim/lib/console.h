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
// Points of a device's pictures (its newest reports) and of the fleet's lists.
inline constexpr size_t kConsoleSeriesPoints = 120;
inline constexpr size_t kConsoleFleetEvents = 500;
// Where the page's actions go: the device's first command group.
inline constexpr const char* kConsolePushTarget = "commandGroup:0";

// The summary of the records; connz is the NATS server's connection list ("connections" with
// "name", "cid", "start", "stop", "reason"), or nullptr when not known.
JsonPtr ConsoleSummary(const RecordStore& records, const json_object* connz);

// One device's figures over time (GET /v1/console/device?id=MAC): "telemetry" (CPU, free and
// total memory, WAN bytes received and sent per report), "clients" (each client's download and upload per report), the
// newest DNS latency "histogram" with the one before it, "blocked" lookups counted by reason,
// and the Wi-Fi interfaces ("wlans") of the last report.
JsonPtr ConsoleDevice(const RecordStore& records, const std::string& id);

// The fleet's figures (the summary's "fleet"): sign-ons, reconnects and devices online over
// time, from the records (a JSON array) and the server's connection list (nullptr: unknown).
JsonPtr ConsoleFleet(const json_object* records, const json_object* connz);

// What the page's actions need from the profile: the push target, its subject, and the
// subjects the agent streams results on.
JsonPtr ConsoleActions(const json_object* profile);

// The connection list of the NATS server monitored on 127.0.0.1:port (open and recently closed
// connections); nullptr when the server does not answer within a short time.
JsonPtr FetchConnz(int port);

// The page and the files it loads: plain HTML, one style sheet and small scripts (no build
// step, no library), served on the control port.
struct ConsoleFile {
  const char* type;  // Content-Type
  const char* body;
};
// The file served at a path ("/" and "/console" are the page); nullptr for any other path.
const ConsoleFile* FindConsoleFile(const std::string& path);
// The parts, one per source file.
const char* ConsolePage();
const char* ConsoleStyle();
const char* ConsoleScript();
const char* ConsoleChartsScript();
const char* ConsoleActionsScript();

// A device identity in the colon form ("02:5A:00:00:00:01") from a MAC with or without
// separators; empty when the text is not a MAC.
std::string DeviceId(const std::string& mac);

// Milliseconds since the epoch of an RFC 3339 time ("2026-12-07T07:23:07.477Z",
// "2026-12-07T08:23:07.477123456+01:00"); -1 when it does not parse.
int64_t ParseTimeMs(const std::string& text);

}  // namespace cloudsim
