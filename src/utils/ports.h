// Free loopback ports for the simulators and tests that start servers of their own.
#pragma once

namespace zc {

// A port free on 127.0.0.1 for both TCP and UDP right now, never the same one twice in this
// process (a port handed out may not be bound by its user yet). -1 when none was found.
int FreeLoopbackPort();

}  // namespace zc
