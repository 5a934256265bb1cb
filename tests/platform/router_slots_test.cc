// Router slots against the simulated router: settings, controls, statistics, journal, firmware.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <memory>

#include "platform/device_ops.h"
#include "sim/sim_router.h"
#include "support/requires.h"

namespace {

using zctest::JsonArgv;
using zctest::SimRouter;

class RouterSlots : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(InitDeviceOps(&RouterDeviceOps), 0);
    ops = RouterDeviceOps;
  }
  SimRouter sim;
  DeviceOps ops{};
};

TEST_F(RouterSlots, LanConfigRoundTrip) {
  LanConfigRecord lan{};
  ASSERT_EQ(ops.GetLanConfig(&lan), 0);
  EXPECT_STREQ(lan.lanIpAddr, "192.168.1.1");
  EXPECT_STREQ(lan.subnetMask, "255.255.255.0");
  EXPECT_STREQ(lan.dhcpPoolStart, "192.168.1.100");
  EXPECT_STREQ(lan.dhcpPoolEnd, "192.168.1.200");
  EXPECT_STREQ(lan.dhcpGateway, "192.168.1.1");
  EXPECT_EQ(lan.leaseTime, 86400u);
  EXPECT_EQ(lan.dnsMode, 1u);  // option 0: the router itself
  EXPECT_STREQ(lan.dns1, "192.168.1.1");
  sim.Mark();
  ASSERT_EQ(ops.SetLanConfig(&lan), 0);
  EXPECT_EQ(sim.Flash("LAN_DHCP_DNS_OPT"), "0");
  EXPECT_EQ(sim.Argvs("flash"),
            (std::vector<std::string>{JsonArgv({"set", "LAN_DHCP_DNS_OPT", "0"}),
                                      JsonArgv({"set", "LAN_IP_ADDR", "192.168.1.1"}),
                                      JsonArgv({"set", "LAN_SUBNET", "255.255.255.0"}),
                                      JsonArgv({"set", "LAN_DHCP_POOL_START", "192.168.1.100"}),
                                      JsonArgv({"set", "LAN_DHCP_POOL_END", "192.168.1.200"}),
                                      JsonArgv({"set", "LAN_DHCP_GATEWAY", "192.168.1.1"}),
                                      JsonArgv({"set", "LAN_DHCP_LEASE", "86400"})}));
  lan.dnsMode = 1;
  std::strcpy(lan.dns1, "9.9.9.9");
  std::strcpy(lan.dns2, "1.1.1.1");
  ASSERT_EQ(ops.SetLanConfig(&lan), 0);
  EXPECT_EQ(sim.Flash("DHCPS_DNS1"), "9.9.9.9");
  EXPECT_EQ(sim.Flash("DHCPS_DNS3"), "0.0.0.0");  // empty third server not written
  LanConfigRecord back{};
  ASSERT_EQ(ops.GetLanConfig(&back), 0);
  EXPECT_EQ(back.dnsMode, 1u);
  EXPECT_STREQ(back.dns2, "1.1.1.1");

  sim.Mark();
  LanConfigRecord bad = lan;
  bad.dnsMode = 5;
  EXPECT_EQ(ops.SetLanConfig(&bad), -1);
  bad = lan;
  std::strcpy(bad.lanIpAddr, "1.2.3.4;id");
  EXPECT_EQ(ops.SetLanConfig(&bad), -1);
  EXPECT_TRUE(sim.Calls("exec", "flash").empty());
  sim.SetFlash("LAN_DHCP_DNS_OPT", "7");
  EXPECT_EQ(ops.GetLanConfig(&back), -1);
  // A write the flash refuses is a failure, not a silent success.
  sim.Zunsim({"fail", "flash.set:LAN_SUBNET"});
  EXPECT_EQ(ops.SetLanConfig(&lan), -1);
}

