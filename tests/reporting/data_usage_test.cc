// Data usage: readings to per-period deltas, counter restarts, bounded snapshots, and the two
// refresh workers against a scripted platform table.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "platform/device_ops.h"
#include "telemetry/data_usage.h"

namespace {

using zc::usage::ApplyReading;
using zc::usage::Rule;
using zc::usage::UsageStore;

TEST(UsageRule, BothGrowOrBothRestart) {
  auto r = ApplyReading(Rule::kClient, 100, 200, 150, 260);
  EXPECT_EQ(r.deltaRx, 50u);
  EXPECT_EQ(r.deltaTx, 60u);
  EXPECT_TRUE(r.store);
  r = ApplyReading(Rule::kClient, 1000, 2000, 10, 20);  // re-associated: both counters restart
  EXPECT_EQ(r.deltaRx, 10u);
  EXPECT_EQ(r.deltaTx, 20u);
  EXPECT_TRUE(r.store);
}

TEST(UsageRule, OneCounterUnchangedIsCountedLater) {
  // Client: receive traffic only -> nothing now, the whole amount once both grew.
  UsageStore s(Rule::kClient, 8);
  s.BeginPass(0);
  s.Update("02:00:00:00:00:01", "192.168.1.5", 3, "wlan0", 1000, 5000);
  s.BeginPass(1);
  s.Update("02:00:00:00:00:01", "192.168.1.5", 3, "wlan0", 1500, 5000);
  EXPECT_EQ(s.Find("02:00:00:00:00:01")->deltaRx, 0u);
  EXPECT_EQ(s.Find("02:00:00:00:00:01")->cumulativeRx, 1000u);
  s.BeginPass(2);
  s.Update("02:00:00:00:00:01", "192.168.1.5", 3, "wlan0", 1700, 5100);
  EXPECT_EQ(s.Find("02:00:00:00:00:01")->deltaRx, 700u);
  EXPECT_EQ(s.Find("02:00:00:00:00:01")->deltaTx, 100u);
  // Interface: an unchanged counter is a zero difference.
  auto r = ApplyReading(Rule::kInterface, 100, 200, 100, 260);
  EXPECT_EQ(r.deltaRx, 0u);
  EXPECT_EQ(r.deltaTx, 60u);
  EXPECT_TRUE(r.store);
}

TEST(UsageRule, OnlyOneCounterWentBackIsARestartOfThatDirection) {
  // Receive wrapped its 32 bits while transmit went on: nothing may be lost.
  for (Rule rule : {Rule::kClient, Rule::kInterface}) {
    auto r = ApplyReading(rule, 4290000000ull, 7000000, 1000000, 12000000);
    EXPECT_EQ(r.deltaRx, 1000000u);
    EXPECT_EQ(r.deltaTx, 5000000u);
    EXPECT_TRUE(r.store);
  }
  UsageStore s(Rule::kClient, 8);
  s.BeginPass(0);
  s.Update("m", "ip", 1, "eth0.2", 4290000000ull, 7000000);
  s.BeginPass(1);
  s.Update("m", "ip", 1, "eth0.2", 1000000, 12000000);
  s.BeginPass(2);
  s.Update("m", "ip", 1, "eth0.2", 1000500, 12000700);  // measured from the stored readings
  EXPECT_EQ(s.Find("m")->deltaRx, 1000000u + 500u);
  EXPECT_EQ(s.Find("m")->deltaTx, 5000000u + 700u);
}

TEST(UsageStore, ADepartedClientReportsNoPhantomTraffic) {
  UsageStore s(Rule::kClient, 8);
  s.BeginPass(0);
  s.Update("a", "1", 1, "eth0.2", 100, 100);
  s.BeginPass(1);
  s.Update("a", "1", 1, "eth0.2", 300, 400);
  auto sent = s.Snapshot(60);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].deltaRx, 200u);
  EXPECT_EQ(sent[0].deltaTx, 300u);
  s.Commit(sent);
  s.BeginPass(2);  // the client left (or the platform read failed): no reading at all
  auto next = s.Snapshot(60);
  ASSERT_EQ(next.size(), 1u);
  EXPECT_EQ(next[0].deltaRx, 0u);
  EXPECT_EQ(next[0].deltaTx, 0u);
  EXPECT_FALSE(next[0].refreshed);
}

