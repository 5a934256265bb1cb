// Provisioning: bootstrap over HTTPS, the boot configuration file, the bootstrap connection and
// the idle recovery state.
#pragma once

#include <memory>
#include <string>

#include "bstrap/bootconfig.h"

struct HttpRequest;

// Consecutive status-500 answers after which the agent goes idle instead of retrying.
inline constexpr int kBootstrapMaxRetries = 11;
inline constexpr const char* kPlatformModelFile = "/etc/launcher/platformmodel";

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

// Idle recovery state. Reasons: 1 the bootstrap request failed, 2 not provisioned or suspended.
void Zuncore_idle(int reason);
