// Site survey and channel optimisation against a stand-in platform table: the published messages,
// codes outside the enums, and outputs a failing platform never wrote.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "config/config.h"
#include "config/config_internal.h"
#include "platform/device_ops.h"
#include "proto/pb.h"
#include "utils/kvp.h"

namespace {

std::mutex gMutex;
struct Sent {
  std::string subject, payload;
};
std::vector<Sent> gSent;
uint32_t gScanError = 0;      // nonzero: the scan fails with it, leaving the outputs untouched
uint32_t gOptimizeError = 0;  // likewise for the optimisation

NeighborApRecord Record(const char* ssid, const char* bssid, uint8_t channel, int8_t rssi) {
  NeighborApRecord r{};
  strncpy(r.ssid, ssid, sizeof r.ssid - 1);
  strncpy(r.bssid, bssid, sizeof r.bssid - 1);
  r.channel = channel;
  r.rssi = rssi;
  r.beaconPeriod = 100;
  r.dtimPeriod = 1;
  r.mode = 2;
  r.standard = 5;
  r.band = 1;
  r.security = 5;
  r.encryption = 2;
  r.channelWidth = 1;
  return r;
}

int FakeScan(NeighborApRecord** results, const char*, uint32_t* count, uint32_t* error) {
  if (gScanError) {
    *error = gScanError;
    return -1;
  }
  auto* r = static_cast<NeighborApRecord*>(calloc(2, sizeof(NeighborApRecord)));
  r[0] = Record("home", "001122334455", 6, -40);
  r[1] = Record("cafe", "66778899aabb", 11, -70);
  r[1].mode = 9;       // not a WlanIntMode
  r[1].standard = 99;  // not a WlanIntStandard
  *results = r;
  *count = 2;
  return 0;
}

int FakeOptimize(const char*, uint8_t* oldChannel, uint8_t* newChannel, uint32_t* error) {
  if (gOptimizeError) {
    *error = gOptimizeError;
    return -1;
  }
  *oldChannel = 1;
  *newChannel = 6;
  return 0;
}

class SurveyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetKVPForTest();
    SetStringKVP("device_mac_addr", "02:5A:00:00:00:01");
    SetStringKVP("logicalLocation", "zt.dll");
    SetStringKVP("nats.publishSubject.configResponse", "zt.configresp");
    SetStringKVP("nats.publishSubject.acs_survey", "zt.wifi.survey");
    SetStringKVP("nats.publishSubject.acs_optimize", "zt.wifi.optimize");
    SetStringKVP("nats.publishSubject.scan_and_optimize_wifi", "zt.wifi.scanopt");
    saved_ = RouterDeviceOps;
    RouterDeviceOps.GetNeighorAPDetails = FakeScan;
    RouterDeviceOps.OptimizeWifi = FakeOptimize;
    gScanError = gOptimizeError = 0;
    gSent.clear();
    SetConfigPublisherForTest([](const std::string& subject, const void* data, size_t n,
                                 const std::vector<ConfigHeader>&) {
      std::lock_guard lock(gMutex);
      gSent.push_back({subject, std::string(static_cast<const char*>(data), n)});
      return 0;
    });
  }
  void TearDown() override {
    SetConfigPublisherForTest(nullptr);
    RouterDeviceOps = saved_;
  }
  // err_msg of the answers, and the payloads on one subject.
  static std::vector<std::string> Answers() {
    std::vector<std::string> out;
    for (const Sent& s : gSent) {
      if (s.subject != "zt.configresp") continue;
      auto r = zc::pb::Unpack<Zun__Config__CONFIGRESP>(s.payload.data(), s.payload.size());
      out.push_back(r && r->err_msg ? r->err_msg : "?");
    }
    return out;
  }
  static std::vector<std::string> On(const std::string& subject) {
    std::vector<std::string> out;
    for (const Sent& s : gSent) {
      if (s.subject == subject) out.push_back(s.payload);
    }
    return out;
  }
  DeviceOps saved_{};
};

TEST_F(SurveyTest, PlatformCodesOutsideAnEnumBecomeItsZeroMember) {
  NeighborApRecord r = Record("x", "001122334455", 3, -50);
  r.mode = 9;
  r.band = 7;
  r.channelWidth = 0xffffffffu;
  r.security = 12;
  r.encryption = 4;
  Zun__Wifiscan__NEIGHBORWLANINFO m = NeighbourMessage(r);
  EXPECT_EQ(m.mode, ZUN__WIFISCAN__WLAN_INT_MODE__UNDEFINED_WlanMODE);
  EXPECT_EQ(m.band, ZUN__WIFISCAN__WLAN_INT_FREQUENCY_BAND__UNDEFINED_Band);
  EXPECT_EQ(m.channelwidth, ZUN__WIFISCAN__WLAN_INT_CHANNEL_WIDTH__CHANNEL_UNDEFINED);
  EXPECT_EQ(m.securitymode, ZUN__WIFISCAN__WLAN_INT_SECURITY_MODE__UNDEFINED_Security);
  EXPECT_EQ(m.encryptionmode, ZUN__WIFISCAN__WLAN_INT_ENCRYPTION_MODE__UNDEFINED_Encryption);
  EXPECT_EQ(m.standard, ZUN__WIFISCAN__WLAN_INT_STANDARD__STD_11N);
  r.standard = 11;
  r.security = 11;
  EXPECT_EQ(NeighbourMessage(r).standard, ZUN__WIFISCAN__WLAN_INT_STANDARD__STD_11ANAC);
  EXPECT_EQ(NeighbourMessage(r).securitymode,
            ZUN__WIFISCAN__WLAN_INT_SECURITY_MODE__WIFI_SECURITY_WPA2_WPA3_Personal);
}

