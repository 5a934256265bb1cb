#include "dns/filter/edge_decision.h"

namespace zc::filter {

Decision DecideAtOnce(const StationProfile* station, bool internetSecurity,
                      const std::string& domain) {
  Decision d;
  if (!station) {
    d.decision = internetSecurity ? kDecisionPending : kDecisionAllowed;
    return d;
  }
  int type = GetUrlType(domain.c_str(), station->urls);
  if (type == kListBlack) {
    d.decision = kDecisionBlacklist;
    d.records.push_back(BlockRecord{kReasonBlacklist, 0, "NA"});
    return d;
  }
  if (type == kListWhite) return d;
  bool nothingToCheck = station->parental_control == kParentalNone && !station->adblock &&
                        !station->app_filter && !station->safe_search && !internetSecurity;
  d.decision = nothingToCheck ? kDecisionAllowed : kDecisionPending;
  return d;
}

Decision DecideOnAnswer(const StationProfile* station, bool internetSecurity,
                        const EdgeAnswer& answer) {
  Decision d;
  std::string app = answer.app.substr(0, kMaxRecordAppName);
  if (station) {
    const AppItem* item = answer.app != "NA" ? GetApp(station->apps, answer.app) : nullptr;
    if (item) {
      // A listed application decides alone: categories and security are not consulted.
      if (item->type == kListBlack) {
        d.decision = kDecisionApp;
        uint32_t first = answer.categories.empty() ? 0 : answer.categories.front();
        d.records.push_back(BlockRecord{kReasonApp, first, app});
      }
      return d;
    }
    for (uint32_t id : answer.categories) {
      if (station->parental_control != kParentalNone && CheckCategory(station->pc_categories, id)) {
        d.decision = kDecisionParental;
        d.records.push_back(BlockRecord{kReasonParental, id, app});
        break;
      }
      if (CheckCategory(station->ad_categories, id)) {
        d.decision = kDecisionAdblock;
        d.records.push_back(BlockRecord{kReasonAdblock, id, app});
        break;
      }
    }
  }
  if (internetSecurity && answer.sec_category_id != 0) {
    d.decision = kDecisionIsec;
    d.records.push_back(BlockRecord{kReasonIsec, answer.sec_category_id, app});
  }
  return d;
}

}  // namespace zc::filter