TEST_F(RouterSlots, AcsSettingsKeepWhatTheCloudLeftOut) {
  sim.SetFlash("CWMP_ACS_USERNAME", "acsuser");
  sim.SetFlash("CWMP_ACS_PASSWORD", "acspass");
  AcsConfigRecord acs{};
  std::strcpy(acs.url, "http://a");
  ASSERT_EQ(ops.UpdateSLAndACS(&acs), 0);
  EXPECT_EQ(sim.Flash("CWMP_ACS_URL"), "http://a");
  EXPECT_EQ(sim.Flash("CWMP_ACS_USERNAME"), "acsuser");
  EXPECT_EQ(sim.Flash("CWMP_ACS_PASSWORD"), "acspass");
  EXPECT_EQ(sim.Flash("CWMP_FLAG"), "112");
  EXPECT_EQ(sim.Flash("CWMP_INFORM_INTERVAL"), "300");
  EXPECT_EQ(sim.Flash("ATM_VC_TBL.0.applicationtype"), "3");
  EXPECT_EQ(sim.Flash("ATM_VC_TBL.0.ServiceList"), "3");
  EXPECT_EQ(sim.Flash("ATM_VC_TBL.1.applicationtype"), "0");
  const std::string url = "http://x/$(touch " + sim.root() + "/u)";
  const std::string pass = "p' `touch " + sim.root() + "/v` \"";
  std::strcpy(acs.url, url.c_str());
  std::strcpy(acs.userName, "new user");
  std::strcpy(acs.password, pass.c_str());
  acs.informInterval = 60;
  sim.Mark();
  ASSERT_EQ(ops.UpdateSLAndACS(&acs), 0);
  EXPECT_EQ(sim.Flash("CWMP_ACS_URL"), url);
  EXPECT_EQ(sim.Flash("CWMP_ACS_USERNAME"), "new user");
  EXPECT_EQ(sim.Flash("CWMP_ACS_PASSWORD"), pass);
  EXPECT_EQ(sim.Flash("CWMP_INFORM_INTERVAL"), "60");
  EXPECT_FALSE(sim.Exists("/u"));
  EXPECT_FALSE(sim.Exists("/v"));
  // Same URL again: not rewritten.
  sim.Mark();
  ASSERT_EQ(ops.UpdateSLAndACS(&acs), 0);
  for (const auto& argv : sim.Argvs("flash"))
    EXPECT_EQ(argv.find("CWMP_ACS_URL\",\""), std::string::npos);
  EXPECT_EQ(ops.CreateWANandUpdateACS(nullptr, nullptr), 0);
}

// A refused flash write is the update's failure; the writes after it are not attempted.
TEST_F(RouterSlots, AcsUpdateReportsTheFirstRefusedFlashWrite) {
  AcsConfigRecord acs{};
  std::strcpy(acs.url, "http://acs.example");
  std::strcpy(acs.userName, "user");
  std::strcpy(acs.password, "secret");
  sim.Zunsim({"fail", "flash.set:CWMP_ACS_USERNAME"});
  sim.Mark();
  EXPECT_EQ(ops.UpdateSLAndACS(&acs), -1);
  EXPECT_EQ(sim.Flash("CWMP_ACS_URL"), "http://acs.example");
  for (const auto& argv : sim.Argvs("flash"))
    EXPECT_EQ(argv.find("CWMP_ACS_PASSWORD"), std::string::npos) << argv;

  sim.Zunsim({"fail", "flash.set:CWMP_FLAG"});
  EXPECT_EQ(ops.UpdateSLAndACS(&acs), -1);
}

