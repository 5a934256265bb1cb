// Free loopback ports for the simulators and tests that start servers of their own.
#pragma once

namespace zc {

// Ports handed out lie below the kernel's ephemeral range (which starts at 32768 by default), so
// no bind(0) and no outgoing connection of another process takes one between the pick and its
// use.
inline constexpr int kReservedPortFirst = 20000;
inline constexpr int kReservedPortLast = 32767;

// A port free on 127.0.0.1 for both TCP and UDP right now, reserved for this process until it
// ends: never handed out twice in this process, nor to another process on this machine that
// picks through here while this one lives (a file per port under $TMPDIR/zuncore-ports naming
// the holder's pid). -1 when none was found.
int FreeLoopbackPort();

}  // namespace zc
