// Golden outputs of the simulated router's stand-in programs for the argument vectors the agent
// uses, their call journal, the root guard and the process scoping of pidof/killall.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "core/calls.h"
#include "platform/realtek/wlan_parse.h"
#include "sim/sim_router.h"
#include "utils/exec.h"

namespace {

using zctest::CommandResult;
using zctest::JsonArgv;
using zctest::SimRouter;

class StandIns : public ::testing::Test {
 protected:
  CommandResult Run(std::vector<std::string> argv) { return sim.Run(argv); }
  SimRouter sim;
};

TEST_F(StandIns, FlashGetSetAll) {
  EXPECT_EQ(Run({"flash", "get", "HW_HWVER"}).output, "HW_HWVER=HWV1.0\n");
  EXPECT_EQ(Run({"flash", "get", "CWMP_ACS_URL"}).output, "CWMP_ACS_URL=\n");  // present, empty
  CommandResult missing = Run({"flash", "get", "NO_SUCH"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.output, "");
  EXPECT_EQ(Run({"flash", "set", "NEW.setting-1", "my \"home\" $(x)"}).status, 0);
  EXPECT_EQ(Run({"flash", "get", "NEW.setting-1"}).output, "NEW.setting-1=my \"home\" $(x)\n");
  EXPECT_EQ(Run({"flash", "set", "BAD NAME", "x"}).status, 1);
  EXPECT_EQ(Run({"flash", "set", "X", "a\nb"}).status, 1);
  EXPECT_EQ(Run({"flash", "get", "X"}).status, 1);
  std::string all = Run({"flash", "all"}).output;
  EXPECT_EQ(all.substr(0, all.find('\n')), "ATM_VC_TBL.0.ChannelMode=1");
  EXPECT_NE(all.find("\nELAN_MAC_ADDR=025a00000001\n"), std::string::npos);
  // Knobs and failure points.
  sim.Zunsim({"knob", "flash.ignore", "NTP_IF_TYPE,LAN_SUBNET"});
  EXPECT_EQ(Run({"flash", "set", "NTP_IF_TYPE", "5"}).status, 0);
  EXPECT_EQ(sim.Flash("NTP_IF_TYPE"), "0");
  sim.Zunsim({"fail", "flash.get:HW_HWVER", "--times", "2"});
  EXPECT_EQ(Run({"flash", "get", "HW_HWVER"}).status, 1);
  EXPECT_EQ(Run({"flash", "get", "HW_HWVER"}).status, 1);
  EXPECT_EQ(Run({"flash", "get", "HW_HWVER"}).status, 0);
  auto calls = sim.Calls("exec", "flash");
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ(calls[0].json, JsonArgv({"get", "HW_HWVER"}));
  EXPECT_EQ(calls[2].rc, 1);
  for (size_t i = 1; i < calls.size(); ++i) EXPECT_EQ(calls[i].seq, calls[i - 1].seq + 1);
}

TEST_F(StandIns, BootEnvironmentLedAndUnsupportedShapes) {
  EXPECT_EQ(Run({"nv", "getenv", "sw_active"}).output, "sw_active=0\n");
  EXPECT_EQ(Run({"nv", "getenv", "sw_tryactive"}).status, 1);
  EXPECT_EQ(Run({"nv", "setenv", "sw_tryactive", "1"}).status, 0);
  EXPECT_EQ(Run({"nv", "printenv"}).output, "sw_active=0\nsw_tryactive=1\n");
  EXPECT_EQ(Run({"mpctl", "led", "off"}).status, 0);
  EXPECT_EQ(Run({"mpctl", "led", "restore"}).status, 0);
  std::string led = sim.Read("/sim/state/led");
  EXPECT_EQ(led.substr(0, led.find('\n')), "state=restore");
  EXPECT_EQ(std::count(led.begin(), led.end(), '\n'), 3);
  CommandResult odd = Run({"mpctl", "led", "purple"});
  EXPECT_EQ(odd.status, 2);
  auto calls = sim.Calls("exec", "mpctl");
  EXPECT_EQ(calls.back().rc, 2);
  EXPECT_EQ(Run({"killall"}).status, 2);
  EXPECT_EQ(Run({"ifconfig", "wlan0", "down"}).status, 126);  // outside the router namespace
}

TEST_F(StandIns, IwprivMibLines) {
  EXPECT_EQ(Run({"iwpriv", "wlan0", "get_mib", "hiddenAP"}).output,
            "wlan0     get_mib:\n            00\n");
  EXPECT_EQ(Run({"iwpriv", "wlan0-vap2", "get_mib", "bcnint"}).output,
            "wlan0-vap2get_mib:\n            64 00 00 00\n");
  EXPECT_EQ(Run({"iwpriv", "wlan0", "get_mib", "ssid"}).output,
            "wlan0     get_mib:\n            5a 75 6e 53 69 6d 2d 30 30 30 31\n");
  EXPECT_EQ(Run({"iwpriv", "wlan0", "get_mib", "nosuch"}).status, 1);
  EXPECT_EQ(Run({"iwpriv", "wlan0", "set_mib", "channel=11"}).status, 0);
  EXPECT_EQ(Run({"iwpriv", "wlan0-vap1", "get_mib", "channel"}).output,
            "wlan0-vap1get_mib:\n            0b\n");  // the channel belongs to the radio
  EXPECT_EQ(Run({"iwpriv", "eth0", "get_mib", "channel"}).status, 1);
}

TEST_F(StandIns, RootGuard) {
  auto runWithRoot = [&](const std::string& root) {
    setenv("ZUNCORE_ROOT", root.c_str(), 1);
    CommandResult r = Run({"flash", "get", "HW_HWVER"});
    setenv("ZUNCORE_ROOT", sim.root().c_str(), 1);
    return r.status;
  };
  EXPECT_EQ(runWithRoot("/"), 125);
  EXPECT_EQ(runWithRoot("relative/root"), 125);
  EXPECT_EQ(runWithRoot(sim.root() + "/"), 125);
  EXPECT_EQ(runWithRoot(sim.root() + "/../" + sim.root().substr(5)), 125);
  EXPECT_EQ(runWithRoot("/tmp"), 125);  // no marker
  EXPECT_EQ(runWithRoot("/tmp/" + std::string(100, 'r')), 125);
  EXPECT_EQ(runWithRoot(sim.root()), 0);
  // init refuses a non-empty folder that is not a router.
  setenv("ZUNCORE_ROOT", "/tmp", 1);
  EXPECT_EQ(sim.Zunsim({"init", "--force"}).status, 1);
  setenv("ZUNCORE_ROOT", sim.root().c_str(), 1);
  EXPECT_EQ(sim.Zunsim({"init"}).status, 1);  // already a router
  EXPECT_EQ(sim.Zunsim({"init", "--force"}).status, 0);
}

TEST_F(StandIns, BridgeAndNatMacRules) {
  EXPECT_EQ(Run({"ebtables", "-P", "macfilter_r", "ACCEPT"}).status, 0);
  EXPECT_EQ(Run({"ebtables", "-I", "macfilter_r", "-s", "00:11:22:33:44:55", "-j", "DROP"}).status,
            0);
  EXPECT_EQ(Run({"ebtables", "-I", "macfilter_r", "-s", "00-11-22-33-44-66", "-j", "DROP"}).status,
            1);
  EXPECT_EQ(
      Run({"ebtables", "-L", "macfilter_r"}).output,
      "Bridge chain: macfilter_r, entries: 1, policy: ACCEPT\n-s 00:11:22:33:44:55 -j DROP\n");
  EXPECT_EQ(Run({"ebtables", "-D", "macfilter_r", "-s", "00:11:22:33:44:55", "-j", "DROP"}).status,
            0);
  EXPECT_EQ(Run({"ebtables", "-D", "macfilter_r", "-s", "00:11:22:33:44:55", "-j", "DROP"}).status,
            1);
  EXPECT_EQ(Run({"iptables", "-t", "nat", "-I", "macfilter_r", "-m", "mac", "--mac-source",
                 "AA:BB:CC:DD:EE:FF", "-j", "DROP"})
                .status,
            0);
  EXPECT_EQ(sim.Read("/sim/state/iptables/nat.macfilter_r"),
            "policy ACCEPT\n-m mac --mac-source aa:bb:cc:dd:ee:ff -j DROP\n");
  EXPECT_EQ(Run({"iptables", "-t", "nat", "-I", "macfilter_r", "-m", "mac", "--mac-source",
                 "aabbccddeeff", "-j", "DROP"})
                .status,
            2);
}

pid_t StartDetached(const std::vector<std::string>& argv) {
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> c;
    for (const auto& s : argv) c.push_back(const_cast<char*>(s.c_str()));
    c.push_back(nullptr);
    execv(c[0], c.data());
    _exit(127);
  }
  return pid;
}

bool WaitForFile(const SimRouter& sim, const std::string& path) {
  for (int i = 0; i < 500 && !sim.Exists(path); ++i) usleep(10000);
  return sim.Exists(path);
}

TEST_F(StandIns, DnsmasqAndScopedPidofKillall) {
  SimRouter other;  // a second router: ZUNCORE_ROOT now names it
  std::string otherRoot = other.root();
  setenv("ZUNCORE_ROOT", otherRoot.c_str(), 1);
  pid_t theirs = StartDetached({other.Path("/bin/dnsmasq"), "-C", other.Path("/var/dnsmasq.conf"),
                                "-r", other.Path("/var/resolv.conf")});
  ASSERT_TRUE(WaitForFile(other, "/var/run/dnsmasq.pid"));
  setenv("ZUNCORE_ROOT", sim.root().c_str(), 1);
  setenv("PATH", (sim.root() + "/bin:/usr/sbin:/usr/bin:/sbin:/bin").c_str(), 1);
  EXPECT_EQ(Run({"pidof", "dnsmasq"}).status, 1);  // the other router's is out of sight
  EXPECT_EQ(
      Run({"dnsmasq", "-C", sim.Path("/var/nope.conf"), "-r", sim.Path("/var/resolv.conf")}).status,
      1);
  pid_t ours = StartDetached({sim.Path("/bin/dnsmasq"), "-C", sim.Path("/var/dnsmasq.conf"), "-r",
                              sim.Path("/var/resolv.conf")});
  ASSERT_TRUE(WaitForFile(sim, "/var/run/dnsmasq.pid"));
  EXPECT_EQ(Run({"pidof", "dnsmasq"}).output, std::to_string(ours) + "\n");
  EXPECT_EQ(sim.Read("/var/run/dnsmasq.pid"), std::to_string(ours) + "\n");
  EXPECT_EQ(Run({"killall", "-9", "dnsmasq"}).status, 0);
  int status = 0;
  ASSERT_EQ(waitpid(ours, &status, 0), ours);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(kill(theirs, 0), 0);  // untouched
  EXPECT_EQ(Run({"killall", "-9", "dnsmasq"}).status, 1);
  auto started = sim.Calls("exec", "dnsmasq");
  ASSERT_EQ(started.size(), 2u);
  EXPECT_EQ(started[1].json,
            JsonArgv({"-C", sim.Path("/var/dnsmasq.conf"), "-r", sim.Path("/var/resolv.conf")}));
  // The other router's daemon ends by itself once its root is gone.
  kill(theirs, SIGTERM);
  ASSERT_EQ(waitpid(theirs, &status, 0), theirs);
}

TEST_F(StandIns, DnsmasqBindsItsPortWhenAsked) {
  sim.Zunsim({"knob", "dnsmasq.bind53", "1"});
  sim.Zunsim({"knob", "dnsmasq.addr", "127.0.0.1"});
  sim.Zunsim({"knob", "dnsmasq.port", "0"});
  pid_t pid = StartDetached({sim.Path("/bin/dnsmasq"), "-C", sim.Path("/var/dnsmasq.conf"), "-r",
                             sim.Path("/var/resolv.conf")});
  ASSERT_TRUE(WaitForFile(sim, "/var/run/dnsmasq.pid"));
  // The call line is written after the pid file: wait for it too.
  for (int i = 0; i < 500 && sim.Calls("exec", "dnsmasq").empty(); ++i) usleep(10000);
  auto calls = sim.Calls("exec", "dnsmasq");
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back().rc, 0);
  // The root goes away: the daemon notices within a second.
  std::string marker = sim.Path("/sim/ROOT");
  std::rename(marker.c_str(), (marker + ".away").c_str());
  int status = 0;
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  std::rename((marker + ".away").c_str(), marker.c_str());
}

