// Test main of the prober tests: the process moves into its own network namespace (addresses on
// lo, a silent host, echoes answered only by the tests) before GoogleTest starts any thread.
#include <gtest/gtest.h>

#include <cstdio>

#include "dns_prober/prober_support.h"

int main(int argc, char** argv) {
  std::string failure = probertest::EnterTestNetwork();
  if (!failure.empty()) {
    std::fprintf(stderr, "prober tests: no private network namespace (%s); they skip\n",
                 failure.c_str());
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
