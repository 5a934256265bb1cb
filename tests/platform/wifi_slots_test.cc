// Wi-Fi slots against the simulated router: returned records and the exact argument vectors and
// driver requests the simulated router recorded.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "core/calls.h"
#include "platform/device_ops.h"
#include "sim/sim_router.h"
#include "support/requires.h"

namespace {

using zctest::JsonArgv;
using zctest::SimRouter;

class WifiSlots : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(InitDeviceOps(&RouterDeviceOps), 0);
    ops = RouterDeviceOps;
  }
  std::string Mib(const char* ifname, const char* name) {
    return sim.Run({"iwpriv", ifname, "get_mib", name}).output;
  }
  SimRouter sim;
  DeviceOps ops{};
};

// Cloud text reaches the flash tool as one argument: stored literally, never run by a shell.
TEST_F(WifiSlots, SsidAndPassphraseArePassedLiterally) {
  const std::string ssid = "a\"$(touch " + sim.root() + "/p)\"";
  const std::string psk = "x; touch " + sim.root() + "/q `id`";
  ASSERT_EQ(ops.SetWlanSsid("wlan0", ssid.c_str()), 0);
  ASSERT_EQ(ops.SetWlanPassPhrase("wlan0-vap1", psk.c_str()), 0);
  EXPECT_EQ(sim.Flash("WLAN_MBSSIB_TBL.0.ssid"), ssid);
  EXPECT_EQ(sim.Flash("WLAN_MBSSIB_TBL.2.wpaPSK"), psk);
  EXPECT_FALSE(sim.Exists("/p"));
  EXPECT_FALSE(sim.Exists("/q"));
  EXPECT_EQ(sim.Argvs("flash"),
            (std::vector<std::string>{JsonArgv({"set", "WLAN_MBSSIB_TBL.0.ssid", ssid}),
                                      JsonArgv({"set", "WLAN_MBSSIB_TBL.2.wpaPSK", psk})}));
  auto setMib = sim.Calls("ioctl", "wlan0");
  ASSERT_EQ(setMib.size(), 1u);
  EXPECT_EQ(setMib[0].json,
            "{\"req\":\"0x89f1\",\"data\":" + zsim::JsonString("ssid=" + ssid) + "}");
  WlanInfoEntry e{};
  ASSERT_EQ(ops.GetWlanInfo(0, &e), 0);
  EXPECT_EQ(std::string(e.ssid), ssid);
}

TEST_F(WifiSlots, BadValuesAreRefusedBeforeAnythingRuns) {
  EXPECT_EQ(ops.SetWlanSsid("wlan0", std::string(33, 's').c_str()), -1);
  EXPECT_EQ(ops.SetWlanSsid("wlan0", "two\nlines"), -1);
  EXPECT_EQ(ops.SetWlanSsid("wlan0", ""), -1);
  EXPECT_EQ(ops.SetWlanSsid("wlan0; reboot", "x"), -1);
  EXPECT_EQ(ops.SetWlanSsid("WLAN0", "x"), -1);
  EXPECT_EQ(ops.SetWlanPassPhrase("wlan0", std::string(65, 'k').c_str()), -1);
  EXPECT_EQ(ops.SetMaxSta("wlan0 x", 3), -1);
  EXPECT_TRUE(sim.Calls().empty());
  // A full-length SSID is accepted and kept exactly.
  std::string ssid32(32, 'Z');
  ASSERT_EQ(ops.SetWlanSsid("wlan0-vap2", ssid32.c_str()), 0);
  WlanInfoEntry e{};
  ASSERT_EQ(ops.GetWlanInfo(3, &e), 0);
  EXPECT_EQ(std::string(e.ssid), ssid32);
}

TEST_F(WifiSlots, DriverRefusalAndFlashFailureAreReported) {
  sim.Zunsim({"fail", "drv.setmib"});
  EXPECT_EQ(ops.SetWlanSsid("wlan0", "new"), -1);
  EXPECT_EQ(sim.Flash("WLAN_MBSSIB_TBL.0.ssid"), "new");  // stored, not applied
  sim.Zunsim({"fail", "flash.set"});
  sim.Mark();
  EXPECT_EQ(ops.SetWlanPassPhrase("wlan0", "another-key"), -1);
  EXPECT_TRUE(sim.Calls("ioctl").empty());  // nothing pushed after a failed write
  ASSERT_EQ(ops.SetMaxSta("wlan0", 7), 0);
  EXPECT_NE(Mib("wlan0", "total_max_sta").find("07 00 00 00"), std::string::npos);
  char buf[kMibBufferLen];
  ASSERT_EQ(ops.GetMib("wlan0", "bcnint", buf), 0);
  uint32_t bcn;
  std::memcpy(&bcn, buf, 4);
  EXPECT_EQ(bcn, 100u);
  EXPECT_EQ(ops.GetMib("wlan0", "nosuchmib", buf), -1);
}

