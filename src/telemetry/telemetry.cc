#include "telemetry/telemetry.h"

#include "utils/log.h"
#include "utils/monitor.h"

int TelemetryInit(event_base*) {
  // Telemetry is not part of this build yet: nothing runs, so nothing is missed.
  gTelemetryThreadMonitor.expected.store(false);
  LogOut(LL_INFO, "%s: telemetry not built in", "TelemetryInit");
  return 0;
}

void InitClientDataUsageDB() {}
void InitIfDataUsageDB() {}
