// Test main of the DNS real-peer tests: the test process, and every peer it starts, moves into a
// private network namespace (loopback only) before GoogleTest starts any thread, so ports,
// addresses added to lo and port 53 are all private to this run.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/netns.h"

int main(int argc, char** argv) {
  std::string failure = zctest::EnterLoopbackNetwork();
  if (!failure.empty()) {
    std::fprintf(stderr, "dns peer tests: no private network namespace (%s); they skip\n",
                 failure.c_str());
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
