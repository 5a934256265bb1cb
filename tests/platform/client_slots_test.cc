// Client tracking against the simulated router's neighbour table, bridge and platform library.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/device_ops.h"
#include "platform/realtek/rtl_internal.h"
#include "sim/sim_router.h"
#include "support/requires.h"

namespace {

using zctest::SimRouter;

class ClientSlots : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SimRouter::HaveRouterNetns()) ZC_MISSING() << "no router namespace";
    ASSERT_EQ(InitDeviceOps(&RouterDeviceOps), 0);
    ops = RouterDeviceOps;
    for (int i = 0; i < kWlanInfoCount; ++i) ASSERT_EQ(RefreshWlanInfoEntry(i), 0);
    rtl::ResetClientList();
    sim.Write("/proc/rg/gather_lanNetInfo", "1\n");
  }
  void TearDown() override {
    rtl::SetClientLimitsForTest(0, 0);
    // Neighbour entries live in the namespace shared by every test of this binary.
    sim.Run({"ip", "neigh", "flush", "dev", "br0"});
  }
  void AddClient(const std::string& name, const std::string& mac, const std::string& ip,
                 const std::string& port, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"client", "add", name,     "--mac", mac,
                                     "--ip",   ip,    "--port", port};
    args.insert(args.end(), extra.begin(), extra.end());
    ASSERT_EQ(sim.Zunsim(args).status, 0);
  }
  ClientRecord Next() {
    ClientRecord r{};
    EXPECT_EQ(ops.GetClientUpdate(&r), 0);
    return r;
  }
  SimRouter sim;
  DeviceOps ops{};
};

TEST_F(ClientSlots, NewClientsOnePerCallWithFingerprintsAndPorts) {
  AddClient("phone", "02:5a:00:00:10:01", "192.168.1.10", "wlan0",
            {"--hostname", "phone", "--fp", "1,6,4,0"});
  AddClient("laptop", "02:5a:00:00:10:02", "192.168.1.1", "eth0.2", {"--static"});
  ClientRecord a = Next(), b = Next(), none = Next();
  EXPECT_STREQ(none.mac, "");
  ClientRecord phone = std::strcmp(a.ip, "192.168.1.10") == 0 ? a : b;
  ClientRecord laptop = std::strcmp(a.ip, "192.168.1.10") == 0 ? b : a;
  EXPECT_STREQ(phone.mac, "02:5a:00:00:10:01");
  EXPECT_STREQ(phone.hostName, "phone");
  EXPECT_STREQ(phone.ifname, "wlan0");
  EXPECT_EQ(phone.ifType, 3u);
  EXPECT_EQ(phone.connectionType, 1u);
  EXPECT_EQ(phone.ipAssignment, 2u);
  EXPECT_EQ(phone.deviceType, 1u);
  EXPECT_EQ(phone.brand, 6u);
  EXPECT_EQ(phone.osType, 4u);
  EXPECT_STREQ(laptop.hostName, "02:5a:00:00:10:02");  // no name: its MAC (not the .10 host)
  EXPECT_STREQ(laptop.ifname, "eth0.2");
  EXPECT_EQ(laptop.ifType, 1u);
  EXPECT_EQ(laptop.ipAssignment, 1u);
  EXPECT_EQ(sim.Read("/etc/config/zundevicefprint"), "02:5a:00:00:10:01 1 6 4 0\n");
  // The wired client was registered for traffic counting.
  EXPECT_NE(sim.Read("/sim/state/rtk/hostpolice").find("slot0=02:5a:00:00:10:02"),
            std::string::npos);

  // A host name learned later is reported once as an update.
  sim.Write("/tmp/hosts", sim.Read("/tmp/hosts") + "192.168.1.1 02:5a:00:00:10:02 laptop\n");
  ClientRecord upd = Next();
  EXPECT_STREQ(upd.mac, "02:5a:00:00:10:02");
  EXPECT_STREQ(upd.hostName, "laptop");
  EXPECT_STREQ(Next().mac, "");

  // Station records and data usage find the addresses through the list.
  WlanInfoEntry e{};
  e.stationCount = 1;
  ASSERT_EQ(ops.GetWlanSTAInfoAll("wlan0", &e), 0);
  ASSERT_EQ(e.stationCount, 1u);
  EXPECT_STREQ(e.stations[0]->ip, "192.168.1.10");
  FreeWlanStations(&e);
  sim.Zunsim({"traffic", "sta", "wlan0", "02:5a:00:00:10:01", "--rx", "123", "--tx", "456"});
  uint8_t n = 0;
  DataUsageRecord usage[kMaxDataUsage];
  ASSERT_EQ(ops.GetWlanHostDataUsageStats("wlan0", &n, usage), 0);
  ASSERT_EQ(n, 1);
  EXPECT_STREQ(usage[0].ip, "192.168.1.10");
  EXPECT_EQ(usage[0].rxBytes, 123u);
  EXPECT_EQ(usage[0].txBytes, 456u);
  EXPECT_EQ(usage[0].connType, 3u);
  sim.Zunsim({"traffic", "host", "02:5a:00:00:10:02", "--rx", "+1000", "--tx", "+2000"});
  ASSERT_EQ(ops.GetEthHostDataUsageStats(&n, usage), 0);
  ASSERT_EQ(n, 1);
  EXPECT_STREQ(usage[0].mac, "02:5a:00:00:10:02");
  EXPECT_STREQ(usage[0].connName, "eth0.2");
  EXPECT_EQ(usage[0].rxBytes, 1000u);
  EXPECT_EQ(usage[0].txBytes, 2000u);

  // Wired client list of the port: active only.
  EthPortRecord ports[kEthPortCount];
  ASSERT_EQ(ops.GetEthStats(&n, ports), 0);
  EXPECT_EQ(ports[0].clientCount, 1u);
  ASSERT_NE(ports[0].clients, nullptr);
  EXPECT_STREQ(ports[0].clients->mac, "02:5a:00:00:10:02");
  FreeEthPortClients(ports, n);
  ASSERT_EQ(sim.Zunsim({"neigh", "192.168.1.1", "--state", "stale"}).status, 0);
  ASSERT_EQ(ops.GetEthStats(&n, ports), 0);
  EXPECT_EQ(ports[0].clientCount, 0u);
  FreeEthPortClients(ports, n);
}

