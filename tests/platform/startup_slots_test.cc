// The slots the agent's start-up calls, against a fresh simulated router.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/device_ops.h"
#include "sim/sim_router.h"
#include "support/requires.h"

namespace {

using zctest::JsonArgv;
using zctest::SimRouter;

class StartupSlots : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(InitDeviceOps(&RouterDeviceOps), 0);
    ops = RouterDeviceOps;
  }
  SimRouter sim;
  DeviceOps ops{};
};

TEST_F(StartupSlots, TableHoldsEverySlot) {
  const void* const* slots = reinterpret_cast<const void* const*>(&ops);
  for (int i = 0; i < kDeviceOpsSlotCount; ++i) EXPECT_NE(slots[i], nullptr) << "slot " << i;
}

TEST_F(StartupSlots, InterfaceIdentity) {
  if (!SimRouter::HaveRouterNetns()) ZC_MISSING() << "no router namespace";
  char mac[kMacTextLen];
  ASSERT_EQ(ops.UpdateDeviceMacAddress("eth0", mac), 0);
  EXPECT_STREQ(mac, "02:5A:00:00:00:01");
  EXPECT_EQ(ops.UpdateDeviceMacAddress("nosuch0", mac), -1);
  EXPECT_EQ(ops.UpdateDeviceMacAddress(nullptr, mac), -1);
  // Names that are not interface names never reach a request.
  EXPECT_EQ(ops.UpdateDeviceMacAddress("eth0;reboot", mac), -1);

  char ip[kIpv4TextLen];
  ASSERT_EQ(ops.GetInterfaceIPv4Address("lo", ip), 0);
  EXPECT_STREQ(ip, "127.0.0.1");
  ASSERT_EQ(ops.GetInterfaceIPv4Address("br0", ip), 0);
  EXPECT_STREQ(ip, "192.168.1.1");
  EXPECT_EQ(ops.GetInterfaceIPv4Address("eth0.2", ip), -1);  // no address
}

TEST_F(StartupSlots, VersionsUrlAndRunningFirmware) {
  char text[kVersionTextLen];
  ASSERT_EQ(ops.GetDeviceVersion("HW", text), 0);
  EXPECT_STREQ(text, "HWV1.0");
  EXPECT_EQ(sim.Argvs("flash"), std::vector<std::string>{JsonArgv({"get", "HW_HWVER"})});
  ASSERT_EQ(ops.GetDeviceVersion("SW", text), 0);
  EXPECT_STREQ(text, "ZSIM-GW1-V1.0.3 -- 2025-01-13 10:20:30");
  ASSERT_EQ(ops.GetDeviceVersion("LAUNCHER", text), 0);
  EXPECT_STREQ(text, "1.4.2");
  EXPECT_EQ(ops.GetDeviceVersion("BOOT", text), -1);
  sim.Write("/etc/version", "");
  ASSERT_EQ(ops.GetDeviceVersion("SW", text), 0);
  EXPECT_STREQ(text, "NA");

  char url[kUrlTextLen];
  ASSERT_EQ(ops.GetBootstrapUrlDomain(url), 0);
  EXPECT_STREQ(url, "https://127.0.0.1:8443");
  sim.Write("/etc/config/zunexpdbootstrapurl", "  https://exp.example:9443 trailing\n");
  ASSERT_EQ(ops.GetBootstrapUrlDomain(url), 0);
  EXPECT_STREQ(url, "https://exp.example:9443");
  // An empty renewal file must not strand the router: the factory URL applies.
  sim.Write("/etc/config/zunexpdbootstrapurl", " \n");
  ASSERT_EQ(ops.GetBootstrapUrlDomain(url), 0);
  EXPECT_STREQ(url, "https://127.0.0.1:8443");
  sim.Write("/tmp/zun_url", "");
  EXPECT_EQ(ops.GetBootstrapUrlDomain(url), -1);

  char fw[kRunningFwLen];
  ASSERT_EQ(ops.UpdateDeviceRunningFw(fw), 0);
  EXPECT_STREQ(fw, "2.1.9");
  sim.Write("/tmp/zun_fw_version", "");
  ASSERT_EQ(ops.UpdateDeviceRunningFw(fw), 0);
  EXPECT_STREQ(fw, "null");
  std::remove(sim.Path("/tmp/zun_fw_version").c_str());
  EXPECT_EQ(ops.UpdateDeviceRunningFw(fw), -1);
  EXPECT_STREQ(fw, "null");
}