TEST(UsageStore, ASkippedMessageCarriesItsTrafficToTheNext) {
  UsageStore s(Rule::kInterface, 8);
  s.BeginPass(0);
  s.Update("wlan0", "", 3, "wlan0", 0, 0);
  s.BeginPass(1);
  s.Update("wlan0", "", 3, "wlan0", 10, 20);
  // this period's message was not published (no Commit)
  s.BeginPass(2);
  s.Update("wlan0", "", 3, "wlan0", 15, 27);
  auto sent = s.Snapshot(8);
  EXPECT_EQ(sent[0].deltaRx, 15u);
  EXPECT_EQ(sent[0].deltaTx, 27u);
  s.Commit(sent);
  EXPECT_EQ(s.Find("wlan0")->deltaRx, 0u);
}

TEST(UsageStore, HundredClientsStayWithinTheMessageAndTheStore) {
  UsageStore s(Rule::kClient, zc::usage::kClientStoreMax);
  for (int pass = 0; pass < 5; ++pass) {
    s.BeginPass(pass * 60);
    for (int i = 0; i < 100; ++i) {
      char mac[18];
      snprintf(mac, sizeof mac, "02:00:00:00:%02x:%02x", pass, i);
      s.Update(mac, "ip", 3, "wlan0", 1000u * (pass + 1), 2000u * (pass + 1));
    }
    auto snap = s.Snapshot(zc::usage::kClientSnapshotMax);
    EXPECT_LE(snap.size(), zc::usage::kClientSnapshotMax);
    for (size_t i = 1; i < snap.size(); ++i) EXPECT_LT(snap[i - 1].key, snap[i].key);
    s.Commit(snap);
  }
  EXPECT_LE(s.size(), zc::usage::kClientStoreMax);
  // A day without a reading forgets every one of them.
  s.BeginPass(4 * 60 + zc::usage::kStaleSeconds);
  EXPECT_EQ(s.size(), 0u);
}

TEST(UsageStore, SnapshotPrefersTrafficThenRecentReadings) {
  UsageStore s(Rule::kInterface, 16);
  s.BeginPass(0);
  for (const char* n : {"a", "b", "c", "d"}) s.Update(n, "", 1, n, 0, 0);
  s.BeginPass(10);
  s.Update("c", "", 1, "c", 5, 5);  // traffic
  s.Update("d", "", 1, "d", 0, 0);  // refreshed, no traffic
  auto snap = s.Snapshot(2);
  ASSERT_EQ(snap.size(), 2u);
  EXPECT_EQ(snap[0].key, "c");
  EXPECT_EQ(snap[1].key, "d");
  // Full store: the oldest reading without traffic goes for a new element.
  UsageStore small(Rule::kInterface, 2);
  small.BeginPass(0);
  small.Update("x", "", 1, "x", 0, 0);
  small.BeginPass(5);
  small.Update("y", "", 1, "y", 0, 0);
  small.Update("z", "", 1, "z", 0, 0);
  EXPECT_EQ(small.size(), 2u);
  EXPECT_EQ(small.Find("x"), nullptr);
}

// ---- the workers against a scripted platform ----

struct Script {
  int wlanCalls = 0;
  int wlan0Reads = 0;
  bool failEth = false;
  uint64_t ethRx = 0, ethTx = 0;
};
Script gScript;

