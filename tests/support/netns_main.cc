// Test main for integration tests: the whole test process moves into its own network namespace
// before GoogleTest starts any thread.
#include <gtest/gtest.h>

#include <cstdio>

#include "support/netns.h"

int main(int argc, char** argv) {
  std::string failure = zctest::EnterPrivateNetwork();
  if (!failure.empty()) {
    fprintf(stderr, "netns_main: private network unavailable (%s); tests needing it skip\n",
            failure.c_str());
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