TEST_F(StartupSlots, WlanInfoOfFreshRouter) {
  if (!SimRouter::HaveRouterNetns()) ZC_MISSING() << "no router namespace";
  WlanInfoEntry e{};
  ASSERT_EQ(ops.GetWlanInfo(0, &e), 0);
  EXPECT_STREQ(e.phy, "phy0");
  EXPECT_STREQ(e.ifname, "wlan0");
  EXPECT_EQ(e.active, 1);
  EXPECT_STREQ(e.ssid, "ZunSim-0001");
  EXPECT_STREQ(e.passphrase, "simpass-0001");
  EXPECT_STREQ(e.bssid, "02:5a:00:00:00:03");
  EXPECT_EQ(e.hidden, 0);
  EXPECT_EQ(e.guest, 0);
  EXPECT_EQ(e.sgi, 1);
  EXPECT_EQ(e.beaconInterval, 100u);
  EXPECT_STREQ(e.country, "US");
  EXPECT_EQ(e.channel, 6);
  EXPECT_EQ(e.txPower, 27);
  EXPECT_EQ(e.band, 1u);
  EXPECT_EQ(e.mode, 1u);
  EXPECT_EQ(e.standard, 7u);
  EXPECT_EQ(e.encryption, 2u);
  EXPECT_EQ(e.security, 5u);
  EXPECT_EQ(e.channelWidth, 1u);
  EXPECT_EQ(sim.Argvs("iwpriv"),
            std::vector<std::string>{JsonArgv({"wlan0", "get_mib", "hiddenAP"})});
  EXPECT_EQ(sim.Argvs("flash"),
            (std::vector<std::string>{JsonArgv({"get", "WLAN_MBSSIB_TBL.0.ssid"}),
                                      JsonArgv({"get", "WLAN_MBSSIB_TBL.0.wpaPSK"}),
                                      JsonArgv({"get", "HW_WLAN0_COUNTRYSTR"})}));
  bool askedChannel = false;
  for (const auto& c : sim.Calls("ioctl", "wlan0")) {
    askedChannel |= c.json == R"({"req":"0x89f2","data":"channel"})";
  }
  EXPECT_TRUE(askedChannel);

  // A down interface, a hidden SSID, another radio index.
  sim.Zunsim({"knob", "x", "y"});
  ASSERT_EQ(sim.Run({"iwpriv", "wlan0-vap1", "set_mib", "hiddenAP=1"}).status, 0);
  ASSERT_EQ(sim.Run({"ifconfig", "wlan0-vap1", "down"}).status, 0);
  ASSERT_EQ(ops.GetWlanInfo(2, &e), 0);
  EXPECT_STREQ(e.ifname, "wlan0-vap1");
  EXPECT_EQ(e.active, 0);
  EXPECT_EQ(e.hidden, 1);
  EXPECT_STREQ(e.ssid, "ZunSim-VAP1");
  ASSERT_EQ(ops.GetWlanInfo(8, &e), 0);
  EXPECT_STREQ(e.ifname, "NA");
  EXPECT_EQ(e.channel, 0);
}

TEST_F(StartupSlots, FullLengthSsidAndLongPassphraseAreExact) {
  const std::string ssid32(32, 'S');
  const std::string psk63(63, 'k');
  sim.SetFlash("WLAN_MBSSIB_TBL.1.ssid", ssid32);
  sim.SetFlash("WLAN_MBSSIB_TBL.1.wpaPSK", psk63);
  WlanInfoEntry e{};
  ASSERT_EQ(ops.GetWlanInfo(1, &e), 0);
  EXPECT_EQ(std::string(e.ssid), ssid32);
  EXPECT_EQ(std::string(e.passphrase), psk63);
}