TEST_F(StandIns, ImageWriterAndConfigBackup) {
  std::string image = sim.Path("/tmp/new_fw.download");
  ASSERT_EQ(sim.Zunsim({"mkimage", image, "--version", "3.0.1"}).status, 0);
  CommandResult w = Run({sim.Path("/etc/scripts/fwu_starter.sh"), "1", image, "ZUN"});
  EXPECT_EQ(w.status, 0);
  EXPECT_EQ(w.output, "fwu_starter: bank 1 image " + image +
                          " (65536 bytes)\nfwu_starter: writing bank 1\n"
                          "Successfully updated image to bank 1\n");
  EXPECT_EQ(sim.Read("/sim/state/banks/1/version"), "3.0.1\n");
  EXPECT_EQ(sim.Read("/sim/state/banks/1/fwgroup"), "ZSIM-GW1-A\n");
  EXPECT_EQ(Run({"nv", "getenv", "sw_tryactive"}).status, 1);  // the agent's job, not the script's
  sim.Write("/tmp/new_fw.download", "not an archive");
  w = Run({sim.Path("/etc/scripts/fwu_starter.sh"), "0", image, "ZUN"});
  EXPECT_EQ(w.status, 1);
  EXPECT_NE(w.output.find("fwu_starter: ERROR: image is not a firmware archive"),
            std::string::npos);
  EXPECT_EQ(w.output.find("Successfully"), std::string::npos);
  EXPECT_EQ(Run({sim.Path("/etc/scripts/fwu_starter.sh"), "2", image, "ZUN"}).status, 2);
  EXPECT_EQ(Run({"tar", "-tf", image}).status, 2);  // garbage is no tar for the host tool either
  ASSERT_EQ(sim.Zunsim({"mkimage", image, "--version", "3", "--fwgroup", "G-X"}).status, 0);
  EXPECT_EQ(Run({"tar", "-xf", image, "fwgroup", "-O"}).output, "G-X\n");

  std::string xml = sim.Path("/tmp/zuncore.xml");
  CommandResult save = Run({"config_xmlconfig.sh", "-s", xml});
  EXPECT_EQ(save.status, 0);
  EXPECT_EQ(save.output.rfind("config_xmlconfig: saved ", 0), 0u);
  sim.SetFlash("LAN_IP_ADDR", "10.0.0.1");
  CommandResult load = Run({"config_xmlconfig.sh", "-l", xml});
  EXPECT_EQ(load.status, 0);
  EXPECT_EQ(sim.Flash("LAN_IP_ADDR"), "192.168.1.1");
  sim.Write("/tmp/zuncore.xml", "junk");
  load = Run({"config_xmlconfig.sh", "-l", xml});
  EXPECT_EQ(load.status, 1);
  EXPECT_NE(load.output.find("FAIL"), std::string::npos);
}