TEST_F(WifiSlots, TrafficCountersAndStations) {
  sim.Zunsim({"wifi", "wlan0", "--stats", "tx_bytes=5000000000", "--stats", "rx_bytes=3000000000"});
  sim.Zunsim({"sta", "add", "wlan0", "02:5a:00:00:00:a1", "--rssi", "62", "--tx-bytes",
              "4000000000", "--tx-rate", "MCS7 72", "--link", "3723"});
  sim.Zunsim({"sta", "add", "wlan0", "02:5a:00:00:00:a2", "--rx-rate", "VHT NSS1-MCS9 433"});
  WlanInfoEntry e{};
  ASSERT_EQ(ops.GetWlanSsidTrafficStats("wlan0", &e), 0);
  EXPECT_EQ(e.counters[WLC_BYTES_SENT], 5000000000ULL);
  EXPECT_EQ(e.counters[WLC_BYTES_RECEIVED], 3000000000ULL);
  uint8_t n = 0;
  ASSERT_EQ(ops.GetWlanTotalConnectedSTA("wlan0", &n), 0);
  ASSERT_EQ(n, 2);
  // One station leaves between the count and the read: no empty record is published.
  sim.Zunsim({"sta", "del", "wlan0", "02:5a:00:00:00:a2"});
  e.stationCount = n;
  ASSERT_EQ(ops.GetWlanSTAInfoAll("wlan0", &e), 0);
  std::unique_ptr<WlanInfoEntry, void (*)(WlanInfoEntry*)> guard(&e, FreeWlanStations);
  ASSERT_EQ(e.stationCount, 1u);
  EXPECT_STREQ(e.stations[0]->mac, "02:5a:00:00:00:a1");
  EXPECT_STREQ(e.stations[0]->ip, "NA");
  EXPECT_EQ(e.stations[0]->txBytes, 4000000000ULL);
  EXPECT_EQ(e.stations[0]->rssi, -38);
  EXPECT_EQ(e.stations[0]->txMcs, 7);
  EXPECT_EQ(e.stations[0]->connectedSeconds, 3723u);
  ASSERT_EQ(ops.GetWlanTotalConnectedSTA("wlan0-vap0", &n), 0);
  EXPECT_EQ(n, 0);
  WlanInfoEntry none{};
  EXPECT_EQ(ops.GetWlanSTAInfoAll("wlan0-vap0", &none), 0);
  EXPECT_EQ(none.stations, nullptr);
  sim.Zunsim({"fail", "proc.wlan0-vap1.missing"});
  EXPECT_EQ(ops.GetWlanSsidTrafficStats("wlan0-vap1", &e), -1);
  EXPECT_EQ(ops.GetWlanTotalConnectedSTA("wlan0-vap1", &n), -1);
}

TEST_F(WifiSlots, StationControlRequests) {
  sim.Zunsim({"sta", "add", "wlan0-vap0", "02:5a:00:00:00:b1"});
  EXPECT_EQ(ops.DisconnectStation("02-5A-00-00-00-B1"), 0);
  EXPECT_EQ(ops.BlockStation("025a000000b2"), 0);
  EXPECT_EQ(ops.UnblockStation("02:5a:00:00:00:b3"), 0);
  EXPECT_EQ(ops.DisconnectStation("02:5a:00:00:00:c9"), 0);  // not associated: logged only
  EXPECT_EQ(ops.BlockStation("not a mac; reboot"), -1);
  auto calls = sim.Calls("ioctl", "wlan0");
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].json, R"({"req":"0x89f7","data":"025a000000b1"})");
  EXPECT_EQ(calls[0].rc, 0);
  EXPECT_EQ(calls[1].json, R"({"req":"0x8b45","data":"02:5a:00:00:00:b2"})");
  EXPECT_EQ(calls[2].json, R"({"req":"0x8b46","data":"02:5a:00:00:00:b3"})");
  EXPECT_EQ(calls[3].rc, -1);
  EXPECT_EQ(sim.Read("/sim/state/wifi/deny"), "02:5a:00:00:00:b2\n");
  EXPECT_EQ(sim.Read("/proc/wlan0-vap0/sta_info"), "-- STA info table -- (active: 0)\n");
  EXPECT_NE(sim.Zunsim({"sta", "add", "wlan0", "02:5a:00:00:00:b2"}).status, 0);
}

