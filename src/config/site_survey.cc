// Site survey and channel optimisation: the platform does the radio work (one radio command at a
// time); here its results become SCANRESULTS, OPTIMIZEWIFI or ScanAndOptimizeWiFiResult, are
// checked by decoding the packed bytes, and are published. Platform codes outside an enum go out
// as the enum's 0 member, so proto2 peers never see unknown numbers.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/config.h"
#include "config/config_internal.h"
#include "config/config_keys.h"
#include "platform/device_ops.h"
#include "proto/pb.h"
#include "utils/kvp.h"
#include "utils/log.h"

namespace {

struct FreeDeleter {
  void operator()(NeighborApRecord* p) const { std::free(p); }
};
using RecordList = std::unique_ptr<NeighborApRecord, FreeDeleter>;

template <typename E>
E EnumOrZero(const ProtobufCEnumDescriptor& descriptor, uint32_t value) {
  if (value > INT32_MAX ||
      !protobuf_c_enum_descriptor_get_value(&descriptor, static_cast<int>(value))) {
    return static_cast<E>(0);
  }
  return static_cast<E>(value);
}

// Messages of one batch of records; their texts point into the records, which outlive them.
class NeighbourMessages {
 public:
  NeighbourMessages(const NeighborApRecord* records, size_t count) : entries_(count) {
    for (size_t i = 0; i < count; ++i) {
      entries_[i] = NeighbourMessage(records[i]);
      pointers_.push_back(&entries_[i]);
    }
  }
  size_t size() const { return pointers_.size(); }
  Zun__Wifiscan__NEIGHBORWLANINFO** data() {
    return pointers_.empty() ? nullptr : pointers_.data();
  }

 private:
  std::vector<Zun__Wifiscan__NEIGHBORWLANINFO> entries_;
  std::vector<Zun__Wifiscan__NEIGHBORWLANINFO*> pointers_;
};

void LogNeighbours(const char* prefix, size_t count, Zun__Wifiscan__NEIGHBORWLANINFO** list) {
  for (size_t i = 0; i < count; ++i) {
    const auto* n = list[i];
    LogOut(LL_INFO,
           "%sSSID: %s, BSSID: %s, Channel: %d, RSSI: %d, Beacon Period: %d, DTIM Period: %d ",
           prefix, n->ssid, n->bssid, static_cast<int>(n->channel), n->rssi,
           static_cast<int>(n->beaconperiod), static_cast<int>(n->dtimperiod));
  }
}

// 0, 1 when the subject key is missing (logged here), -1 when the publish failed.
int PublishOn(const char* subjectKey, const std::string& bytes, const char* who) {
  auto subject = GetUsableKVP(subjectKey);
  if (!subject || subject->empty()) {
    LogOut(LL_ERR, "%s: failed to get %s", who, subjectKey);
    return 1;
  }
  return ConfigNatsPublish(bytes.data(), bytes.size(), subject->c_str()) == 0 ? 0 : -1;
}

std::string Dll() {
  return GetStringKVPOr(configkeys::kLogicalLocation, "");
}

// Whether the radio commands' results may be published in this state (the idle state has no
// subject: the command is then answered with its failure text instead).
bool HasSubject(const char* key) {
  auto subject = GetUsableKVP(key);
  return subject && !subject->empty();
}

}  // namespace

Zun__Wifiscan__NEIGHBORWLANINFO NeighbourMessage(const NeighborApRecord& r) {
  Zun__Wifiscan__NEIGHBORWLANINFO m = ZUN__WIFISCAN__NEIGHBORWLANINFO__INIT;
  m.ssid = const_cast<char*>(r.ssid);
  m.bssid = const_cast<char*>(r.bssid);
  m.mode = EnumOrZero<Zun__Wifiscan__WlanIntMode>(zun__wifiscan__wlan_int_mode__descriptor, r.mode);
  m.channel = r.channel;
  m.rssi = r.rssi;
  m.noise = r.noise;
  m.beaconperiod = r.beaconPeriod;
  m.dtimperiod = r.dtimPeriod;
  m.standard = EnumOrZero<Zun__Wifiscan__WlanIntStandard>(
      zun__wifiscan__wlan_int_standard__descriptor, r.standard);
  m.band = EnumOrZero<Zun__Wifiscan__WlanIntFrequencyBand>(
      zun__wifiscan__wlan_int_frequency_band__descriptor, r.band);
  m.channelwidth = EnumOrZero<Zun__Wifiscan__WlanIntChannelWidth>(
      zun__wifiscan__wlan_int_channel_width__descriptor, r.channelWidth);
  m.securitymode = EnumOrZero<Zun__Wifiscan__WlanIntSecurityMode>(
      zun__wifiscan__wlan_int_security_mode__descriptor, r.security);
  m.encryptionmode = EnumOrZero<Zun__Wifiscan__WlanIntEncryptionMode>(
      zun__wifiscan__wlan_int_encryption_mode__descriptor, r.encryption);
  return m;
}

