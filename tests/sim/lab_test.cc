// Lab smoke test: boot, agent start, a killall restart and a reboot(2) power cycle that switches
// to the tried firmware bank, all inside unprivileged namespaces.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "sim/sim_router.h"
#include "support/requires.h"

namespace {

using zctest::SimRouter;

bool NamespacesAvailable() {
  return std::system("unshare -rmpfn --mount-proc true >/dev/null 2>&1") == 0;
}

bool WaitFor(const SimRouter& sim, const std::string& file, const std::string& text,
             int tenthsOfSeconds = 300) {
  for (int i = 0; i < tenthsOfSeconds * 10; ++i) {
    if (sim.Read(file).find(text) != std::string::npos) return true;
    usleep(10000);
  }
  return false;
}

class Lab : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NamespacesAvailable()) ZC_MISSING() << "unprivileged user/pid/net namespaces unavailable";
  }
  void TearDown() override {
    if (up_) sim.Zunsim({"lab", "down"});
  }
  void Up() {
    ASSERT_EQ(sim.Zunsim({"lab", "up"}).status, 0) << sim.Read("/sim/log/lab.log");
    up_ = true;
  }
  SimRouter sim;
  bool up_ = false;
};

TEST_F(Lab, BootRestartAndPowerCycleWithBankSwitch) {
  std::string agent = sim.Path("/bin/zuncore");
  unlink(agent.c_str());
  // Stand-in agent: the second start reboots the router through the reboot stand-in.
  sim.Write("/bin/zuncore",
            "#!/bin/sh\n"
            "f=\"$ZUNCORE_ROOT/etc/config/starts\"; n=$(cat \"$f\" 2>/dev/null || echo 0)\n"
            "n=$((n+1)); echo $n > \"$f\"\n"
            "echo \"agent $n uptime $(cut -d. -f1 /proc/uptime) mac $(cat "
            "/sys/class/net/eth0/address)\"\n"
            "if [ $n = 2 ]; then reboot; fi\n"
            "while :; do sleep 0.1; done\n");
  chmod(agent.c_str(), 0755);
  sim.Zunsim({"knob", "launcher.restart_delay_ms", "10"});
  sim.Zunsim({"knob", "lab.reboot_delay_ms", "10"});
  Up();
  ASSERT_TRUE(WaitFor(sim, "/sim/log/zuncore.log", "agent 1 uptime"));
  EXPECT_NE(sim.Read("/sim/log/launcher.log").find("boot 1: bank 0 version 2.1.9 (active)"),
            std::string::npos);
  sim.Zunsim({"nv", "set", "sw_tryactive", "1"});  // as the firmware writer's caller does
  EXPECT_TRUE(WaitFor(sim, "/sim/log/zuncore.log", "mac 02:5a:00:00:00:01"));
  EXPECT_EQ(sim.Zunsim({"lab", "exec", "router", "--", "pidof", "vsntp"}).status, 0);
  // A client in its own namespace is learned by the router.
  ASSERT_EQ(sim.Zunsim({"client", "add", "phone", "--mac", "02:5a:00:00:00:17", "--ip",
                        "192.168.1.23", "--port", "wlan0-vap0"})
                .status,
            0);
  auto neigh = sim.Zunsim({"lab", "exec", "router-net", "--", "ip", "neigh", "show", "dev", "br0"});
  EXPECT_NE(neigh.output.find("192.168.1.23 lladdr 02:5a:00:00:00:17"), std::string::npos)
      << neigh.output;
  // killall in the router ends the agent; the launcher starts it again, which reboots.
  EXPECT_EQ(sim.Zunsim({"lab", "exec", "router", "--", "killall", "-9", "zuncore"}).status, 0);
  ASSERT_TRUE(WaitFor(sim, "/sim/log/launcher.log", "reboot 1 (cause: reboot(2))"));
  ASSERT_TRUE(WaitFor(sim, "/sim/log/launcher.log", "boot 2: bank 1 version 2.1.8 (tryactive)"));
  ASSERT_TRUE(WaitFor(sim, "/sim/log/zuncore.log", "agent 3 uptime"));
  std::string log = sim.Read("/sim/log/launcher.log");
  EXPECT_NE(log.find("exit 1 signal 9"), std::string::npos) << log;
  std::string out = sim.Read("/sim/log/zuncore.log");
  EXPECT_NE(out.find("=== start 1 boot 2 ==="), std::string::npos) << out;
  size_t third = out.find("agent 3 uptime ");
  EXPECT_LT(std::atoi(out.c_str() + third + 15), 30);  // a fresh boot's clock
  EXPECT_EQ(sim.Read("/tmp/zun_fw_version"), "2.1.8\n");
  // The client survived the reboot of the router.
  EXPECT_EQ(
      sim.Zunsim({"lab", "exec", "client", "phone", "--", "ip", "-br", "addr", "show", "eth0"})
          .status,
      0);
}

}  // namespace
