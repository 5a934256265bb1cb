#include "event/report_common.h"

#include <cerrno>
#include <cstdlib>

#include "utils/kvp.h"
#include "utils/log.h"
#include "utils/timeutil.h"

namespace zc::report {
namespace {

std::optional<long long> ParseWhole(const std::optional<std::string>& text) {
  if (!text || text->empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text->c_str(), &end, 10);
  if (end == text->c_str() || errno == ERANGE) return std::nullopt;
  return v;
}

}  // namespace

long ClampPeriodSeconds(const std::optional<std::string>& text, long defaultSeconds) {
  auto v = ParseWhole(text);
  if (!v || *v <= 0) return defaultSeconds;
  if (*v < kMinPeriodSeconds) return kMinPeriodSeconds;
  if (*v > kMaxPeriodSeconds) return kMaxPeriodSeconds;
  return static_cast<long>(*v);
}

int64_t ClampRequestTimeoutMs(const std::optional<std::string>& text) {
  auto v = ParseWhole(text);
  if (!v || *v <= 0) return kDefaultRequestTimeoutMs;
  if (*v < kMinRequestTimeoutMs) return kMinRequestTimeoutMs;
  if (*v > kMaxRequestTimeoutMs) return kMaxRequestTimeoutMs;
  return *v;
}

long IntSetting(const char* key, long fallback) {
  auto v = ParseWhole(GetStringKVP(key));
  return v ? static_cast<long>(*v) : fallback;
}

Identity CurrentIdentity() {
  Identity id;
  if (GetISOTime(id.timestamp) != 0) id.timestamp = "NA";
  id.deviceId = GetStringKVPOr(kDeviceMacKey, "NA");
  id.dll = GetStringKVPOr(kLogicalLocationKey, "NA");
  id.subscriberId = GetStringKVPOr(kSubscriberIdKey, "NA");
  return id;
}

bool SelfCheckEnabled() {
  return g_loglevel.load() >= LL_PROTO;
}

}  // namespace zc::report
