// Shared platform state under concurrent use: the Wi-Fi table (written by telemetry and the Wi-Fi
// configuration code, read by events) and the client list (event thread vs telemetry lookups).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/device_ops.h"
#include "platform/realtek/rtl_internal.h"
#include "sim/sim_router.h"
#include "support/requires.h"

namespace {

using zctest::SimRouter;

WlanInfoEntry Entry(char fill) {
  WlanInfoEntry e{};
  std::memset(e.ssid, fill, kSsidMaxLen);  // full-length SSID
  std::memset(e.passphrase, fill, 63);
  std::snprintf(e.ifname, sizeof e.ifname, "wlan0");
  e.channel = static_cast<uint8_t>(fill);
  return e;
}

// Readers never see half of one write and half of another.
TEST(SharedWlanTable, CopiesAreNeverTorn) {
  ClearWlanInfo();
  const WlanInfoEntry a = Entry('A'), b = Entry('B');
  std::atomic<bool> stop{false};
  std::atomic<long> torn{0}, reads{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < 2; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; !stop; ++i) StoreWlanInfoEntry(1, (i + w) % 2 ? a : b);
    });
  }
  StoreWlanInfoEntry(1, a);
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        WlanInfoEntry all[kWlanInfoCount];
        CopyWlanInfo(all);
        auto one = GetWlanInfoEntry(1);
        for (const WlanInfoEntry* e : {&all[1], &*one}) {
          if (e->ifname[0] == 0) continue;
          char c = e->ssid[0];
          bool same = e->channel == static_cast<uint8_t>(c) && e->ssid[kSsidMaxLen] == 0 &&
                      std::strlen(e->ssid) == kSsidMaxLen && e->passphrase[62] == c &&
                      FindWlanInfoIndex("wlan0") >= 0;
          if (!same) ++torn;
          ++reads;
        }
      }
    });
  }
  threads[2].join();
  threads[3].join();
  stop = true;
  threads[0].join();
  threads[1].join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(GetWlanInfoEntry(1)->stations, nullptr);
}

// The event thread updates the list while telemetry looks clients up by MAC.
TEST(SharedClientList, LookupsDuringUpdates) {
  if (!SimRouter::HaveRouterNetns()) ZC_MISSING() << "no router namespace";
  SimRouter sim;
  ASSERT_EQ(InitDeviceOps(&RouterDeviceOps), 0);
  rtl::ResetClientList();
  for (int i = 0; i < 6; ++i) {
    char mac[18], ip[16];
    std::snprintf(mac, sizeof mac, "02:5d:00:00:00:%02x", i);
    std::snprintf(ip, sizeof ip, "192.168.1.%d", 60 + i);
    sim.Run({"ip", "neigh", "replace", ip, "lladdr", mac, "dev", "br0", "nud", "reachable"});
  }
  std::atomic<bool> stop{false};
  std::atomic<long> found{0};
  std::thread reader([&] {
    while (!stop) {
      for (int i = 0; i < 6; ++i) {
        char mac[18];
        std::snprintf(mac, sizeof mac, "02:5D:00:00:00:%02X", i);
        if (auto c = rtl::FindClientCopy(mac, nullptr)) found += c->ip[0] == '1';
      }
      auto onPort = rtl::ClientsOnPort("NA");
      (void)onPort;
    }
  });
  for (int pass = 0; pass < 8; ++pass) {
    ClientRecord r{};
    EXPECT_EQ(RouterDeviceOps.GetClientUpdate(&r), 0);
  }
  stop = true;
  reader.join();
  EXPECT_EQ(rtl::ClientListSize(), 6u);
  EXPECT_GT(found.load(), 0);
  sim.Run({"ip", "neigh", "flush", "dev", "br0"});
}

}  // namespace
