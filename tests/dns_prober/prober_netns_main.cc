// Test main of the prober tests: the process moves into its own network namespace (addresses on
// lo, a silent host, echoes answered only by the tests) before GoogleTest starts any thread.
#include "dns_prober/prober_support.h"
#include "support/netns_test_main.h"

int main(int argc, char** argv) {
  return zctest::RunTestsInPrivateNetwork(argc, argv, "prober tests", probertest::EnterTestNetwork);
}
