// The launcher: boot daemons, restarts after every exit, the start limit, a refused reboot with
// the boot loader's bank switch, and a clean stop.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sim/sim_router.h"

namespace {

using zctest::SimRouter;

bool WaitFor(const SimRouter& sim, const std::string& file, const std::string& text) {
  for (int i = 0; i < 1000; ++i) {
    if (sim.Read(file).find(text) != std::string::npos) return true;
    usleep(10000);
  }
  return false;
}

TEST(Launcher, RestartsTheAgentAndStopsCleanly) {
  SimRouter sim;
  // A stand-in agent: exits 3, or asks for a reboot (refused outside the lab) on its second start.
  std::string agent = sim.Path("/bin/zuncore");
  unlink(agent.c_str());
  sim.Write("/bin/zuncore",
            "#!/bin/sh\n"
            "n=$(cat \"$ZUNCORE_ROOT/tmp/starts\" 2>/dev/null || echo 0); n=$((n+1))\n"
            "echo $n > \"$ZUNCORE_ROOT/tmp/starts\"\n"
            "echo \"agent start $n PATH=$PATH\"\n"
            "if [ $n = 2 ]; then echo '999999 0 1 guard reboot [\"refused\"] rc=-1' >> "
            "\"$ZUNCORE_ROOT/sim/log/calls.log\"; exit 0; fi\n"
            "exit 3\n");
  chmod(agent.c_str(), 0755);
  sim.Zunsim({"knob", "launcher.restart_delay_ms", "10"});
  sim.Zunsim({"knob", "launcher.max_starts", "3"});
  sim.Zunsim({"knob", "launcher.soft_boot", "1"});
  sim.Zunsim({"nv", "set", "sw_tryactive", "1"});
  pid_t launcher = fork();
  if (launcher == 0) {
    execl(zctest::SimZunsimBinary().c_str(), "zunsim", "launcher", nullptr);
    _exit(127);
  }
  ASSERT_TRUE(WaitFor(sim, "/sim/log/launcher.log", "gave up after 3 starts"));
  std::string log = sim.Read("/sim/log/launcher.log");
  EXPECT_NE(log.find("exit 1 status 3"), std::string::npos);
  EXPECT_NE(log.find("exit 2 status 0"), std::string::npos);
  EXPECT_NE(log.find("reboot refused"), std::string::npos);
  EXPECT_NE(log.find("boot 2: bank 1 version 2.1.8 (tryactive)"), std::string::npos);
  EXPECT_NE(log.find("start 3 pid"), std::string::npos);
  std::string out = sim.Read("/sim/log/zuncore.log");
  EXPECT_NE(out.find("=== start 1 boot 1 ===\nagent start 1 PATH=" + sim.root() + "/bin:"),
            std::string::npos);
  EXPECT_NE(out.find("=== start 3 boot 2 ==="), std::string::npos);
  EXPECT_EQ(sim.Zunsim({"nv", "get", "sw_active"}).output, "1\n");
  EXPECT_EQ(sim.Read("/tmp/zun_fw_version"), "2.1.8\n");
  EXPECT_EQ(sim.Run({"pidof", "vsntp"}).status, 0);
  EXPECT_EQ(sim.Run({"pidof", "dnsmasq"}).status, 0);
  EXPECT_EQ(sim.Read("/tmp/timeStatus"), "2\n");

  kill(launcher, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(launcher, &status, 0), launcher);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(sim.Run({"pidof", "vsntp"}).status, 1);
  EXPECT_EQ(sim.Run({"pidof", "dnsmasq"}).status, 1);
  EXPECT_EQ(sim.Run({"pidof", "zunsimd"}).status, 1);
  EXPECT_TRUE(WaitFor(sim, "/sim/log/launcher.log", "launcher stopped"));
}

}  // namespace