int SendSiteSurveyResults(const std::string& transid, NeighborApRecord* records, uint8_t count) {
  RecordList owner(records);
  NeighbourMessages list(records, records ? count : 0);
  std::string dll = Dll();
  Zun__Wifiscan__SCANRESULTS message = ZUN__WIFISCAN__SCANRESULTS__INIT;
  message.transactionid = const_cast<char*>(transid.c_str());
  message.dll = const_cast<char*>(dll.c_str());
  message.n_neighborinfo = list.size();
  message.neighborinfo = list.data();
  std::string bytes = zc::pb::PackToString(message);
  auto check = zc::pb::Unpack<Zun__Wifiscan__SCANRESULTS>(bytes.data(), bytes.size());
  if (!check) {
    LogOut(LL_ERR, "%s: error in unpacking site survey result protobuf message",
           "SendSiteSurveyResults");
    LogOut(LL_ERR, "%s:- Site Survey dump parse failed", "SendSiteSurveyResults");
    return -1;
  }
  LogOut(LL_INFO, "##############  Scan results  ####################");
  LogNeighbours("", check->n_neighborinfo, check->neighborinfo);
  int rc = PublishOn(configkeys::kSurveySubject, bytes, "SendSiteSurveyResults");
  if (rc < 0)
    LogOut(LL_ERR, "SendSiteSurveyResults: Unable to publish Site survey results  %d", rc);
  return rc == 0 ? 0 : -1;
}

int SendOptimizedChannel(const std::string& transid, uint8_t oldChannel, uint8_t newChannel) {
  std::string dll = Dll();
  Zun__Wifiscan__OPTIMIZEWIFI message = ZUN__WIFISCAN__OPTIMIZEWIFI__INIT;
  message.transactionid = const_cast<char*>(transid.c_str());
  message.oldchannel = oldChannel;
  message.newchannel = newChannel;
  message.dll = const_cast<char*>(dll.c_str());
  std::string bytes = zc::pb::PackToString(message);
  auto check = zc::pb::Unpack<Zun__Wifiscan__OPTIMIZEWIFI>(bytes.data(), bytes.size());
  if (!check) {
    LogOut(LL_ERR, "%s: error in unpacking optimize wifi result protobuf message",
           "SendOptimizedChannel");
    LogOut(LL_ERR, "%s:- Optimize wifi dump parse failed", "SendOptimizedChannel");
    return -1;
  }
  LogOut(LL_INFO, "Optimized channel old:%d new:%d", static_cast<int>(check->oldchannel),
         static_cast<int>(check->newchannel));
  int rc = PublishOn(configkeys::kOptimizeSubject, bytes, "SendOptimizedChannel");
  if (rc < 0) LogOut(LL_ERR, "SendOptimizedChannel: Unable to optimized channel result  %d", rc);
  return rc == 0 ? 0 : -1;
}

int SendSSAndOptimizedResults(const std::string& transid, NeighborApRecord* records, uint8_t count,
                              uint32_t scanStatus, uint8_t oldChannel, uint8_t newChannel,
                              uint32_t optimizeStatus) {
  static constexpr const char* kWho = "SendSSAndOptimizedResults";
  RecordList owner(records);
  NeighbourMessages list(records, scanStatus == 0 && records ? count : 0);
  Zun__Wifiscan__ScanAndOptimizeWiFiScanResult scan =
      ZUN__WIFISCAN__SCAN_AND_OPTIMIZE_WI_FI__SCAN_RESULT__INIT;
  if (scanStatus == 2) {
    scan.error = const_cast<char*>("Scan failure - driver");
  } else if (scanStatus != 0) {
    scan.error = const_cast<char*>("Scan failure - platform");
  } else {
    scan.n_neighborinfo = list.size();
    scan.neighborinfo = list.data();
  }
  Zun__Wifiscan__ScanAndOptimizeWiFiOptimizeResult optimize =
      ZUN__WIFISCAN__SCAN_AND_OPTIMIZE_WI_FI__OPTIMIZE_RESULT__INIT;
  if (optimizeStatus == 2) {
    optimize.error = const_cast<char*>("Optimize failure - driver");
  } else if (optimizeStatus != 0) {
    optimize.error = const_cast<char*>("Optimize failure - platform");
  } else {
    optimize.has_oldchannel = optimize.has_newchannel = 1;
    optimize.oldchannel = oldChannel;
    optimize.newchannel = newChannel;
  }
  std::string dll = Dll();
  Zun__Wifiscan__ScanAndOptimizeWiFiResult message =
      ZUN__WIFISCAN__SCAN_AND_OPTIMIZE_WI_FI_RESULT__INIT;
  message.transactionid = const_cast<char*>(transid.c_str());
  message.dll = const_cast<char*>(dll.c_str());
  message.scanresult = &scan;
  message.optimizeresult = &optimize;
  std::string bytes = zc::pb::PackToString(message);
  auto check = zc::pb::Unpack<Zun__Wifiscan__ScanAndOptimizeWiFiResult>(bytes.data(), bytes.size());
  if (!check || !check->scanresult || !check->optimizeresult) {
    LogOut(LL_ERR, "%s:- SacnOptimize wifi dump parse failed", kWho);
    return -1;
  }
  if (!check->scanresult->error) {
    LogOut(LL_INFO, "%s ##############  Scan results  ####################", kWho);
    LogNeighbours("", check->scanresult->n_neighborinfo, check->scanresult->neighborinfo);
  } else {
    LogOut(LL_INFO, "%s scan fail reason:%s", kWho, check->scanresult->error);
  }
  if (!check->optimizeresult->error) {
    LogOut(LL_INFO, "%s Optimized channel old:%d new:%d", kWho,
           static_cast<int>(check->optimizeresult->oldchannel),
           static_cast<int>(check->optimizeresult->newchannel));
  } else {
    LogOut(LL_INFO, "%s optimize fail reason:%s", kWho, check->optimizeresult->error);
  }
  int rc = PublishOn(configkeys::kScanOptimizeSubject, bytes, kWho);
  if (rc < 0) LogOut(LL_ERR, "%s: Unable to send the result  %d", kWho, rc);
  return rc == 0 ? 0 : -1;
}