TEST_F(RouterSlots, PauseAndPlayUseTheColonForm) {
  int32_t index = -1;
  ASSERT_EQ(ops.PauseClient("00-11-22-33-44-55", &index), 0);
  EXPECT_EQ(index, 0);
  std::string eb = sim.Path("/bin/ebtables");
  EXPECT_EQ(sim.Argvs("ebtables"),
            (std::vector<std::string>{
                JsonArgv({"-P", "macfilter_r", "ACCEPT"}),
                JsonArgv({"-I", "macfilter_r", "-s", "00:11:22:33:44:55", "-j", "DROP"})}));
  EXPECT_EQ(
      sim.Argvs("iptables"),
      std::vector<std::string>{JsonArgv({"-t", "nat", "-I", "macfilter_r", "-m", "mac",
                                         "--mac-source", "00:11:22:33:44:55", "-j", "DROP"})});
  EXPECT_EQ(sim.Read("/sim/state/ebtables/macfilter_r"),
            "policy ACCEPT\n-s 00:11:22:33:44:55 -j DROP\n");
  EXPECT_EQ(sim.Read("/sim/state/rtk/macfilter"), "0=00:11:22:33:44:55\n");
  int32_t second = -1;
  ASSERT_EQ(ops.PauseClient("AABBCCDDEEFF", &second), 0);
  EXPECT_EQ(second, 1);
  ASSERT_EQ(ops.PlayClient("00:11:22:33:44:55", index), 0);
  EXPECT_EQ(sim.Read("/sim/state/ebtables/macfilter_r"),
            "policy ACCEPT\n-s aa:bb:cc:dd:ee:ff -j DROP\n");
  EXPECT_EQ(sim.Read("/sim/state/iptables/nat.macfilter_r"),
            "policy ACCEPT\n-m mac --mac-source aa:bb:cc:dd:ee:ff -j DROP\n");
  EXPECT_EQ(ops.PlayClient("00:11:22:33:44:55", index), -1);  // filter already gone
  EXPECT_EQ(ops.PauseClient("00:11:22:33:44", &index), -1);
  EXPECT_EQ(ops.PlayClient("00:11:22:33:44:55", -1), -1);
  // A drop rule the NAT table refuses undoes the pause and reports it.
  sim.Zunsim({"fail", "iptables"});
  sim.Mark();
  EXPECT_EQ(ops.PauseClient("02:00:00:00:00:01", &index), -1);
  EXPECT_EQ(sim.Read("/sim/state/rtk/macfilter"), "1=aa:bb:cc:dd:ee:ff\n");
  EXPECT_EQ(sim.Read("/sim/state/ebtables/macfilter_r"),
            "policy ACCEPT\n-s aa:bb:cc:dd:ee:ff -j DROP\n");
}

TEST_F(RouterSlots, LedPhyAndFreeRam) {
  EXPECT_EQ(ops.LEDControl(3), -1);
  EXPECT_TRUE(sim.Calls().empty());
  ASSERT_EQ(ops.LEDControl(1), 0);
  ASSERT_EQ(ops.LEDControl(2), 0);
  std::vector<std::string> expected = {JsonArgv({"led", "off"})};
  for (int i = 0; i < 3; ++i) {
    expected.push_back(JsonArgv({"led", "off"}));
    expected.push_back(JsonArgv({"led", "on"}));
  }
  expected.push_back(JsonArgv({"led", "restore"}));
  EXPECT_EQ(sim.Argvs("mpctl"), expected);
  ASSERT_EQ(ops.PhyPower(0), 0);
  EXPECT_EQ(sim.Read("/sim/state/rtk/phy"), "0.0=6464\n1.0=6464\n");  // 0x1140 | 0x0800
  ASSERT_EQ(ops.PhyPower(1), 0);
  EXPECT_EQ(sim.Read("/sim/state/rtk/phy"), "0.0=4416\n1.0=4416\n");
  sim.Write("/etc/config/syslogd.txt", "x");
  sim.Write("/etc/config/zuncloudconfigurl", "y");
  ASSERT_EQ(ops.FreeUpRAM(), 0);
  EXPECT_FALSE(sim.Exists("/etc/config/syslogd.txt"));
  EXPECT_FALSE(sim.Exists("/etc/config/zuncloudconfigurl"));
  EXPECT_EQ(sim.Read("/proc/sys/vm/drop_caches"), "3\n");
}