TEST_F(StandIns, PingAndTraceroute) {
  sim.Zunsim({"knob", "tools.ping_interval_ms", "500"});
  CommandResult p = Run({"ping", "-w", "1", "-4", "192.0.2.7"});
  EXPECT_EQ(p.status, 0);
  EXPECT_EQ(p.output.substr(0, p.output.find('\n')),
            "PING 192.0.2.7 (192.0.2.7) 56(84) bytes of data.");
  EXPECT_NE(p.output.find("64 bytes from 192.0.2.7: icmp_seq=2 ttl=64"), std::string::npos);
  EXPECT_NE(p.output.find("2 packets transmitted, 2 received, 0% packet loss"), std::string::npos);
  sim.Write("/sim/state/net/reachability", "192.0.2.7 down\n");
  EXPECT_EQ(Run({"ping", "-w", "1", "-4", "192.0.2.7"}).status, 1);
  EXPECT_EQ(Run({"ping", "-w", "1", "-4", "no.such.name.invalid"}).status, 2);
  EXPECT_EQ(Run({"ping", "-w", "1", "-4", "-f"}).status, 2);
  sim.Write("/sim/state/net/hosts", "speed.lab 203.0.113.5\n");
  sim.Write("/sim/state/net/hops", "203.0.113.5 100.64.0.1 * 203.0.113.5\n");
  CommandResult t = Run({"traceroute", "-q", "1", "-m", "20", "-w", "1", "-4", "speed.lab"});
  EXPECT_EQ(t.status, 0);
  EXPECT_EQ(t.output,
            "traceroute to speed.lab (203.0.113.5), 20 hops max, 60 byte packets\n"
            " 1  100.64.0.1 (100.64.0.1)  0.050 ms\n 2  *\n"
            " 3  203.0.113.5 (203.0.113.5)  0.052 ms\n");
  EXPECT_EQ(Run({"traceroute", "-q", "1", "-4", "--help"}).status, 2);
}