TEST_F(SurveyTest, SurveyAnswersThenPublishesEveryNeighbour) {
  RunSiteSurvey("ss1", "wlan0");
  EXPECT_EQ(Answers(), std::vector<std::string>{"NA"});
  std::vector<std::string> sent = On("zt.wifi.survey");
  ASSERT_EQ(sent.size(), 1u);
  auto m = zc::pb::Unpack<Zun__Wifiscan__SCANRESULTS>(sent[0].data(), sent[0].size());
  ASSERT_TRUE(m);
  EXPECT_STREQ(m->transactionid, "ss1");
  EXPECT_STREQ(m->dll, "zt.dll");
  ASSERT_EQ(m->n_neighborinfo, 2u);
  EXPECT_STREQ(m->neighborinfo[0]->ssid, "home");
  EXPECT_STREQ(m->neighborinfo[0]->bssid, "001122334455");
  EXPECT_EQ(m->neighborinfo[0]->channel, 6u);
  EXPECT_EQ(m->neighborinfo[0]->rssi, -40);
  EXPECT_EQ(m->neighborinfo[0]->mode, ZUN__WIFISCAN__WLAN_INT_MODE__INFRASTRUCTURE);
  EXPECT_EQ(m->neighborinfo[1]->mode, ZUN__WIFISCAN__WLAN_INT_MODE__UNDEFINED_WlanMODE);
  EXPECT_EQ(m->neighborinfo[1]->standard, ZUN__WIFISCAN__WLAN_INT_STANDARD__STD_UNDEFINED);
}

TEST_F(SurveyTest, FailuresAndMissingSubjectsAnswerTheirErrorText) {
  gScanError = 2;
  gOptimizeError = 1;
  RunSiteSurvey("ss1", "wlan0");
  RunOptimizeWifi("ow1", "wlan0");
  gScanError = gOptimizeError = 0;
  RemoveKVP("nats.publishSubject.acs_survey");
  SetStringKVP("nats.publishSubject.acs_optimize", "");
  RunSiteSurvey("ss2", "wlan0");
  RunOptimizeWifi("ow2", "wlan0");
  EXPECT_EQ(Answers(),
            (std::vector<std::string>{"SITE_SURVEY_ERR_STATE", "OPTIMIZE_WIFI_ERR_STATE",
                                      "SITE_SURVEY_ERR_STATE", "OPTIMIZE_WIFI_ERR_STATE"}));
  EXPECT_TRUE(On("zt.wifi.survey").empty());
  EXPECT_TRUE(On("zt.wifi.optimize").empty());
}

TEST_F(SurveyTest, OptimisationPublishesBothChannels) {
  RunOptimizeWifi("ow1", "wlan0");
  EXPECT_EQ(Answers(), std::vector<std::string>{"NA"});
  std::vector<std::string> sent = On("zt.wifi.optimize");
  ASSERT_EQ(sent.size(), 1u);
  auto m = zc::pb::Unpack<Zun__Wifiscan__OPTIMIZEWIFI>(sent[0].data(), sent[0].size());
  ASSERT_TRUE(m);
  EXPECT_EQ(m->oldchannel, 1u);
  EXPECT_EQ(m->newchannel, 6u);
}

TEST_F(SurveyTest, CombinedResultCarriesAFailedScanBesideTheChannels) {
  gScanError = 1;  // the platform fails before writing any output
  RunScanAndOptimizeWifi("so1", "wlan0");
  gScanError = 0;
  gOptimizeError = 2;
  RunScanAndOptimizeWifi("so2", "wlan0");
  EXPECT_EQ(Answers(), (std::vector<std::string>{"NA", "NA"}));
  std::vector<std::string> sent = On("zt.wifi.scanopt");
  ASSERT_EQ(sent.size(), 2u);
  auto a = zc::pb::Unpack<Zun__Wifiscan__ScanAndOptimizeWiFiResult>(sent[0].data(), sent[0].size());
  ASSERT_TRUE(a && a->scanresult && a->optimizeresult);
  EXPECT_STREQ(a->scanresult->error, "Scan failure - platform");
  EXPECT_EQ(a->scanresult->n_neighborinfo, 0u);
  EXPECT_EQ(a->optimizeresult->error, nullptr);
  EXPECT_EQ(a->optimizeresult->oldchannel, 1u);
  EXPECT_EQ(a->optimizeresult->newchannel, 6u);
  auto b = zc::pb::Unpack<Zun__Wifiscan__ScanAndOptimizeWiFiResult>(sent[1].data(), sent[1].size());
  ASSERT_TRUE(b && b->scanresult && b->optimizeresult);
  EXPECT_EQ(b->scanresult->error, nullptr);
  EXPECT_EQ(b->scanresult->n_neighborinfo, 2u);
  EXPECT_STREQ(b->optimizeresult->error, "Optimize failure - driver");
  EXPECT_FALSE(b->optimizeresult->has_oldchannel);
}

TEST_F(SurveyTest, ZeroNeighboursPublishAnEmptyList) {
  EXPECT_EQ(SendSiteSurveyResults("ss0", nullptr, 0), 0);
  std::vector<std::string> sent = On("zt.wifi.survey");
  ASSERT_EQ(sent.size(), 1u);
  auto m = zc::pb::Unpack<Zun__Wifiscan__SCANRESULTS>(sent[0].data(), sent[0].size());
  ASSERT_TRUE(m);
  EXPECT_EQ(m->n_neighborinfo, 0u);
}

}  // namespace
