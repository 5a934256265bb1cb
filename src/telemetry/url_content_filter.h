// The blocked-lookup list: the filter records each blocked DNS lookup here and telemetry drains
// the records into its next message. Bounded, so a LAN client hammering blocked names (or
// telemetry not running) cannot grow it without limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct UrlContentFilter {
  std::string cmac;
  std::string url;
  std::string time;    // ISO time of the block
  int32_t reason = 0;  // ContentFilterStats.BlockedReason
  uint32_t category_id = 0;
  std::string app_name;  // "NA" for URL-list blocks
  uint64_t seq = 0;      // order of arrival (set by AddUrlContentFilter)
};

// Records one blocked lookup (newest first). 0 or -1.
int AddUrlContentFilter(const char* cmac, const char* url, int reason, uint32_t category_id,
                        const char* app_name);

namespace zc::contentfilter {
// The most records the list holds; beyond it the oldest go first and are counted as dropped.
inline constexpr size_t kMaxRecords = 1024;
// A copy of the oldest `max` records (newest of them first): what the next message carries.
std::vector<UrlContentFilter> Snapshot(size_t max);
// Removes exactly the `count` oldest records that a Snapshot handed out and telemetry sent.
void RemoveOldest(size_t count);
// Removes every record up to and including `seq` (the newest one a message carried): exact even
// when the full list dropped some of them for newer ones meanwhile.
void RemoveThrough(uint64_t seq);
// Records dropped because the list was full, since the start.
uint64_t Dropped();
}  // namespace zc::contentfilter
