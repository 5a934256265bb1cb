// Sign-on: the request with which a provisioned router obtains its servers, subjects, intervals,
// retry settings, DNS profiles and reboot settings. Runs on the firmware flow's thread (it blocks).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "proto/messages.h"

inline constexpr int64_t kSignonRequestTimeoutMs = 10000;
inline constexpr std::chrono::seconds kSignonInitDonePoll{3};
inline constexpr const char* kRebootIntervalFile = "/etc/config/reboot_interval";
inline constexpr const char* kNextRebootTimeFile = "/tmp/next_reboot_time";

// Signs on over the bootstrap connection; ends the process itself on failure.
void Signon();

// Stores the connection, subject, interval and retry settings of a response (steps that write
// the settings store only).
void StoreSignOnSettings(const Zun__Signon__SignOnResponse& response);
// Stores the three connection URL keys (and "runzundns") from the stored cluster settings, the
// message URL first. afterWrite (tests) runs after each URL key is written.
void StoreConnectionUrls(const std::function<void(const char* key)>& afterWrite = nullptr);