int FakeWlanHostStats(const char* ifname, uint8_t* count, DataUsageRecord* r) {
  ++gScript.wlanCalls;
  *count = 0;
  if (std::strcmp(ifname, "wlan0") != 0) return 0;
  ++gScript.wlan0Reads;
  *count = 1;
  CopyField(r[0].mac, "02:00:00:00:00:aa");
  CopyField(r[0].ip, "192.168.1.10");
  CopyField(r[0].connName, "wlan0");
  r[0].connType = 3;
  r[0].rxBytes = 100u * static_cast<uint64_t>(gScript.wlan0Reads);
  r[0].txBytes = 300u * static_cast<uint64_t>(gScript.wlan0Reads);
  return 0;
}

int FakeEthHostStats(uint8_t* count, DataUsageRecord* r) {
  if (gScript.failEth) return -1;
  *count = 1;
  CopyField(r[0].mac, "02:00:00:00:00:bb");
  CopyField(r[0].ip, "192.168.1.11");
  CopyField(r[0].connName, "eth0.2");
  r[0].connType = 1;
  r[0].rxBytes = gScript.ethRx;
  r[0].txBytes = gScript.ethTx;
  return 0;
}

int FakeInterfaceStats(uint8_t* count, InterfaceStatsRecord* r) {
  *count = 1;
  CopyField(r[0].connName, "nas0_0");
  r[0].connType = 2;
  r[0].rxBytes = gScript.ethRx * 2;
  r[0].txBytes = gScript.ethTx * 2;
  return 0;
}

TEST(UsageWorkers, ReadEveryWifiInterfaceThenTheWiredHosts) {
  DeviceOps saved = RouterDeviceOps;
  RouterDeviceOps.GetWlanHostDataUsageStats = FakeWlanHostStats;
  RouterDeviceOps.GetEthHostDataUsageStats = FakeEthHostStats;
  RouterDeviceOps.GetInterfaceStats = FakeInterfaceStats;
  ClearWlanInfo();
  WlanInfoEntry e{};
  CopyField(e.ifname, "wlan0");
  StoreWlanInfoEntry(0, e);
  CopyField(e.ifname, "wlan1");
  StoreWlanInfoEntry(1, e);
  InitClientDataUsageDB();
  InitIfDataUsageDB();
  gScript = {};
  gScript.ethRx = 1000;
  gScript.ethTx = 2000;

  EXPECT_EQ(GetClientDataUsageWorker(), 0);
  EXPECT_EQ(GetIfDataUsageWorker(), 0);
  EXPECT_EQ(gScript.wlanCalls, 2);
  EXPECT_EQ(ClientDataUsageDB().size(), 2u);
  gScript.ethRx = 1500;
  gScript.ethTx = 2600;
  EXPECT_EQ(GetClientDataUsageWorker(), 0);
  EXPECT_EQ(GetIfDataUsageWorker(), 0);
  EXPECT_EQ(ClientDataUsageDB().Find("02:00:00:00:00:bb")->deltaRx, 500u);
  EXPECT_EQ(ClientDataUsageDB().Find("02:00:00:00:00:bb")->deltaTx, 600u);
  EXPECT_EQ(ClientDataUsageDB().Find("02:00:00:00:00:aa")->deltaRx, 100u);
  EXPECT_EQ(IfDataUsageDB().Find("nas0_0")->deltaTx, 1200u);

  // A failed wired read ends the pass; the Wi-Fi readings before it still count.
  ClientDataUsageDB().Commit(ClientDataUsageDB().Snapshot(60));
  gScript.failEth = true;
  EXPECT_EQ(GetClientDataUsageWorker(), -1);
  EXPECT_EQ(ClientDataUsageDB().Find("02:00:00:00:00:aa")->deltaRx, 100u);
  EXPECT_EQ(ClientDataUsageDB().Find("02:00:00:00:00:bb")->deltaRx, 0u);
  EXPECT_FALSE(ClientDataUsageDB().Find("02:00:00:00:00:bb")->refreshed);
  RouterDeviceOps = saved;
  ClearWlanInfo();
}

}  // namespace
