#include "filter/profile_builder.h"

#include <mutex>

#include "platform/device_ops.h"

namespace zctest {

ProfileBuilder::ProfileBuilder(std::string transid)
    : msg_(zc::pb::Make<Zun__Config__DNSPROFILE>()),
      pause_(zc::pb::Make<Zun__Config__SCHEDULEDPAUSE>()) {
  msg_.transid = Keep(std::move(transid));
}

char* ProfileBuilder::Keep(std::string s) {
  strings_.push_back(std::move(s));
  return strings_.back().data();
}

ProfileBuilder& ProfileBuilder::Mac(std::string mac) {
  macs_.push_back(Keep(std::move(mac)));
  return *this;
}

ProfileBuilder& ProfileBuilder::Url(std::string url, int type) {
  urls_.push_back(zc::pb::Make<Zun__Config__URLENTRY>());
  urls_.back().url = Keep(std::move(url));
  urls_.back().type = type;
  urlPtrs_.push_back(&urls_.back());
  return *this;
}

ProfileBuilder& ProfileBuilder::App(std::string name, int type) {
  apps_.push_back(zc::pb::Make<Zun__Config__APPENTRY>());
  apps_.back().app_name = Keep(std::move(name));
  apps_.back().type = type;
  appPtrs_.push_back(&apps_.back());
  return *this;
}

ProfileBuilder& ProfileBuilder::Category(int id, std::string name) {
  cats_.push_back(zc::pb::Make<Zun__Config__CATEGORYENTRY>());
  cats_.back().category_id = id;
  if (!name.empty()) cats_.back().category_name = Keep(std::move(name));
  catPtrs_.push_back(&cats_.back());
  return *this;
}

ProfileBuilder& ProfileBuilder::Parental(int level) {
  msg_.has_parental_control = 1;
  msg_.parental_control = level;
  return *this;
}

ProfileBuilder& ProfileBuilder::SafeSearch(bool on) {
  msg_.has_safe_search = 1;
  msg_.safe_search = on;
  return *this;
}

ProfileBuilder& ProfileBuilder::Adblock(bool on) {
  msg_.has_adblock = 1;
  msg_.adblock = on;
  return *this;
}

ProfileBuilder& ProfileBuilder::InternetSec(bool on) {
  msg_.has_internet_sec = 1;
  msg_.internet_sec = on;
  return *this;
}

ProfileBuilder& ProfileBuilder::Delete() {
  msg_.has_is_delete = 1;
  msg_.is_delete = 1;
  return *this;
}

ProfileBuilder& ProfileBuilder::Pause(int action, bool withMessage) {
  msg_.has_scheduled_pause = 1;
  pause_.action = action;
  pause_.start_time = Keep("00:00");
  pause_.end_time = Keep("23:59");
  msg_.scheduled_pause = withMessage ? &pause_ : nullptr;
  return *this;
}

const Zun__Config__DNSPROFILE* ProfileBuilder::Build() {
  msg_.n_client_mac = macs_.size();
  msg_.client_mac = macs_.data();
  msg_.n_urlentry = urlPtrs_.size();
  msg_.urlentry = urlPtrs_.data();
  msg_.n_appentry = appPtrs_.size();
  msg_.appentry = appPtrs_.data();
  msg_.n_category_entry = catPtrs_.size();
  msg_.category_entry = catPtrs_.data();
  return &msg_;
}

void InstallQuietStationOps() {
  // Once: the re-initialisation worker of an earlier test may still be reading the slots.
  static std::once_flag once;
  std::call_once(once, [] {
    RouterDeviceOps.BlockStation = [](const char*) { return 0; };
    RouterDeviceOps.DisconnectStation = [](const char*) { return 0; };
    RouterDeviceOps.UnblockStation = [](const char*) { return 0; };
  });
}

}  // namespace zctest
