// Free loopback ports for tests. Suites run in parallel on the host's loopback, so a port is
// reserved machine-wide for the test process that picked it until that process ends (see
// zc::FreeLoopbackPort); a peer started on it binds it without a race with another suite.
#pragma once

#include "utils/ports.h"

namespace zctest {

// A port free on 127.0.0.1 for TCP and UDP, reserved for this process; -1 when none was found.
inline int FreePort() {
  return zc::FreeLoopbackPort();
}

}  // namespace zctest