TEST_F(WifiSlots, SiteSurvey) {
  if (!SimRouter::HaveRouterNetns()) ZC_MISSING() << "no router namespace";
  ASSERT_EQ(RefreshWlanInfoEntry(0), 0);
  std::string ssid32(32, 'N');
  sim.Zunsim({"ap", "add", "02:aa:00:00:00:01", "--ssid", ssid32, "--channel", "1", "--signal",
              "40", "--beacon", "200", "--dtim", "2"});
  sim.Zunsim({"ap", "add", "02aa00000002", "--ssid", "cafe net", "--channel", "11", "--signal",
              "70", "--type", "0"});
  sim.Zunsim({"scan", "--busy", "2", "--polls", "3"});
  NeighborApRecord* raw = nullptr;
  uint32_t count = 0, error = 9;
  ASSERT_EQ(ops.GetNeighorAPDetails(&raw, "wlan0", &count, &error), 0);
  std::unique_ptr<NeighborApRecord, CFree> results(raw);
  EXPECT_EQ(error, 0u);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(std::string(raw[0].ssid), ssid32);
  EXPECT_STREQ(raw[0].bssid, "02:aa:00:00:00:01");
  EXPECT_EQ(raw[0].rssi, -60);
  EXPECT_EQ(raw[0].beaconPeriod, 200u);
  EXPECT_EQ(raw[0].dtimPeriod, 2u);
  EXPECT_EQ(raw[0].mode, 2u);
  EXPECT_EQ(raw[0].band, 1u);
  EXPECT_STREQ(raw[1].ssid, "cafe net");
  EXPECT_EQ(raw[1].mode, 1u);
  int busy = 0, polls = 0;
  for (const auto& c : sim.Calls("ioctl", "wlan0")) {
    busy += c.json == R"({"req":"0x8b33","data":"255"})";
    polls += c.json.find("0x8b34") != std::string::npos;
  }
  EXPECT_EQ(busy, 2);
  EXPECT_EQ(polls, 4);

  EXPECT_EQ(ops.GetNeighorAPDetails(&raw, "wlan1", &count, &error), -1);
  EXPECT_EQ(error, 1u);
  sim.Zunsim({"wifi", "wlan0", "--stats", "tx_avarage=1000000", "--stats", "rx_avarage=500000"});
  sim.Mark();
  EXPECT_EQ(ops.GetNeighorAPDetails(&raw, "wlan0", &count, &error), -1);
  EXPECT_EQ(error, 2u);
  EXPECT_TRUE(sim.Calls("ioctl").empty());  // refused before any scan
  sim.Zunsim({"wifi", "wlan0", "--stats", "tx_avarage=0", "--stats", "rx_avarage=0"});
  sim.Zunsim({"fail", "drv.scan.result"});
  EXPECT_EQ(ops.GetNeighorAPDetails(&raw, "wlan0", &count, &error), -1);
  EXPECT_EQ(error, 2u);
}

TEST_F(WifiSlots, ChannelOptimisation) {
  if (!SimRouter::HaveRouterNetns()) ZC_MISSING() << "no router namespace";
  sim.Zunsim({"ap", "add", "02:aa:00:00:00:01", "--ssid", "a", "--channel", "1"});
  sim.Zunsim({"ap", "add", "02:aa:00:00:00:02", "--ssid", "b", "--channel", "6"});
  uint8_t oldCh = 0, newCh = 0;
  uint32_t error = 9;
  ASSERT_EQ(ops.OptimizeWifi("wlan0-vap1", &oldCh, &newCh, &error), 0);
  EXPECT_EQ(oldCh, 6);
  EXPECT_EQ(newCh, 11);  // the least used of 1, 6, 11
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(sim.Flash("AUTO_CHANNEL"), "1");
  EXPECT_EQ(GetWlanInfoEntry(2)->channel, 6);  // refreshed before the change
  sim.Zunsim({"acs", "--result", "3"});
  ASSERT_EQ(ops.OptimizeWifi("wlan0", &oldCh, &newCh, &error), 0);
  EXPECT_EQ(oldCh, 11);
  EXPECT_EQ(newCh, 3);
  EXPECT_EQ(ops.OptimizeWifi("wlan1", &oldCh, &newCh, &error), -1);
  EXPECT_EQ(error, 1u);
  sim.Zunsim({"fail", "drv.acs"});
  EXPECT_EQ(ops.OptimizeWifi("wlan0", &oldCh, &newCh, &error), -1);
  EXPECT_EQ(error, 2u);
}

}  // namespace
