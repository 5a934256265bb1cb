// The filtering decision as pure functions of a station's settings: at once from the URL list, or
// from the edge's classification. Callers hold ProfileLock while these read the station.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/profileutils.h"

namespace zc::filter {

// FilterDecision values.
inline constexpr int kDecisionPending = -1;
inline constexpr int kDecisionAllowed = 1;
inline constexpr int kDecisionBlacklist = 3;
inline constexpr int kDecisionIsec = 4;
inline constexpr int kDecisionParental = 5;
inline constexpr int kDecisionAdblock = 6;
inline constexpr int kDecisionApp = 7;

// ContentFilterStats.BlockedReason values.
inline constexpr int kReasonBlacklist = 1;
inline constexpr int kReasonIsec = 2;
inline constexpr int kReasonParental = 3;
inline constexpr int kReasonAdblock = 4;
inline constexpr int kReasonApp = 5;

inline constexpr size_t kMaxRecordAppName = 127;

struct BlockRecord {
  int reason = 0;
  uint32_t category_id = 0;
  std::string app_name = "NA";
};

struct Decision {
  int decision = kDecisionAllowed;  // kDecisionPending: ask the edge
  std::vector<BlockRecord> records;
};

// Before any classification: the URL list decides, a station with nothing to check is allowed,
// everything else (including a station with only safe search on) waits for the edge.
Decision DecideAtOnce(const StationProfile* station, bool internetSecurity,
                      const std::string& domain);

struct EdgeAnswer {
  std::vector<uint32_t> categories;
  uint32_t sec_category_id = 0;
  std::string app = "NA";
};

// On a classification: application list, then categories (first hit), then internet security.
Decision DecideOnAnswer(const StationProfile* station, bool internetSecurity,
                        const EdgeAnswer& answer);

}  // namespace zc::filter
