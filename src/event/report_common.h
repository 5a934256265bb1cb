// What the three reporting modules (events, telemetry, journal) share: the settings keys they
// read, the clamping of periods that come from the cloud, the identity every report carries, and
// an arena that owns the parts of a message while it is built.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bstrap/bstrap_keys.h"
#include "proto/messages.h"
#include "signon/signon_keys.h"
#include "utils/identity_keys.h"

namespace zc::report {

// ---- settings keys (named by the modules that write them) ----
inline constexpr const char* kDeviceMacKey = kKeyDeviceMacAddr;
inline constexpr const char* kLogicalLocationKey = kKeyLogicalLocation;
inline constexpr const char* kSubscriberIdKey = kKeySubscriberId;
inline constexpr const char* kUserDataKey = kKeyUserData;
inline constexpr const char* kEventSubjectKey = kKeyEventRequestSubject;
// Not written by sign-on today: the event loop keeps its default unless the key is set.
inline constexpr const char* kEventIntervalKey = "publishIntervalsInSeconds.event";
inline constexpr const char* kRetryCountKey = kKeyRetryMaxCount;
inline constexpr const char* kRequestTimeoutKey = kKeyRetryRequestTimeout;  // milliseconds
inline constexpr const char* kTelemetrySubjectKey = kKeyPubTelemetry;
inline constexpr const char* kTelemetryIntervalKey = kKeyTelemetryInterval;
inline constexpr const char* kLogSubjectKey = kKeyPubLog;
inline constexpr const char* kBootJournalSubjectKey = kKeyConnectionJournalSubject;

// ---- periods from the cloud ----
// A period of 0 would make a busy loop, a negative or huge one a thread that never wakes.
inline constexpr long kMinPeriodSeconds = 10;
inline constexpr long kMaxPeriodSeconds = 86400;
inline constexpr long kDefaultEventSeconds = 50;
inline constexpr long kDefaultTelemetrySeconds = 50;
inline constexpr int64_t kMinRequestTimeoutMs = 1000;
inline constexpr int64_t kMaxRequestTimeoutMs = 86400000;
inline constexpr int64_t kDefaultRequestTimeoutMs = 10000;

// The period of a setting text: absent, unparsable or <= 0 gives the default; anything else is
// kept within [kMinPeriodSeconds, kMaxPeriodSeconds].
long ClampPeriodSeconds(const std::optional<std::string>& text, long defaultSeconds);
// The event request time-out (milliseconds, 64-bit), same rules within its own bounds.
int64_t ClampRequestTimeoutMs(const std::optional<std::string>& text);
// A whole number setting, or the fallback when absent or unparsable.
long IntSetting(const char* key, long fallback);

// ---- identity of every report ----
struct Identity {
  std::string timestamp;  // ISO time now
  std::string deviceId;
  std::string dll;
  std::string subscriberId;
};
Identity CurrentIdentity();

// True when packed messages are decoded again before they leave (levels LL_PROTO and above).
bool SelfCheckEnabled();

// ---- message arena ----
// protobuf-c messages hold raw pointers; the arena owns every string, sub-message and pointer
// array of one message until it has been packed.
class Arena {
 public:
  char* Str(std::string_view text) {
    strings_.emplace_back(text);
    return strings_.back().data();
  }
  template <typename T>
  T* New() {
    auto owned = std::make_shared<T>(zc::pb::Make<T>());
    T* raw = owned.get();
    holders_.push_back(std::move(owned));
    return raw;
  }
  template <typename T>
  T** Array(size_t count) {
    auto owned = std::make_shared<std::vector<T*>>(count, nullptr);
    T** raw = owned->data();
    holders_.push_back(std::move(owned));
    return raw;
  }

 private:
  std::deque<std::string> strings_;
  std::vector<std::shared_ptr<void>> holders_;
};

// Text of a fixed-width record field (up to its first NUL).
template <size_t N>
std::string_view Field(const char (&field)[N]) {
  size_t n = 0;
  while (n < N && field[n]) ++n;
  return std::string_view(field, n);
}

}  // namespace zc::report
