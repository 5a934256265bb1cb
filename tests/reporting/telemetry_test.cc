// The telemetry message as built from one pass, the clamped periods, and the bounded
// blocked-lookup list.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "event/report_common.h"
#include "proto/messages.h"
#include "telemetry/telemetry_build.h"
#include "telemetry/url_content_filter.h"

namespace {

using zc::telemetry::PassData;
using Message = zc::pb::Unpacked<Zun__Telemetry__Telemetry>;

Message Decode(const std::vector<uint8_t>& packed) {
  return zc::pb::Unpack<Zun__Telemetry__Telemetry>(packed.data(), packed.size());
}

zc::report::Identity Id() {
  return {"2025-03-01T12:00:00.000Z", "02:5A:00:00:00:01", "zt.dll.x", "sub-0001"};
}

TEST(TelemetryMessage, SectionsFromOnePass) {
  PassData p;
  p.system = {3600, 2, 17, 249856, 98304};
  CopyField(p.pon.vendorName, "ZSIMOPT");
  CopyField(p.pon.partNumber, "NA");
  p.pon.rxPower = -18.5f;
  zc::usage::UsageEntry wan;
  wan.key = wan.connName = "nas0_0";
  wan.connType = 2;
  wan.deltaRx = 1000;
  wan.deltaTx = 2000;
  p.interfaces = {wan};
  zc::usage::UsageEntry client;
  client.key = "02:5a:00:00:00:17";
  client.ip = "192.168.1.23";
  client.connType = 3;
  client.connName = "wlan0";
  client.deltaRx = 111;  // router received from the client
  client.deltaTx = 999;  // router sent to the client
  p.clients = {client};
  StationRecord st{};
  CopyField(st.mac, "02:5a:00:00:00:17");
  st.rssi = -40;
  st.txBytes = 5;
  StationRecord* stations[] = {&st};
  CopyField(p.wlan[1].ifname, "wlan1");
  CopyField(p.wlan[1].ssid, "Home-5");
  p.wlan[1].active = 1;
  p.wlan[1].band = 2;
  p.wlan[1].security = 99;  // not in the schema
  for (int k = 0; k < kWlanCounterCount; ++k) p.wlan[1].counters[k] = 100 + k;
  p.wlan[1].stations = stations;
  p.wlan[1].stationCount = 1;
  CopyField(p.wlan[0].ifname, "wlan0");  // inactive: no Wlan
  EthClientRecord ec{};
  CopyField(ec.mac, "02:5a:00:00:00:18");
  CopyField(ec.ip, "192.168.1.24");
  p.portCount = 2;
  p.ports[0].linkState = 2;
  p.ports[0].duplex = 3;
  p.ports[0].clients = &ec;
  p.ports[1].linkState = 1;

  Message t = Decode(zc::telemetry::PackTelemetry(Id(), p));
  ASSERT_TRUE(t);
  EXPECT_STREQ(t->deviceid, "02:5A:00:00:00:01");
  EXPECT_EQ(t->userdata, nullptr);  // no userData key: field absent
  EXPECT_EQ(t->apinfo->uptime, 3600u);
  EXPECT_EQ(t->apinfo->mem->free, 98304u);
  EXPECT_EQ(t->apinfo->cpu->cpupercentage, 17u);
  EXPECT_FLOAT_EQ(t->apinfo->ponstats->rxpower, -18.5f);
  ASSERT_EQ(t->apinfo->n_ifstats, 1u);
  EXPECT_EQ(t->apinfo->ifstats[0]->rxbytes, 1000u);
  EXPECT_EQ(t->apinfo->ifstats[0]->conntype, 2);
  ASSERT_EQ(t->apinfo->n_datausage, 1u);
  EXPECT_EQ(t->apinfo->datausage[0]->rxbytes, 999u);  // the client's view
  EXPECT_EQ(t->apinfo->datausage[0]->txbytes, 111u);
  ASSERT_EQ(t->n_wlans, 1u);
  const auto* w = t->wlans[0];
  EXPECT_STREQ(w->ifname, "wlan1");
  EXPECT_EQ(w->band, 2);
  EXPECT_EQ(w->security, 0);
  EXPECT_EQ(w->ssidstat->ssidbytessent, 100u);
  EXPECT_EQ(w->ssidstat->ssidpacketsreceived, 103u);
  EXPECT_TRUE(w->ssidstat->has_ssidunknownpacketsreceived);
  EXPECT_EQ(w->ssidstat->ssidunknownpacketsreceived, 120u);
  ASSERT_EQ(w->n_assocresults, 1u);
  EXPECT_EQ(w->assocresults[0]->rssi, -40);
  EXPECT_EQ(w->assocresults[0]->tx->totalbytes, 5u);
  ASSERT_EQ(t->n_ethports, 2u);
  EXPECT_EQ(t->ethports[0]->ethstate, 2);
  EXPECT_EQ(t->ethports[0]->ethmode, 3);
  ASSERT_EQ(t->ethports[0]->n_ethclients, 1u);
  EXPECT_STREQ(t->ethports[0]->ethclients[0]->ip, "192.168.1.24");
  EXPECT_EQ(t->ethports[1]->n_ethclients, 0u);
  ASSERT_NE(t->filterstats, nullptr);  // present even when empty
  EXPECT_EQ(t->filterstats->n_fstats, 0u);

  p.userData = "tenant-7";
  t = Decode(zc::telemetry::PackTelemetry(Id(), p));
  EXPECT_STREQ(t->userdata, "tenant-7");
}

TEST(TelemetryMessage, FullMessageStaysFarBelowThePayloadLimit) {
  PassData p;
  for (size_t i = 0; i < zc::usage::kClientSnapshotMax; ++i) {
    zc::usage::UsageEntry e;
    char mac[18];
    snprintf(mac, sizeof mac, "02:5a:00:00:01:%02zx", i);
    e.key = mac;
    e.ip = "192.168.100.200";
    e.connName = std::string(63, 'c');
    e.deltaRx = e.deltaTx = ~0ull;
    p.clients.push_back(e);
  }
  for (size_t i = 0; i < zc::usage::kIfSnapshotMax; ++i) {
    zc::usage::UsageEntry e;
    e.key = e.connName = std::string(63, 'a' + static_cast<char>(i));
    e.deltaRx = e.deltaTx = ~0ull;
    p.interfaces.push_back(e);
  }
  std::vector<StationRecord> st(64);
  std::vector<StationRecord*> stp;
  for (auto& s : st) {
    CopyField(s.mac, "02:5a:00:00:02:00");
    CopyField(s.ip, "192.168.100.200");
    stp.push_back(&s);
  }
  for (auto& w : p.wlan) {
    w.active = 1;
    CopyField(w.ssid, std::string(32, 's').c_str());
    w.stations = stp.data();
    w.stationCount = static_cast<uint32_t>(stp.size());
  }
  UrlContentFilter b;
  b.cmac = std::string(17, 'm');
  b.url = std::string(255, 'u');
  b.time = "2025-03-01T12:00:00.000Z";
  b.app_name = std::string(127, 'a');
  p.blocked.assign(1000, b);  // more than one message carries

  auto start = std::chrono::steady_clock::now();
  auto packed = zc::telemetry::PackTelemetry(Id(), p);
  auto took = std::chrono::steady_clock::now() - start;
  printf(
      "telemetry: 60 clients, 8 interfaces, 4x64 stations, %zu blocked lookups: %zu bytes, "
      "built in %lld us\n",
      zc::telemetry::kMaxFilterStatsPerMessage, packed.size(),
      static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(took).count()));
  EXPECT_LT(packed.size(), 1024u * 1024u / 4);  // a quarter of the default 1 MB limit
  Message t = Decode(packed);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->filterstats->n_fstats, zc::telemetry::kMaxFilterStatsPerMessage);
}

