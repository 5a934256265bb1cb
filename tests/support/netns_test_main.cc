#include "support/netns_test_main.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "support/requires.h"

namespace zctest {

int RunTestsInPrivateNetwork(int argc, char** argv, const char* suite, std::string (*enter)()) {
  std::string failure = enter();
  if (!failure.empty()) {
    std::fprintf(stderr, "%s: no private network namespace (%s); the tests needing it %s\n", suite,
                 failure.c_str(), StrictTests() ? "fail" : "skip");
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

}  // namespace zctest
