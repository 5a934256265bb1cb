// Events against a scripted platform: the snapshot until it is sent, one event per change,
// baselines that move only after delivery, and the message contents.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "event/event_reporter.h"
#include "proto/messages.h"

namespace {

using zc::event::EventReporter;
using Event = zc::pb::Unpacked<Zun__Event__APEvent>;

struct Router {
  int wanReads = 0;
  int failWanReads = 0;  // the first n WAN reads fail
  WanStatusRecord wan{};
  std::vector<WanInterfaceRecord> wanIfs;
  WlanInfoEntry wlan[kWlanInfoCount]{};
  LanConfigRecord lan{};
  ClientRecord nextClient{};
};
Router gRouter;

int PlatformInfo(PlatformInfoRecord* p) {
  CopyField(p->hardware, "ZSIM");
  CopyField(p->modelName, "GW1");
  CopyField(p->ponMode, "GPON");
  return 0;
}
int WanInfo(WanStatusRecord* w) {
  if (gRouter.wanReads++ < gRouter.failWanReads) return -1;
  *w = gRouter.wan;
  return 0;
}
int WanIfs(WanInterfaceRecord** list, uint8_t* count) {
  *count = static_cast<uint8_t>(gRouter.wanIfs.size());
  *list = static_cast<WanInterfaceRecord*>(std::calloc(gRouter.wanIfs.size() + 1, sizeof **list));
  for (size_t i = 0; i < gRouter.wanIfs.size(); ++i) (*list)[i] = gRouter.wanIfs[i];
  return 0;
}
int WlanInfo(int index, WlanInfoEntry* e) {
  *e = gRouter.wlan[index];
  return 0;
}
int Lan(LanConfigRecord* l) {
  *l = gRouter.lan;
  return 0;
}
int Client(ClientRecord* c) {
  *c = gRouter.nextClient;
  gRouter.nextClient = ClientRecord{};
  return 0;
}

class EventPass : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = RouterDeviceOps;
    RouterDeviceOps.EventPlatformInfoUpdate = PlatformInfo;
    RouterDeviceOps.EventWanInfoUpdate = WanInfo;
    RouterDeviceOps.GetWanInterfacesInfo = WanIfs;
    RouterDeviceOps.GetWlanInfo = WlanInfo;
    RouterDeviceOps.GetLanConfig = Lan;
    RouterDeviceOps.GetClientUpdate = Client;
    ClearWlanInfo();
    gRouter = Router{};
    gRouter.wan.proto = 2;
    CopyField(gRouter.wan.ifname, "nas0_0");
    CopyField(gRouter.wan.wanIpv4, "10.0.0.2");
    WanInterfaceRecord wi{};
    CopyField(wi.ifname, "nas0_0");
    CopyField(wi.mac, "02:5a:00:00:01:00");
    CopyField(wi.ipv4, "10.0.0.2");
    gRouter.wanIfs = {wi, wi};
    CopyField(gRouter.wanIfs[1].ifname, "nas0_1");
    const char* names[] = {"wlan0", "wlan1", "wlan0-vap0", "wlan0-vap1"};
    for (int i = 0; i < kWlanInfoCount; ++i) {
      CopyField(gRouter.wlan[i].ifname, names[i]);
      CopyField(gRouter.wlan[i].ssid, ("ssid" + std::to_string(i)).c_str());
      CopyField(gRouter.wlan[i].passphrase, "secret123");
      gRouter.wlan[i].active = i < 2;
    }
    CopyField(gRouter.lan.lanIpAddr, "192.168.1.1");
    CopyField(gRouter.lan.subnetMask, "255.255.255.0");
    gRouter.lan.dnsMode = 2;
    CopyField(gRouter.lan.dns1, "9.9.9.9");
    gRouter.lan.leaseTime = 86400;
  }
  void TearDown() override {
    RouterDeviceOps = saved_;
    ClearWlanInfo();
  }

  EventReporter Reporter() {
    return EventReporter(
        [this](const std::vector<uint8_t>& packed) {
          if (failSends_ > 0) {
            --failSends_;
            return -1;
          }
          sent_.push_back(zc::pb::Unpack<Zun__Event__APEvent>(packed.data(), packed.size()));
          EXPECT_TRUE(sent_.back()) << "event does not decode";
          return 0;
        },
        [this] { return publicIp_; });
  }

  DeviceOps saved_{};
  std::vector<Event> sent_;
  int failSends_ = 0;
  std::optional<std::string> publicIp_ = "127.0.0.1";
};

