// Test main of the DNS real-peer tests: the test process, and every peer it starts, moves into a
// private network namespace (loopback only) before GoogleTest starts any thread, so ports,
// addresses added to lo and port 53 are all private to this run.
#include "support/netns.h"
#include "support/netns_test_main.h"

int main(int argc, char** argv) {
  return zctest::RunTestsInPrivateNetwork(argc, argv, "dns peer tests",
                                          zctest::EnterLoopbackNetwork);
}
