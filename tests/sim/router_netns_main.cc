// Test main that runs the whole test binary inside "zunsim netns-exec": a private user, mount
// and network namespace holding the router's interfaces (eth0, br0 with its ports, wlan0 and its
// virtual interfaces, nas0_0) and its own /sys. Where namespaces are unavailable the tests run
// outside and those needing the interfaces skip.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/sim_router.h"

int main(int argc, char** argv) {
  if (!std::getenv("ZC_ROUTER_NETNS")) {
    setenv("ZC_ROUTER_NETNS", "1", 1);
    if (std::system("unshare -rmn true >/dev/null 2>&1") == 0) {
      char self[PATH_MAX];
      ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
      if (n > 0) {
        self[n] = '\0';
        std::string zunsim = zctest::SimZunsimBinary();
        std::vector<char*> args = {zunsim.data(), const_cast<char*>("netns-exec"),
                                   const_cast<char*>("--"), self};
        for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
        args.push_back(nullptr);
        unsetenv("ZUNCORE_ROOT");
        execv(zunsim.c_str(), args.data());
      }
    }
    std::fprintf(stderr, "router_netns_main: namespaces unavailable; tests needing them skip\n");
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