TEST(BlockedLookups, ListIsBoundedAndDrainedOldestFirst) {
  zc::contentfilter::RemoveOldest(zc::contentfilter::kMaxRecords);
  uint64_t droppedBefore = zc::contentfilter::Dropped();
  for (int i = 0; i < 100000; ++i) {
    AddUrlContentFilter("02:5a:00:00:00:17", ("blocked" + std::to_string(i) + ".test").c_str(), 1,
                        0, nullptr);
  }
  auto all = zc::contentfilter::Snapshot(1u << 20);
  EXPECT_EQ(all.size(), zc::contentfilter::kMaxRecords);
  EXPECT_EQ(zc::contentfilter::Dropped() - droppedBefore, 100000u - zc::contentfilter::kMaxRecords);
  auto first = zc::contentfilter::Snapshot(zc::telemetry::kMaxFilterStatsPerMessage);
  ASSERT_EQ(first.size(), zc::telemetry::kMaxFilterStatsPerMessage);
  EXPECT_EQ(first.back().url, "blocked" + std::to_string(100000 - 1024) + ".test");
  // A record added while the message is built stays, even though the full list dropped one of
  // the records the message carries to make room for it.
  AddUrlContentFilter("02:5a:00:00:00:17", "late.test", 1, 0, nullptr);
  zc::contentfilter::RemoveThrough(first.front().seq);
  auto rest = zc::contentfilter::Snapshot(1u << 20);
  EXPECT_EQ(rest.size(), zc::contentfilter::kMaxRecords - first.size() + 1);
  EXPECT_EQ(rest.front().url, "late.test");
  EXPECT_EQ(rest.back().url, "blocked" + std::to_string(100000 - 1024 + 200) + ".test");
  zc::contentfilter::RemoveOldest(zc::contentfilter::kMaxRecords);
}

TEST(Periods, CloudValuesAreClamped) {
  using zc::report::ClampPeriodSeconds;
  EXPECT_EQ(ClampPeriodSeconds(std::nullopt, 50), 50);
  EXPECT_EQ(ClampPeriodSeconds("0", 50), 50);
  EXPECT_EQ(ClampPeriodSeconds("-7", 60), 60);
  EXPECT_EQ(ClampPeriodSeconds("abc", 60), 60);
  EXPECT_EQ(ClampPeriodSeconds("3", 50), 10);
  EXPECT_EQ(ClampPeriodSeconds("120", 50), 120);
  EXPECT_EQ(ClampPeriodSeconds("4294967296000", 50), 86400);
  EXPECT_EQ(ClampPeriodSeconds("99999999999999999999999", 50), 50);
  using zc::report::ClampRequestTimeoutMs;
  EXPECT_EQ(ClampRequestTimeoutMs("0"), zc::report::kDefaultRequestTimeoutMs);
  EXPECT_EQ(ClampRequestTimeoutMs("5000"), 5000);
  EXPECT_EQ(ClampRequestTimeoutMs("4294967295000"), zc::report::kMaxRequestTimeoutMs);
}

}  // namespace
