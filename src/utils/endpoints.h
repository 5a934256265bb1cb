// Cloud and internet endpoints that are settings of this implementation, in one place. Tests and
// the simulated router point them elsewhere through the environment.
#pragma once

#include <string>

namespace zc {

// Host probed by the uplink thread (TCP port 80). ZUNCORE_PROBE_HOST / ZUNCORE_PROBE_PORT.
std::string InternetProbeHost();
int InternetProbePort();
// The time service's "/now" URL (plain HTTP). ZUNCORE_TIME_URL.
std::string TimeServiceUrl();
// Default bootstrap NATS server when /tmp/bstrapnats gives none.
std::string DefaultBootstrapNatsUrl();
// NTP servers the router is configured with.
inline constexpr const char* kNtpServerPrimary = "time1.zuncloud.net";
inline constexpr const char* kNtpServerSecondary = "time2.zuncloud.net";

}  // namespace zc
