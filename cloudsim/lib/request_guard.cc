#include "lib/request_guard.h"

#include <cctype>

namespace cloudsim {
namespace {

// The host part of a Host header ("127.0.0.1:8080" -> "127.0.0.1", "[::1]:80" -> "[::1]").
std::string HostName(const std::string& host) {
  if (!host.empty() && host[0] == '[') {
    size_t close = host.find(']');
    return close == std::string::npos ? host : host.substr(0, close + 1);
  }
  return host.substr(0, host.find(':'));
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

bool ControlRequestAllowed(bool changes, const char* host, const char* origin, std::string* why) {
  if (host) {
    const std::string name = Lower(HostName(host));
    if (name != "127.0.0.1" && name != "localhost" && name != "[::1]" && name != "cloudsim") {
      *why = "this server answers only for 127.0.0.1, not for '" + std::string(host) + "'";
      return false;
    }
  }
  if (changes && origin) {
    // A page's request: it must come from a page this server served (same scheme, host and
    // port as the request was sent to).
    if (!host || Lower(origin) != "http://" + Lower(host)) {
      *why = "requests from the page at '" + std::string(origin) + "' are not accepted";
      return false;
    }
  }
  return true;
}

}  // namespace cloudsim