TEST_F(RouterSlots, InterfaceDownAndUpReachTheKernelAndTheDriver) {
  if (!SimRouter::HaveRouterNetns()) ZC_MISSING() << "no router namespace";
  auto isUp = [](const char* ifname) {
    ifreq ifr{};
    std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", ifname);
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &ifr) == 0 && (ifr.ifr_flags & IFF_UP);
    if (fd >= 0) close(fd);
    return up;
  };
  ASSERT_TRUE(isUp("wlan0-vap1"));
  ASSERT_EQ(ops.SetInterfaceDown("wlan0-vap1"), 0);
  EXPECT_FALSE(isUp("wlan0-vap1"));
  EXPECT_EQ(sim.Read("/sim/state/wifi/wlan0-vap1/enabled"), "0\n");
  ASSERT_EQ(ops.SetInterfaceUp("wlan0-vap1"), 0);
  EXPECT_TRUE(isUp("wlan0-vap1"));
  EXPECT_EQ(sim.Read("/sim/state/wifi/wlan0-vap1/enabled"), "1\n");
  EXPECT_EQ(sim.Argvs("ifconfig"), (std::vector<std::string>{JsonArgv({"wlan0-vap1", "down"}),
                                                             JsonArgv({"wlan0-vap1", "up"})}));
}

TEST_F(RouterSlots, PlatformAndWanRecords) {
  if (!SimRouter::HaveRouterNetns()) ZC_MISSING() << "no router namespace";
  PlatformInfoRecord p{};
  ASSERT_EQ(ops.EventPlatformInfoUpdate(&p), 0);
  EXPECT_STREQ(p.hardware, "ZSIM-GW1");
  EXPECT_STREQ(p.deviceIdentity, "025A00-ZSIM-GW1-ZSIM00000001");
  EXPECT_STREQ(p.hardwareVersion, "HWV1.0");
  EXPECT_STREQ(p.softwareVersion, "ZSIM-GW1-V1.0.3");
  EXPECT_STREQ(p.softwareBuildTime, "2025-01-13 10:20:30");
  EXPECT_STREQ(p.modelName, "ZSIM-GW1");
  EXPECT_STREQ(p.serialNumber, "ZSIM00000001");
  EXPECT_STREQ(p.ponSerialNumber, "ZSIM1234ABCD");
  EXPECT_STREQ(p.manufacturer, "ZunSim");
  EXPECT_STREQ(p.ponMode, "GPON");
  EXPECT_STREQ(p.oui, "025A00");
  EXPECT_STREQ(p.processorSpeed, "598.01");
  EXPECT_STREQ(p.voipStackName, "NA");
  EXPECT_STREQ(p.publicAddress, "NA");

  WanStatusRecord wan{};
  wan.proto = 99;
  ASSERT_EQ(ops.EventWanInfoUpdate(&wan), 0);
  EXPECT_EQ(wan.proto, 2u);
  EXPECT_STREQ(wan.ifname, "nas0_0");
  EXPECT_STREQ(wan.mac, "02:5A:00:00:00:02");
  EXPECT_STREQ(wan.wanIpv4, "100.64.0.2");
  EXPECT_STREQ(wan.wanIpv6, "NA");
  EXPECT_STREQ(wan.publicIpv4, "NA");
  // PPPoE: the session interface reports a zero MAC; the underlying one is used.
  sim.SetFlash("ATM_VC_TBL.0.ChannelMode", "2");
  sim.SetFlash("ATM_VC_TBL.0.pppUser", "user@isp");
  sim.Zunsim({"knob", "net.zero_mac_ifs", "nas0_0"});
  sim.Write("/etc/ppp/pppoe.conf", "# x\nETH eth0\n");
  ASSERT_EQ(ops.EventWanInfoUpdate(&wan), 0);
  EXPECT_EQ(wan.proto, 3u);
  EXPECT_STREQ(wan.mac, "02:5A:00:00:00:01");
  EXPECT_STREQ(wan.pppoeUserName, "user@isp");
  sim.Write("/etc/ppp/pppoe.conf", "# x\n");
  EXPECT_EQ(ops.EventWanInfoUpdate(&wan), -1);
  // No Internet WAN at all: success, addresses untouched.
  for (int i = 0; i < 6; ++i)
    sim.SetFlash("ATM_VC_TBL." + std::to_string(i) + ".applicationtype", "0");
  WanStatusRecord none{};
  std::strcpy(none.wanIpv4, "keep");
  ASSERT_EQ(ops.EventWanInfoUpdate(&none), 0);
  EXPECT_STREQ(none.wanIpv4, "keep");
  EXPECT_STREQ(none.publicIpv6, "NA");

  WanInterfaceRecord* raw = nullptr;
  uint8_t count = 0;
  ASSERT_EQ(ops.GetWanInterfacesInfo(&raw, &count), 0);
  std::unique_ptr<WanInterfaceRecord, CFree> list(raw);
  ASSERT_EQ(count, 0);  // nas0_0 is listed as a zero MAC now
  sim.Zunsim({"knob", "net.zero_mac_ifs", ""});
  ASSERT_EQ(ops.GetWanInterfacesInfo(&raw, &count), 0);
  list.reset(raw);
  ASSERT_EQ(count, 1);
  EXPECT_STREQ(raw[0].ifname, "nas0_0");
  EXPECT_STREQ(raw[0].ipv4, "100.64.0.2");
}

