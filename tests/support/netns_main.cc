// Test main for integration tests: the whole test process runs inside a private user+network
// namespace holding the router's interfaces (eth0, br0 with the LAN address, nas0_0, the LAN and
// Wi-Fi ports), made by the simulated router's netns-exec, before GoogleTest starts any thread.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/agent_harness.h"
#include "support/netns.h"

namespace {

constexpr const char* kInsideMarker = "ZC_TEST_NETNS";

}  // namespace

int main(int argc, char** argv) {
  if (!getenv(kInsideMarker)) {
    setenv(kInsideMarker, "1", 1);
    std::string zunsim = zctest::ZunsimBinary();
    std::string self = "/proc/self/exe";
    char resolved[4096];
    ssize_t n = readlink(self.c_str(), resolved, sizeof resolved - 1);
    if (n > 0) {
      resolved[n] = '\0';
      std::vector<char*> args = {zunsim.data(), const_cast<char*>("netns-exec"),
                                 const_cast<char*>("--"), resolved};
      for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
      args.push_back(nullptr);
      execv(zunsim.c_str(), args.data());
    }
    fprintf(stderr, "netns_main: cannot enter the router namespace; tests needing it skip\n");
    unsetenv(kInsideMarker);
  } else {
    zctest::MarkPrivateNetwork();
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
