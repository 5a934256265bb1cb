// Private network namespace for integration tests: the test process (and everything it starts)
// gets its own loopback and an "eth0" like the router's, so agents, servers and ports never
// collide with the host or with parallel test runs.
#pragma once

#include <string>

namespace zctest {

// Enters a new user + network namespace (before any thread starts) with only lo, up. Returns an
// empty string or the reason it failed.
std::string EnterLoopbackNetwork();
// Enters a new user + network namespace (must run before any thread starts), brings up lo and
// creates eth0 (a veth) with the router's MAC. Returns an empty string or the reason it failed.
std::string EnterPrivateNetwork(const std::string& eth0Mac = "02:5a:00:00:00:01");
// True once EnterLoopbackNetwork or EnterPrivateNetwork succeeded in this process (or
// MarkPrivateNetwork was called).
bool InPrivateNetwork();
// Records that the process already runs inside a prepared private network.
void MarkPrivateNetwork();

}  // namespace zctest