TEST_F(RouterSlots, SystemPonAndInterfaceStatistics) {
  if (!SimRouter::HaveRouterNetns()) ZC_MISSING() << "no router namespace";
  sim.Zunsim({"sys", "uptime=4242", "MemFree=1000", "Buffers=24", "Cached=0"});
  SystemStatsRecord s{};
  ASSERT_EQ(ops.GetSystemStats(&s), 0);
  EXPECT_EQ(s.uptime, 4242u);
  EXPECT_EQ(s.memTotal, 249856u);
  EXPECT_EQ(s.memFree, 1024u);
  EXPECT_GE(s.cpuCount, 1u);
  sim.Zunsim({"sys", "stat.user=800", "stat.idle=9800"});  // +500 busy, +100 idle
  ASSERT_EQ(ops.GetSystemStats(&s), 0);
  EXPECT_EQ(s.cpuPercentage, 83u);
  ASSERT_EQ(ops.GetSystemStats(&s), 0);
  EXPECT_EQ(s.cpuPercentage, 0u);  // nothing moved

  PonStatsRecord pon{};
  sim.Zunsim({"pon", "tx=-inf", "rx=-21.5"});
  ASSERT_EQ(ops.GetPONStats(&pon), 0);
  EXPECT_STREQ(pon.vendorName, "ZSIM-OPTICS");
  EXPECT_STREQ(pon.serialNumber, "ZS0000000001");
  EXPECT_STREQ(pon.partNumber, "NA");
  EXPECT_FLOAT_EQ(pon.temperature, 45.5f);
  EXPECT_FLOAT_EQ(pon.voltage, 3.3f);
  EXPECT_FLOAT_EQ(pon.biasCurrent, 12.0f);
  EXPECT_EQ(pon.txPower, 0.0f);
  EXPECT_FLOAT_EQ(pon.rxPower, -21.5f);

  for (int i = 0; i < kWlanInfoCount; ++i) ASSERT_EQ(RefreshWlanInfoEntry(i), 0);
  ASSERT_EQ(ops.UpdateDefaultRouterSettings(), 0);  // finds the Internet WAN
  sim.Zunsim({"traffic", "port", "0", "--rx", "5000000000", "--tx", "7"});
  sim.Zunsim({"traffic", "wan", "--rx", "+10", "--tx", "+20"});
  sim.Zunsim({"traffic", "wlan", "wlan0-vap1", "--rx", "3000000000", "--tx", "4"});
  uint8_t n = 0;
  InterfaceStatsRecord r[kMaxInterfaceStats];
  ASSERT_EQ(ops.GetInterfaceStats(&n, r), 0);
  ASSERT_EQ(n, 7);
  EXPECT_STREQ(r[0].connName, "eth0.2");
  EXPECT_EQ(r[0].connType, 1u);
  EXPECT_EQ(r[0].rxBytes, 5000000000ULL);
  EXPECT_EQ(r[0].txBytes, 7u);
  EXPECT_STREQ(r[4].connName, "wlan0-vap1");
  EXPECT_EQ(r[4].connType, 3u);
  EXPECT_EQ(r[4].rxBytes, 3000000000ULL);
  EXPECT_STREQ(r[6].connName, "nas0_0");
  EXPECT_EQ(r[6].connType, 2u);
  EXPECT_EQ(r[6].rxBytes, 10u);
  EXPECT_EQ(r[6].txBytes, 20u);
  // Port counters unreadable, one Wi-Fi folder gone: that interface is left out.
  sim.Zunsim({"fail", "rtk.rtk_rg_portMibInfo_get", "--times", "0"});
  sim.Zunsim({"fail", "proc.wlan0-vap2.missing"});
  ASSERT_EQ(ops.GetInterfaceStats(&n, r), 0);
  EXPECT_EQ(n, 4);

  EthPortRecord ports[kEthPortCount];
  ASSERT_EQ(sim.Zunsim({"port", "eth0.3", "down"}).status, 0);
  ASSERT_EQ(ops.GetEthStats(&n, ports), 0);
  ASSERT_EQ(n, 2);
  EXPECT_EQ(ports[0].linkState, 2u);
  EXPECT_EQ(ports[0].duplex, 3u);
  EXPECT_EQ(ports[1].linkState, 1u);
  EXPECT_EQ(ports[1].duplex, 0u);
  FreeEthPortClients(ports, n);
  sim.Zunsim({"knob", "port.eth0.2.duplex", "half"});
  ASSERT_EQ(ops.GetEthStats(&n, ports), 0);
  EXPECT_EQ(ports[0].duplex, 2u);
  FreeEthPortClients(ports, n);
}