void RunSiteSurvey(const std::string& transid, const std::string& data) {
  NeighborApRecord* records = nullptr;
  uint32_t count = 0;
  uint32_t error = 0;
  int rc = -1;
  if (HasSubject(configkeys::kSurveySubject) && RouterDeviceOps.GetNeighorAPDetails) {
    std::lock_guard radio(RadioCommandMutex());
    rc = RouterDeviceOps.GetNeighorAPDetails(&records, data.c_str(), &count, &error);
  }
  if (rc != 0) {
    std::free(records);
    LogOut(LL_ERR, "ExecuteCommand: Failed to initiate site survey!!!");
    ConfigResponse(transid.c_str(), "SITE_SURVEY_ERR_STATE");
    return;
  }
  ConfigResponse(transid.c_str(), "NA");
  SendSiteSurveyResults(transid, records, static_cast<uint8_t>(std::min<uint32_t>(count, 255)));
}

void RunOptimizeWifi(const std::string& transid, const std::string& data) {
  uint8_t oldChannel = 0, newChannel = 0;
  uint32_t error = 0;
  int rc = -1;
  if (HasSubject(configkeys::kOptimizeSubject) && RouterDeviceOps.OptimizeWifi) {
    std::lock_guard radio(RadioCommandMutex());
    rc = RouterDeviceOps.OptimizeWifi(data.c_str(), &oldChannel, &newChannel, &error);
  }
  if (rc != 0) {
    LogOut(LL_ERR, "ExecuteCommand: Failed to optimize wifi!!!");
    ConfigResponse(transid.c_str(), "OPTIMIZE_WIFI_ERR_STATE");
    return;
  }
  ConfigResponse(transid.c_str(), "NA");
  SendOptimizedChannel(transid, oldChannel, newChannel);
}

void RunScanAndOptimizeWifi(const std::string& transid, const std::string& data) {
  // Answered first in every case; the outcome travels in the published result.
  ConfigResponse(transid.c_str(), "NA");
  // Outputs start empty, so a platform that fails early leaves nothing undefined behind.
  NeighborApRecord* records = nullptr;
  uint32_t count = 0, scanError = 0, optimizeError = 0;
  uint8_t oldChannel = 0, newChannel = 0;
  {
    std::lock_guard radio(RadioCommandMutex());
    int scanRc =
        RouterDeviceOps.GetNeighorAPDetails
            ? RouterDeviceOps.GetNeighorAPDetails(&records, data.c_str(), &count, &scanError)
            : -1;
    // A failure without a reason is the platform's.
    if (scanRc != 0 && scanError == 0) scanError = 1;
    int optimizeRc =
        RouterDeviceOps.OptimizeWifi
            ? RouterDeviceOps.OptimizeWifi(data.c_str(), &oldChannel, &newChannel, &optimizeError)
            : -1;
    if (optimizeRc != 0 && optimizeError == 0) optimizeError = 1;
  }
  SendSSAndOptimizedResults(transid, records, static_cast<uint8_t>(std::min<uint32_t>(count, 255)),
                            scanError, oldChannel, newChannel, optimizeError);
}