TEST_F(StandIns, RenderedDriverFilesReadBackWithTheAgentParsers) {
  sim.Zunsim({"sta",        "add",        "wlan0-vap0", "02:5a:00:00:00:a1",
              "--rssi",     "62",         "--snr",      "30",
              "--tx-bytes", "5000000000", "--rx-bytes", "3400",
              "--tx-pkts",  "12",         "--rx-pkts",  "34",
              "--tx-rate",  "MCS7 72",    "--rx-rate",  "54",
              "--link",     "3723",       "--expired",  "30000"});
  sim.Zunsim({"sta", "add", "wlan0-vap0", "025A000000A2", "--tx-rate", "VHT NSS1-MCS9 433"});
  sim.Zunsim({"traffic", "sta", "wlan0-vap0", "02:5a:00:00:00:a1", "--rx", "+600"});
  std::string text = sim.Read("/proc/wlan0-vap0/sta_info");
  EXPECT_EQ(text.substr(0, text.find('\n')), "-- STA info table -- (active: 2)");
  auto s = rtl::ParseStaInfo(text, rtl::CountStaInfo(text));
  ASSERT_EQ(s.size(), 2u);
  EXPECT_STREQ(s[0].mac, "02:5a:00:00:00:a1");
  EXPECT_EQ(s[0].txBytes, 5000000000ULL);
  EXPECT_EQ(s[0].rxBytes, 4000u);
  EXPECT_EQ(s[0].rssi, -38);
  EXPECT_EQ(s[0].txMcs, 7);
  EXPECT_EQ(s[0].rxRate, 54);
  EXPECT_EQ(s[0].connectedSeconds, 3723u);
  EXPECT_EQ(s[0].expiredTime, 30000u);
  EXPECT_EQ(s[1].txMcs, 9);
  EXPECT_EQ(s[1].txRate, 433);
  sim.Zunsim({"wifi", "wlan0-vap0", "--stats", "tx_bytes=4000000000", "--stats", "tx_bytes=+1"});
  uint64_t c[kWlanCounterCount];
  rtl::ParseWlanStats(sim.Read("/proc/wlan0-vap0/stats"), c);
  EXPECT_EQ(c[WLC_BYTES_SENT], 4000000001ULL);
  sim.Zunsim({"sys", "MemFree=1234"});
  EXPECT_NE(sim.Read("/proc/meminfo").find("MemFree:            1234 kB\n"), std::string::npos);
  EXPECT_NE(sim.Read("/proc/cpuinfo").find("BogoMIPS\t\t: 598.01\n"), std::string::npos);
  sim.Zunsim({"fail", "proc.wlan0-vap0.missing"});
  EXPECT_FALSE(sim.Exists("/proc/wlan0-vap0/stats"));
  sim.Zunsim({"fail", "--clear"});
  EXPECT_TRUE(sim.Exists("/proc/wlan0-vap0/stats"));
}

TEST_F(StandIns, CallJournalLines) {
  Run({"flash", "get", "a b"});
  auto calls = sim.Calls();
  ASSERT_EQ(calls.size(), 1u);
  std::string log = sim.Read("/sim/log/calls.log");
  std::string last = log.substr(log.rfind('\n', log.size() - 2) + 1);
  zsim::CallRecord r;
  ASSERT_TRUE(zsim::ParseCallLine(last.substr(0, last.size() - 1), &r));
  EXPECT_EQ(r.kind, "exec");
  EXPECT_EQ(r.name, "flash");
  EXPECT_EQ(r.json, "[\"get\",\"a b\"]");
  EXPECT_EQ(r.rc, 1);
  EXPECT_GT(r.ms, 1600000000000LL);
  EXPECT_EQ(zsim::JsonString("q\"\\\n\x01"), "\"q\\\"\\\\\\n\\u0001\"");
}

}  // namespace