TEST_F(RouterSlots, JournalSocket) {
  ASSERT_EQ(ops.JournalInit(), 0);
  ASSERT_EQ(sim.Zunsim({"syslog", "<11>myprog[42]: hello $(id)"}).status, 0);
  JournalRecord r{};
  ASSERT_EQ(ops.GetJournalRecord(&r), 0);
  EXPECT_STREQ(r.source, "/dev/log");
  EXPECT_STREQ(r.severity, "err");
  EXPECT_STREQ(r.module, "myprog");
  EXPECT_STREQ(r.processId, "42");
  EXPECT_STREQ(r.log, " hello $(id)");
  ASSERT_EQ(ops.JournalInit(), 0);  // again: the old socket file is replaced
}

std::vector<std::string> Digests(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> d(4);
  in >> d[0] >> d[1] >> d[2] >> d[3];
  return d;
}

int gLastFlashCode = -1;
void OnFlash(int code) {
  gLastFlashCode = code;
}

TEST_F(RouterSlots, FirmwareValidateAndFlash) {
  const std::string image = sim.Path("/tmp/new_fw.download");
  auto d = Digests(sim.Zunsim({"mkimage", image, "--version", "2.2.0"}).output);
  EXPECT_EQ(ops.FirmwareValidate("MD5", d[0].c_str()), 0);
  EXPECT_EQ(ops.FirmwareValidate("sha256", d[2].c_str()), 0);
  EXPECT_EQ(ops.FirmwareValidate("SHA224", d[1].c_str()), 0);
  EXPECT_EQ(ops.FirmwareValidate("MD5", "0123"), FW_ERR_CHECKSUM_FAIL);
  EXPECT_EQ(ops.FirmwareValidate("CRC32", d[0].c_str()), FW_ERR_CHECKSUM_FAIL);
  sim.Zunsim({"sys", "MemFree=10", "Buffers=0"});
  EXPECT_EQ(ops.FirmwareValidate("MD5", d[0].c_str()), FW_ERR_LOW_RAM);
  sim.Zunsim({"sys", "MemFree=98304", "Buffers=4096"});
  d = Digests(sim.Zunsim({"mkimage", image, "--version", "2.2.0", "--fwgroup", "OTHER"}).output);
  EXPECT_EQ(ops.FirmwareValidate("MD5", d[0].c_str()), FW_ERR_PRODUCT_MISMATCH);
  std::remove(sim.Path("/etc/launcher/fwgroup").c_str());
  EXPECT_EQ(ops.FirmwareValidate("MD5", d[0].c_str()), 0);
  d = Digests(sim.Zunsim({"mkimage", image, "--version", "9", "--size", "20000000"}).output);
  EXPECT_EQ(ops.FirmwareValidate("MD5", d[0].c_str()), FW_ERR_IMAGE_SIZE_CHECK_FAILURE);

  sim.Zunsim({"mkimage", image, "--version", "2.2.0"});
  sim.Mark();
  ASSERT_EQ(ops.FirmwareUpgrade(OnFlash), 0);
  EXPECT_EQ(gLastFlashCode, 0);
  EXPECT_EQ(sim.Read("/sim/state/banks/1/version"), "2.2.0\n");
  EXPECT_EQ(sim.Argvs("nv"), (std::vector<std::string>{JsonArgv({"getenv", "sw_active"}),
                                                       JsonArgv({"setenv", "sw_tryactive", "1"})}));
  EXPECT_EQ(sim.Argvs("fwu_starter.sh"), std::vector<std::string>{JsonArgv({"1", image, "ZUN"})});
  sim.Zunsim({"mkimage", image, "--version", "2.3.0", "--flash-fail"});
  ASSERT_EQ(ops.FirmwareUpgrade(OnFlash), 0);
  EXPECT_EQ(gLastFlashCode, FW_ERR_GENERIC_FAILURE);
  EXPECT_EQ(sim.Read("/sim/state/banks/1/version"), "2.2.0\n");
  sim.Zunsim({"nv", "del", "sw_active"});
  ASSERT_EQ(ops.FirmwareUpgrade(OnFlash), 0);
  EXPECT_EQ(gLastFlashCode, FW_ERR_GENERIC_FAILURE);
}

