// Commands whose features are not part of this build yet: the speed test, the CLI debug channel,
// site survey and channel optimisation. Each answers as the command does when its feature cannot
// run, so the cloud never waits for an answer that will not come.
#include <mutex>
#include <string>

#include "config/config.h"
#include "config/config_internal.h"
#include "utils/log.h"

void StartSpeedTest(const std::string& transid) {
  LogOut(LL_ERR, "%s: speed test not built in", "ExecuteCommand");
  ConfigResponse(transid.c_str(), "speedtest pthread creation fail");
}

void StartCliDebug(const std::string&, const std::string&) {
  // As when the channel's thread cannot start: logged, no answer.
  LogOut(LL_CRIT, "%s: CLI debug channel not built in", "ExecuteCommand");
}

void RunSiteSurvey(const std::string& transid, const std::string&) {
  std::lock_guard radio(RadioCommandMutex());
  LogOut(LL_ERR, "ExecuteCommand: Failed to initiate site survey!!! (site survey not built in)");
  ConfigResponse(transid.c_str(), "SITE_SURVEY_ERR_STATE");
}

void RunOptimizeWifi(const std::string& transid, const std::string&) {
  std::lock_guard radio(RadioCommandMutex());
  LogOut(LL_ERR, "ExecuteCommand: Failed to optimize wifi!!! (channel optimisation not built in)");
  ConfigResponse(transid.c_str(), "OPTIMIZE_WIFI_ERR_STATE");
}

void RunScanAndOptimizeWifi(const std::string& transid, const std::string&) {
  // Answered first in every case; the outcome would travel in the published result.
  ConfigResponse(transid.c_str(), "NA");
  std::lock_guard radio(RadioCommandMutex());
  LogOut(LL_ERR, "%s: scan and optimise not built in", "ExecuteCommand");
}