TEST_F(StartupSlots, SharedWlanTableRefresh) {
  ClearWlanInfo();
  for (int i = 0; i < kWlanInfoCount; ++i) ASSERT_EQ(RefreshWlanInfoEntry(i), 0);
  auto e = GetWlanInfoEntry(3);
  ASSERT_TRUE(e);
  EXPECT_STREQ(e->ifname, "wlan0-vap2");
  EXPECT_STREQ(e->ssid, "ZunSim-VAP2");
  EXPECT_EQ(FindWlanInfoIndex("WLAN0-VAP1"), 2);
  EXPECT_EQ(FindWlanInfoIndex("wlan1"), -1);
  EXPECT_EQ(RefreshWlanInfoEntry(4), -1);
  EXPECT_FALSE(GetWlanInfoEntry(-1));
}

TEST_F(StartupSlots, DefaultRouterSettingsOnAFreshRouter) {
  if (!SimRouter::HaveRouterNetns()) ZC_MISSING() << "no router namespace";
  ASSERT_EQ(ops.UpdateDefaultRouterSettings(), 0);
  EXPECT_EQ(sim.Read("/proc/rg/gather_lanNetInfo"), "1\n");
  EXPECT_EQ(sim.Read("/proc/sys/vm/drop_caches"), "3\n");
  EXPECT_TRUE(sim.Calls("guard").empty());
  for (const auto& argv : sim.Argvs("flash")) EXPECT_EQ(argv.find("\"set\""), std::string::npos);
  EXPECT_EQ(sim.Argvs("pidof"), std::vector<std::string>{JsonArgv({"vsntp"})});
}

// A flash that does not keep NTP_IF_TYPE must not reboot the router at every start.
TEST_F(StartupSlots, NtpSettingTheFlashDoesNotKeepDoesNotReboot) {
  if (!SimRouter::HaveRouterNetns()) ZC_MISSING() << "no router namespace";
  sim.SetFlash("NTP_IF_TYPE", "3");
  sim.Zunsim({"knob", "flash.ignore", "NTP_IF_TYPE"});
  ASSERT_EQ(ops.UpdateDefaultRouterSettings(), 0);
  EXPECT_TRUE(sim.Calls("guard").empty());
  EXPECT_EQ(sim.Argvs("flash").size() > 0, true);
  bool wrote = false;
  for (const auto& argv : sim.Argvs("flash"))
    wrote |= argv == JsonArgv({"set", "NTP_IF_TYPE", "0"});
  EXPECT_TRUE(wrote);
}

// A flash tool that does not answer in time (a busy router) says nothing about the setting: it is
// neither rewritten nor a reason to reboot.
TEST_F(StartupSlots, NtpSettingThatCannotBeReadIsLeftAlone) {
  if (!SimRouter::HaveRouterNetns()) ZC_MISSING() << "no router namespace";
  sim.Zunsim({"fail", "flash.get.hang:NTP_SERVER_HOST1"});
  ASSERT_EQ(ops.UpdateDefaultRouterSettings(), 0);
  EXPECT_TRUE(sim.Calls("guard").empty());
  for (const auto& argv : sim.Argvs("flash")) EXPECT_EQ(argv.find("\"set\""), std::string::npos);
}

TEST_F(StartupSlots, MissingNtpSettingIsWrittenAndRebootsOnce) {
  sim.DelFlash("NTP_IF_TYPE");
  sim.SetFlash("NTP_SERVER_HOST2", "pool.example");
  EXPECT_EXIT(ops.UpdateDefaultRouterSettings(), ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(sim.Flash("NTP_IF_TYPE"), "0");
  EXPECT_EQ(sim.Flash("NTP_SERVER_HOST2"), "time2.zuncloud.net");
  auto guard = sim.Calls("guard", "reboot");
  ASSERT_EQ(guard.size(), 1u);
  // The next start finds everything in place: no second reboot.
  sim.Mark();
  if (SimRouter::HaveRouterNetns()) {
    ASSERT_EQ(ops.UpdateDefaultRouterSettings(), 0);
    EXPECT_TRUE(sim.Calls("guard").empty());
  }
}

}  // namespace