// Images that cannot be verified are never flashed; an unusable active bank never starts the
// writer.
TEST_F(RouterSlots, FirmwareThatCannotBeVerifiedOrPlacedIsRefused) {
  const std::string image = sim.Path("/tmp/new_fw.download");
  EXPECT_EQ(ops.FirmwareValidate("MD5", "00"), FW_ERR_IMAGE_SIZE_CHECK_FAILURE);  // no image
  auto d = Digests(sim.Zunsim({"mkimage", image, "--version", "2.2.0"}).output);
  // A checksum tool that fails (prints nothing, exits non-zero) fails the check.
  sim.Write("/bin/md5sum", "#!/bin/sh\nexit 1\n");
  chmod(sim.Path("/bin/md5sum").c_str(), 0755);
  EXPECT_EQ(ops.FirmwareValidate("MD5", d[0].c_str()), FW_ERR_CHECKSUM_FAIL);
  sim.Write("/bin/md5sum", "#!/bin/sh\necho\n");
  EXPECT_EQ(ops.FirmwareValidate("MD5", ""), FW_ERR_CHECKSUM_FAIL);
  EXPECT_EQ(ops.FirmwareValidate("MD5", d[0].c_str()), FW_ERR_CHECKSUM_FAIL);
  std::remove(sim.Path("/bin/md5sum").c_str());
  EXPECT_EQ(ops.FirmwareValidate("MD5", d[0].c_str()), 0);
  // A router without the tool at all: the check cannot run, so it fails.
  std::string path = getenv("PATH");
  setenv("PATH", sim.Path("/bin").c_str(), 1);
  EXPECT_EQ(ops.FirmwareValidate("SHA256", d[2].c_str()), FW_ERR_CHECKSUM_FAIL);
  setenv("PATH", path.c_str(), 1);

  for (const char* active : {"7", "", "-1", "x"}) {
    sim.Zunsim({"nv", "set", "sw_active", active});
    sim.Mark();
    gLastFlashCode = -1;
    ASSERT_EQ(ops.FirmwareUpgrade(OnFlash), 0);
    EXPECT_EQ(gLastFlashCode, FW_ERR_GENERIC_FAILURE) << "sw_active=" << active;
    EXPECT_TRUE(sim.Argvs("fwu_starter.sh").empty()) << "sw_active=" << active;
  }
}