TEST_F(EventPass, SnapshotIsRetriedUntilSentThenSentOnce) {
  gRouter.failWanReads = 1;  // the WAN cannot be read on the first pass only
  EventReporter r = Reporter();
  r.Pass();
  EXPECT_TRUE(sent_.empty());
  EXPECT_FALSE(r.Reconciled());
  r.Pass();
  ASSERT_EQ(sent_.size(), 1u);
  r.Pass();
  r.Pass();
  ASSERT_EQ(sent_.size(), 1u);  // nothing changed since
  const auto& ev = *sent_[0];
  ASSERT_EQ(ev.payload_case, ZUN__EVENT__APEVENT__PAYLOAD_RECONCILE);
  const auto* rec = ev.reconcile;
  EXPECT_STREQ(rec->sysinfo->hardware, "ZSIM");
  EXPECT_STREQ(rec->sysinfo->ponmode, "GPON");
  EXPECT_EQ(rec->waninfo->proto, 2);
  EXPECT_STREQ(rec->waninfo->publicipv4, "127.0.0.1");
  EXPECT_STREQ(rec->waninfo->publicipv6, "NA");
  ASSERT_EQ(rec->waninfo->n_waninterface, 2u);
  EXPECT_STREQ(rec->waninfo->waninterface[1]->intname, "nas0_1");
  EXPECT_STREQ(rec->waninfo->waninterface[1]->mac, "02:5a:00:00:01:00");
  ASSERT_EQ(rec->wlaninfo->n_update, 4u);
  EXPECT_STREQ(rec->wlaninfo->update[3]->ifname, "wlan0-vap1");
  EXPECT_FALSE(rec->wlaninfo->update[3]->active);
  EXPECT_STREQ(rec->laninfo->transid, "config_test");
  EXPECT_EQ(rec->laninfo->landnsinfo->landnsmode, 2);
  EXPECT_EQ(rec->laninfo->landnsinfo->primarydnsserver, nullptr);  // dynamic: mode only
  EXPECT_EQ(rec->laninfo->landhcpinfo->leasetime, 86400u);
}

TEST_F(EventPass, EachChangeIsSentOnceAndAFailedSendIsRepeated) {
  EventReporter r = Reporter();
  r.Pass();
  ASSERT_EQ(sent_.size(), 1u);

  // A new client.
  CopyField(gRouter.nextClient.mac, "02:5a:00:00:00:17");
  CopyField(gRouter.nextClient.ip, "192.168.1.23");
  CopyField(gRouter.nextClient.hostName, "laptop");
  gRouter.nextClient.ipAssignment = 2;
  gRouter.nextClient.osType = 9;  // platform codes the schema does not know go out as "other"
  gRouter.nextClient.deviceType = 7;
  r.Pass();
  ASSERT_EQ(sent_.size(), 2u);
  ASSERT_EQ(sent_[1]->payload_case, ZUN__EVENT__APEVENT__PAYLOAD_CLIENT_INFO);
  EXPECT_STREQ(sent_[1]->clientinfo->cmac, "02:5a:00:00:00:17");
  EXPECT_STREQ(sent_[1]->clientinfo->expiry, "new");
  EXPECT_EQ(sent_[1]->clientinfo->type, 2);
  EXPECT_EQ(sent_[1]->clientinfo->ostype, ZUN__EVENT__CLIENT_INFO__OS__OS_OTHER);
  EXPECT_EQ(sent_[1]->clientinfo->devicetype, 0);

  // Only the public address changes; the first send fails, the next pass sends it.
  publicIp_ = "2001:db8::7";
  failSends_ = 1;
  r.Pass();
  ASSERT_EQ(sent_.size(), 2u);
  r.Pass();
  ASSERT_EQ(sent_.size(), 3u);
  ASSERT_EQ(sent_[2]->payload_case, ZUN__EVENT__APEVENT__PAYLOAD_WAN_INFO);
  EXPECT_STREQ(sent_[2]->waninfo->publicipv4, "NA");
  EXPECT_STREQ(sent_[2]->waninfo->publicipv6, "2001:db8::7");
  r.Pass();
  EXPECT_EQ(sent_.size(), 3u);

  // The SSID of index 2 changes in the shared table: one event with all four entries.
  auto e = *GetWlanInfoEntry(2);
  CopyField(e.ssid, "Guest-new");
  StoreWlanInfoEntry(2, e);
  r.Pass();
  ASSERT_EQ(sent_.size(), 4u);
  ASSERT_EQ(sent_[3]->payload_case, ZUN__EVENT__APEVENT__PAYLOAD_WLAN_INFO);
  ASSERT_EQ(sent_[3]->wlaninfo->n_update, 4u);
  EXPECT_STREQ(sent_[3]->wlaninfo->update[2]->ssid, "Guest-new");
  EXPECT_STREQ(sent_[3]->wlaninfo->update[0]->ssid, "ssid0");

  // LAN to static DNS, and a WAN protocol the schema does not know.
  gRouter.lan.dnsMode = 1;
  gRouter.wan.proto = 9;
  r.Pass();
  ASSERT_EQ(sent_.size(), 6u);
  ASSERT_EQ(sent_[4]->payload_case, ZUN__EVENT__APEVENT__PAYLOAD_WAN_INFO);
  EXPECT_EQ(sent_[4]->waninfo->proto, 0);
  ASSERT_EQ(sent_[5]->payload_case, ZUN__EVENT__APEVENT__PAYLOAD_LANINFO);
  EXPECT_EQ(sent_[5]->laninfo->landnsinfo->landnsmode, 1);
  EXPECT_STREQ(sent_[5]->laninfo->landnsinfo->primarydnsserver, "9.9.9.9");
  r.Pass();
  EXPECT_EQ(sent_.size(), 6u);
}

TEST_F(EventPass, NoPublicAddressGivesNA) {
  publicIp_.reset();
  EventReporter r = Reporter();
  r.Pass();
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_STREQ(sent_[0]->reconcile->waninfo->publicipv4, "NA");
  EXPECT_STREQ(sent_[0]->reconcile->waninfo->publicipv6, "NA");
}

}  // namespace
