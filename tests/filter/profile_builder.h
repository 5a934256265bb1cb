// Builds DNSPROFILE messages for tests: owns every string and sub-message it points to.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "proto/messages.h"

namespace zctest {

class ProfileBuilder {
 public:
  explicit ProfileBuilder(std::string transid = "t-1");
  ProfileBuilder& Mac(std::string mac);
  ProfileBuilder& Url(std::string url, int type);
  ProfileBuilder& App(std::string name, int type);
  ProfileBuilder& Category(int id, std::string name = "");
  ProfileBuilder& Parental(int level);
  ProfileBuilder& SafeSearch(bool on);
  ProfileBuilder& Adblock(bool on);
  ProfileBuilder& InternetSec(bool on);
  ProfileBuilder& Delete();
  // action 1 pause, 0 play; without a pause message when `withMessage` is false.
  ProfileBuilder& Pause(int action, bool withMessage = true);
  const Zun__Config__DNSPROFILE* Build();

 private:
  Zun__Config__DNSPROFILE msg_;
  std::deque<std::string> strings_;
  std::vector<char*> macs_;
  std::deque<Zun__Config__URLENTRY> urls_;
  std::vector<Zun__Config__URLENTRY*> urlPtrs_;
  std::deque<Zun__Config__APPENTRY> apps_;
  std::vector<Zun__Config__APPENTRY*> appPtrs_;
  std::deque<Zun__Config__CATEGORYENTRY> cats_;
  std::vector<Zun__Config__CATEGORYENTRY*> catPtrs_;
  Zun__Config__SCHEDULEDPAUSE pause_;
  char* Keep(std::string s);
};

// Station re-initialisation (block, disconnect, unblock) after a profile change goes to no-op
// platform slots, so profile tests never reach a real station.
void InstallQuietStationOps();

}  // namespace zctest