// Every slot taking text: shell payloads are refused or passed literally, never executed.
TEST_F(RouterSlots, InjectionPayloadsInEveryTextSlot) {
  const std::string pwn = sim.Path("/pwned");
  const std::vector<std::string> payloads = {
      "$(touch " + pwn + ")",     "`touch " + pwn + "`",        "x; touch " + pwn,
      "x' ; touch " + pwn + " '", "x\" ; touch " + pwn + " \"", "x\ntouch " + pwn,
      "x | touch " + pwn,         std::string(33, 'A')};
  char mac[kMacTextLen], ip[kIpv4TextLen], text[kMibBufferLen];
  LanConfigRecord lanSeed{};
  ASSERT_EQ(ops.GetLanConfig(&lanSeed), 0);
  for (const auto& p : payloads) {
    const char* v = p.c_str();
    ops.UpdateDeviceMacAddress(v, mac);
    ops.GetInterfaceIPv4Address(v, ip);
    ops.GetDeviceVersion(v, text);
    WlanInfoEntry e{};
    ops.GetWlanSsidTrafficStats(v, &e);
    uint8_t n = 0;
    ops.GetWlanTotalConnectedSTA(v, &n);
    e.stationCount = 1;
    ops.GetWlanSTAInfoAll(v, &e);
    FreeWlanStations(&e);
    DataUsageRecord usage[kMaxDataUsage];
    ops.GetWlanHostDataUsageStats(v, &n, usage);
    ops.SetInterfaceDown(v);
    ops.SetInterfaceUp(v);
    ops.SetWlanSsid("wlan0", v);
    ops.SetWlanSsid(v, "x");
    ops.SetWlanPassPhrase("wlan0", v);
    ops.SetWlanPassPhrase(v, "x");
    int32_t index = -1;
    EXPECT_EQ(ops.PauseClient(v, &index), -1);
    EXPECT_EQ(ops.PlayClient(v, 0), -1);
    ops.FirmwareValidate(v, v);
    ops.FirmwareValidate("MD5", v);
    EXPECT_EQ(ops.DisconnectStation(v), -1);
    EXPECT_EQ(ops.BlockStation(v), -1);
    EXPECT_EQ(ops.UnblockStation(v), -1);
    ops.SetMaxSta(v, 1);
    ops.GetMib("wlan0", v, text);
    ops.GetMib(v, "channel", text);
    NeighborApRecord* aps = nullptr;
    uint32_t count = 0, error = 0;
    ops.GetNeighorAPDetails(&aps, v, &count, &error);
    std::free(aps);
    uint8_t oldCh = 0, newCh = 0;
    ops.OptimizeWifi(v, &oldCh, &newCh, &error);
    LanConfigRecord lan = lanSeed;
    std::snprintf(lan.dns1, sizeof lan.dns1, "%s", v);
    lan.dnsMode = 1;
    EXPECT_EQ(ops.SetLanConfig(&lan), -1);
    EXPECT_FALSE(sim.Exists("/pwned")) << p;
  }
  // The management server settings (one flash write each): the three shell forms.
  for (size_t i = 0; i < 3; ++i) {
    AcsConfigRecord acs{};
    std::snprintf(acs.url, sizeof acs.url, "%s", payloads[i].c_str());
    std::snprintf(acs.userName, sizeof acs.userName, "%s", payloads[i].c_str());
    std::snprintf(acs.password, sizeof acs.password, "%s", payloads[i].c_str());
    EXPECT_EQ(ops.UpdateSLAndACS(&acs), 0);
    EXPECT_EQ(sim.Flash("CWMP_ACS_PASSWORD"), payloads[i]);
  }
  AcsConfigRecord acs{};
  std::snprintf(acs.url, sizeof acs.url, "%s", payloads[5].c_str());
  EXPECT_EQ(ops.UpdateSLAndACS(&acs), -1);
  EXPECT_FALSE(sim.Exists("/pwned"));
  // Whatever reached the flash tool arrived as one argument, byte for byte.
  for (const auto& c : sim.Calls("exec", "flash")) EXPECT_EQ(c.json.find("\\n"), std::string::npos);
}

}  // namespace
