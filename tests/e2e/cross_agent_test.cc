// The router's own binary end to end: the agent built for the router's processor (mipsel), with
// its DNS engine inside, runs under qemu-user against this machine's simulated router, nats-server
// and cloud simulator, and provisions the router as the native build does. scripts/cross runs it
// after the mipsel build, naming the agent in ZC_AGENT_BINARY and the emulator in
// ZC_AGENT_EMULATOR ("qemu-mipsel -L <the mipsel libraries>"). The router's programs the agent
// starts (the stand-ins, a shell) are this machine's own, so no binfmt handler is needed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "e2e/e2e_lab.h"
#include "filter/lan_client.h"
#include "support/dns_peers.h"
#include "support/netns.h"
#include "support/requires.h"

namespace e2e {
namespace {

constexpr const char* kKid = "02:00:00:00:00:01";
constexpr uint16_t kElfMachineMips = 8;

// The ELF machine of a program (0 when unreadable).
uint16_t ElfMachine(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  unsigned char head[20] = {};
  if (!in.read(reinterpret_cast<char*>(head), sizeof head)) return 0;
  if (head[0] != 0x7f || head[1] != 'E' || head[2] != 'L' || head[3] != 'F') return 0;
  return head[5] == 1 ? static_cast<uint16_t>(head[18] | head[19] << 8)  // little-endian
                      : static_cast<uint16_t>(head[18] << 8 | head[19]);
}

TEST(CrossAgent, EmulatedRouterBinaryProvisionsAnswersAPushReportsAndFilters) {
  if (!zctest::InPrivateNetwork()) ZC_MISSING() << "needs the router namespace";
  if (zctest::AgentEmulator().empty() || !getenv("ZC_AGENT_BINARY")) {
    ZC_MISSING() << "a cross-built agent: ZC_AGENT_BINARY and ZC_AGENT_EMULATOR (scripts/cross "
                    "mipsel sets them)";
  }
  ASSERT_EQ(ElfMachine(zctest::AgentBinary()), kElfMachineMips) << zctest::AgentBinary();
  const auto started = std::chrono::steady_clock::now();
  std::string dir = zctest::MakeTempDir("cross-agent");
  zctest::ChildProcess upstream;
  zctest::UnboundOptions u;
  u.port = zctest::FreePort();
  ASSERT_TRUE(zctest::StartUnbound(dir, u, &upstream)) << "unbound did not start";

  // Emulation runs the agent several times slower: one router minute takes 9 s, so requests
  // and their scaled time-outs keep their proportions.
  LabOptions options;
  options.scale = 0.15;
  Lab lab(options);
  ASSERT_TRUE(lab.ok()) << lab.error();
  zctest::AgentRun& agent = lab.agent();
  agent.Write(
      "/tmp/zundns.conf",
      "bind 192.168.1.1:53\nbind-tcp 192.168.1.1:53\nserver 127.0.0.1:" + std::to_string(u.port) +
          "\ncache-size 512\ncache-persist no\n"
          "speed-check-mode none\nlog-level error\n");
  ASSERT_TRUE(lab.Put("/v1/signon", R"({"intervals": {"telemetry": 60},
      "dns_profile": [{"transid": "p-kid", "client_mac": [")" +
                                        std::string(kKid) + R"("], "has_scheduled_pause": false,
      "urlentry": [{"url": "ads\\.miss\\.test", "type": 2}]}]})"));
  agent.Start();

  // Bootstrap over HTTPS, firmware validation and sign-on over NATS, the three connections.
  ASSERT_TRUE(lab.WaitLog("ZUNCORE_SUBMODULE_INIT_DONE")) << agent.Output();
  char exe[256] = {};
  ASSERT_GT(
      readlink(("/proc/" + std::to_string(agent.pid()) + "/exe").c_str(), exe, sizeof exe - 1), 0);
  EXPECT_NE(std::string(exe).find("qemu-"), std::string::npos) << exe;
  JsonPtr posts = lab.Records("kind=http&match=service=bootstrap");
  ASSERT_EQ(Lab::Size(posts), 1u);
  EXPECT_EQ(Text(json_object_array_get_idx(posts.get(), 0), "body_json.mac"), "02:5A:00:00:00:01");
  EXPECT_NE(lab.BootConfig().find("connectionInfo.url=" + lab.natsUrl() + "\n"), std::string::npos);
  EXPECT_GE(Lab::Size(lab.Records("type=SignOnRequest")), 1u);
  for (const char* connection : {"nats MSG connection Success", "nats CMD connection Success",
                                 "nats EDGE connection Success"}) {
    EXPECT_TRUE(lab.WaitLog(connection, kShort)) << connection;
  }

  // A configuration push answered and applied.
  lab.Push("commandGroup:0", R"({"_ssidpwd": {"transid": "x-ssid", "config": [
      {"wlan_interface": "wlan0", "ssid": "zuncore-mipsel"}]}})");
  JsonPtr answer = lab.WaitRecords("type=CONFIGRESP&transid=x-ssid", 1, kLong);
  ASSERT_TRUE(answer) << agent.Output();
  EXPECT_EQ(Text(Lab::Decoded(answer, 0), "status"), "success");
  EXPECT_NE(agent.Read("/sim/state/flash.db").find("WLAN_MBSSIB_TBL.0.ssid=zuncore-mipsel\n"),
            std::string::npos);

  // A telemetry message.
  JsonPtr telemetry = lab.WaitRecords("subject=zt.telemetry", 1, kLong);
  ASSERT_TRUE(telemetry) << agent.Output();
  EXPECT_EQ(Text(Lab::Decoded(telemetry, 0), "deviceId"), "02:5A:00:00:00:01");

  // An event: the kid's tablet joins the LAN.
  ASSERT_TRUE(agent.WaitFor(kKid, kLong, "/tmp/profile.txt"));
  zctest::LanClient kid("eth0.2", kKid, "192.168.1.23");
  ASSERT_TRUE(kid.ok()) << kid.error();
  // The mipsel engine answers on br0: the black-listed name with the block address in place of
  // the upstream's, another name with the upstream's. A path run for the first time is translated
  // by the emulator first, which may take longer than dig's usual two seconds on a busy machine.
  auto dig = [&](const std::string& name) {
    std::string out = kid.Run({"dig", "@192.168.1.1", "+short", "+time=15", "+tries=1", name, "A"});
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
  };
  EXPECT_EQ(dig("ads.miss.test"), "127.0.0.1");
  EXPECT_EQ(dig("news.miss.test"), "192.0.2.9");
  EXPECT_EQ(dig("ADS.Miss.test"), "127.0.0.1");
  JsonPtr joined = lab.WaitRecords(
      "subject=zt.event&match=decoded.clientInfo.cmac=" + std::string(kKid), 1, kLong);
  ASSERT_TRUE(joined) << agent.Output();
  EXPECT_EQ(Text(Lab::Decoded(joined, 0), "clientInfo.IP"), "192.168.1.23");
  // ... and the cloud hears of the blocked lookup.
  EXPECT_TRUE(lab.WaitRecords(
      "subject=zt.telemetry&match=decoded.filterStats.FStats.0.url=ads.miss.test", 1, kLong));

  EXPECT_TRUE(agent.Running());
  EXPECT_EQ(lab.ExitReasons().size(), 0u) << lab.LastExit();
  printf("emulated agent (%s): provisioned, answered, reported and filtered in %.1f s\n", exe,
         std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  upstream.Stop();
  zctest::RemoveTree(dir);
}

}  // namespace
}  // namespace e2e
