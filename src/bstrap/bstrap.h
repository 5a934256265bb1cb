// Provisioning: bootstrap over HTTPS, the boot configuration file, the bootstrap connection and
// the idle recovery state.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "bstrap/bootconfig.h"

struct HttpRequest;
struct event_base;

// Consecutive status-500 answers after which the agent goes idle instead of retrying.
inline constexpr int kBootstrapMaxRetries = 11;
inline constexpr const char* kPlatformModelFile = "/etc/launcher/platformmodel";
// The bootstrap messaging server of the idle state and of the edge connection (first line).
inline constexpr const char* kBootstrapNatsFile = "/tmp/bstrapnats";
// Back-off of the requests over the bootstrap connection (firmware validation, sign-on).
inline constexpr std::chrono::seconds kRequestBackoffBase{60};
inline constexpr std::chrono::seconds kRequestBackoffCap{3600};

// Where the provisioning flow goes after a bootstrap step. The step decides, the flow (which owns
// every transition, timers included) acts on it.
enum class BootstrapNext {
  kRetry,               // status 500: ask again after the back-off
  kIdleRequestFailed,   // no usable answer: idle state, reason 1
  kIdleNotProvisioned,  // not provisioned or suspended: idle state, reason 2
  kValidateFirmware,    // provisioned: firmware validation
};
using BootstrapNextHandler = std::function<void(BootstrapNext next, int retryDelaySeconds)>;
// Set once at start by the flow, with the loop the bootstrap connection runs on.
void BootstrapAttach(event_base* loop, BootstrapNextHandler next);

// Queues the HTTPS bootstrap request (answer handled on the main loop).
void Bootstrap();
// Completion of the bootstrap request; owns it.
void Bootstrap_cb(std::unique_ptr<HttpRequest> request);
// Stores every bootstrap key found in the answer. 0, or -1 for a missing body.
int Bootstrap_jsonparser(const char* body);
// Stores one answer value in the settings store and the boot configuration file.
void Bootstrap_update_flash(const char* key, const char* value);
// Start-up with a boot configuration file present: reads it and goes on to firmware validation,
// or falls back to Bootstrap().
void BootstrapPrefetch();
// Opens the bootstrap connection once. 0 or -1.
int InitBooStrapNats();

// Back-off before retry n (0-based) of a status-500 answer, in real seconds: 2^n + jitter.
int BootstrapBackoffSeconds(int failures, int jitter);
// Back-off after failed request n (1-based) over the bootstrap connection, real seconds:
// 60 x 2^n, at most one hour.
int64_t RequestBackoffSeconds(int attempt);

// Idle recovery state: marks it and writes the keys of the idle command connection. Reasons: 1
// the bootstrap request failed, 2 not provisioned or suspended. The flow then hands the timer to
// the idle timer.
void Zuncore_idle(int reason);
