#include "telemetry/url_content_filter.h"

#include <deque>
#include <mutex>

#include "utils/log.h"
#include "utils/timeutil.h"

namespace {
std::mutex contentfilter_mutex;
std::deque<UrlContentFilter> UrlContentFilter_head;  // front = newest
uint64_t sDropped = 0;
uint64_t sNextSeq = 1;

// Field widths of the record as the cloud has always received it.
constexpr size_t kMacChars = 17;
constexpr size_t kUrlChars = 255;
constexpr size_t kAppChars = 127;

std::string Bounded(const char* text, size_t max) {
  std::string s = text ? text : "";
  if (s.size() > max) s.resize(max);
  return s;
}
}  // namespace

int AddUrlContentFilter(const char* cmac, const char* url, int reason, uint32_t category_id,
                        const char* app_name) {
  UrlContentFilter rec;
  rec.cmac = Bounded(cmac, kMacChars);
  rec.url = Bounded(url, kUrlChars);
  rec.reason = reason;
  rec.category_id = category_id;
  rec.app_name = Bounded(app_name ? app_name : "NA", kAppChars);
  if (GetISOTime(rec.time) != 0) rec.time = "NA";
  LogOut(LL_DEBUG, "%s cmac:%s url:%s BlockedReason:%d category_id:%u app_name:%s",
         "AddUrlContentFilter", rec.cmac.c_str(), rec.url.c_str(), rec.reason, rec.category_id,
         rec.app_name.c_str());
  std::lock_guard<std::mutex> lock(contentfilter_mutex);
  rec.seq = sNextSeq++;
  if (UrlContentFilter_head.size() >= zc::contentfilter::kMaxRecords) {
    UrlContentFilter_head.pop_back();
    ++sDropped;
  }
  UrlContentFilter_head.push_front(std::move(rec));
  return 0;
}

namespace zc::contentfilter {
std::vector<UrlContentFilter> Snapshot(size_t max) {
  std::lock_guard<std::mutex> lock(contentfilter_mutex);
  size_t n = std::min(max, UrlContentFilter_head.size());
  // The oldest `n`, so RemoveOldest(n) takes exactly these even when newer ones arrived since.
  return std::vector<UrlContentFilter>(UrlContentFilter_head.end() - static_cast<long>(n),
                                       UrlContentFilter_head.end());
}

void RemoveOldest(size_t count) {
  std::lock_guard<std::mutex> lock(contentfilter_mutex);
  count = std::min(count, UrlContentFilter_head.size());
  UrlContentFilter_head.erase(UrlContentFilter_head.end() - static_cast<long>(count),
                              UrlContentFilter_head.end());
}

void RemoveThrough(uint64_t seq) {
  std::lock_guard<std::mutex> lock(contentfilter_mutex);
  while (!UrlContentFilter_head.empty() && UrlContentFilter_head.back().seq <= seq) {
    UrlContentFilter_head.pop_back();
  }
}

uint64_t Dropped() {
  std::lock_guard<std::mutex> lock(contentfilter_mutex);
  return sDropped;
}
}  // namespace zc::contentfilter