TEST_F(ClientSlots, RandomisedMacKeepsTheClientAndListsStayBounded) {
  AddClient("tab", "02:5a:00:00:20:01", "192.168.1.20", "wlan0-vap0");
  EXPECT_STREQ(Next().mac, "02:5a:00:00:20:01");
  sim.Zunsim({"client", "del", "tab"});
  AddClient("tab", "02:5a:00:00:20:99", "192.168.1.20", "wlan0-vap0");
  ClientRecord r = Next();  // same address, new MAC: the element is updated, not added
  EXPECT_STREQ(r.mac, "02:5a:00:00:20:99");
  EXPECT_EQ(rtl::ClientListSize(), 1u);

  rtl::SetClientLimitsForTest(8, 6);
  for (int i = 0; i < 12; ++i) {
    char mac[18], ip[16];
    std::snprintf(mac, sizeof mac, "02:5b:00:00:00:%02x", i);
    std::snprintf(ip, sizeof ip, "192.168.1.%d", 100 + i);
    sim.Run({"ip", "neigh", "replace", ip, "lladdr", mac, "dev", "br0", "nud", "reachable"});
    sim.Write("/etc/config/zundevicefprint",
              sim.Read("/etc/config/zundevicefprint"));  // keep the file present
    ClientRecord c = Next();
    EXPECT_STREQ(c.mac, mac);
    sim.Run({"ip", "neigh", "del", ip, "dev", "br0"});
  }
  EXPECT_LE(rtl::ClientListSize(), 8u);
}

TEST_F(ClientSlots, NinthWiredClientReusesTheSlotOfOneThatLeft) {
  for (int i = 1; i <= 9; ++i) {
    char mac[18], ip[16];
    std::snprintf(mac, sizeof mac, "02:5c:00:00:00:%02x", i);
    std::snprintf(ip, sizeof ip, "192.168.1.%d", 30 + i);
    if (i == 9) sim.Zunsim({"client", "del", "w1"});  // the first one leaves
    AddClient("w" + std::to_string(i), mac, ip, i % 2 ? "eth0.2" : "eth0.3");
    EXPECT_STREQ(Next().mac, mac);
  }
  std::string police = sim.Read("/sim/state/rtk/hostpolice");
  EXPECT_NE(police.find("slot7=02:5c:00:00:00:08"), std::string::npos);  // eighth slot counted
  EXPECT_NE(police.find("slot0=02:5c:00:00:00:09"), std::string::npos);  // reused for the ninth
  EXPECT_EQ(police.find("02:5c:00:00:00:01"), std::string::npos);
}

TEST_F(ClientSlots, StaleAndForeignNeighboursAndReadFailures) {
  AddClient("old", "02:5a:00:00:30:01", "192.168.1.40", "eth0.3");
  ASSERT_EQ(sim.Zunsim({"neigh", "192.168.1.40", "--state", "stale"}).status, 0);
  EXPECT_STREQ(Next().mac, "02:5a:00:00:30:01");  // listed, but not registered for counting
  EXPECT_EQ(sim.Read("/sim/state/rtk/hostpolice"), "");
  sim.Run({"ip", "neigh", "replace", "192.168.1.41", "dev", "br0", "nud", "incomplete"});
  sim.Run({"ip", "-6", "neigh", "replace", "fe80::1234:5678:9abc:def0", "lladdr",
           "02:5a:00:00:30:09", "dev", "br0", "nud", "reachable"});
  EXPECT_STREQ(Next().mac, "");
  std::remove(sim.Path("/proc/net").c_str());
  ClientRecord r{};
  EXPECT_EQ(ops.GetClientUpdate(&r), -1);
}

}  // namespace
