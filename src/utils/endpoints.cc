#include "utils/endpoints.h"

#include <cstdlib>

namespace zc {
namespace {

std::string EnvOr(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return (v && *v) ? v : fallback;
}

}  // namespace

std::string InternetProbeHost() {
  return EnvOr("ZUNCORE_PROBE_HOST", "www.google.com");
}

int InternetProbePort() {
  int port = std::atoi(EnvOr("ZUNCORE_PROBE_PORT", "80").c_str());
  return (port > 0 && port < 65536) ? port : 80;
}

std::string TimeServiceUrl() {
  return EnvOr("ZUNCORE_TIME_URL", "http://time.zuncloud.net/now");
}

std::string DefaultBootstrapNatsUrl() {
  return "nats://bootstrap.zuncloud.net:4222";
}

}  // namespace zc
