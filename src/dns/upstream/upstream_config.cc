#include "dns/upstream/upstream_config.h"

#include <charconv>

namespace zc::dns {

namespace {

// Value of one base64 character, or -1.
int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool ParsePort(std::string_view text, uint16_t* port) {
  unsigned value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535) {
    return false;
  }
  *port = static_cast<uint16_t>(value);
  return true;
}

// Host names and address literals only: the text ends up in SNI and in a Host header line.
bool IsPlainHost(std::string_view host) {
  for (char c : host) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '-' || c == '_' || c == ':' || c == '%';
    if (!ok) return false;
  }
  return !host.empty();
}

// "host", "host:port", "[v6]", "[v6]:port"; a bare IPv6 address (two or more colons) is a host.
bool SplitHostPort(std::string_view text, std::string* host, uint16_t* port, std::string* error) {
  *port = 0;
  if (!text.empty() && text.front() == '[') {
    size_t close = text.find(']');
    if (close == std::string_view::npos || close == 1) {
      *error = "bad address";
      return false;
    }
    if (!IsPlainHost(text.substr(1, close - 1))) {
      *error = "invalid host";
      return false;
    }
    *host = std::string(text.substr(1, close - 1));
    std::string_view rest = text.substr(close + 1);
    if (rest.empty()) return true;
    if (rest.front() != ':' || !ParsePort(rest.substr(1), port)) {
      *error = "bad port";
      return false;
    }
    return true;
  }
  size_t colon = text.find(':');
  if (colon != std::string_view::npos && text.find(':', colon + 1) == std::string_view::npos) {
    if (!ParsePort(text.substr(colon + 1), port)) {
      *error = "bad port";
      return false;
    }
    text = text.substr(0, colon);
  }
  if (text.empty()) {
    *error = "empty host";
    return false;
  }
  if (!IsPlainHost(text)) {
    *error = "invalid host";
    return false;
  }
  *host = std::string(text);
  return true;
}

}  // namespace

const char* UpstreamTypeName(UpstreamType type) {
  switch (type) {
    case UpstreamType::kUdp:
      return "udp";
    case UpstreamType::kTcp:
      return "tcp";
    case UpstreamType::kTls:
      return "tls";
    case UpstreamType::kHttps:
      return "https";
  }
  return "unknown";
}

uint16_t UpstreamDefaultPort(UpstreamType type) {
  switch (type) {
    case UpstreamType::kTls:
      return 853;
    case UpstreamType::kHttps:
      return 443;
    default:
      return 53;
  }
}

bool DecodeSpkiPin(std::string_view text, std::vector<uint8_t>* pin, std::string* error) {
  pin->clear();
  if (text.size() > kMaxSpkiPinTextLength) {
    *error = "spki data length is invalid.";
    return false;
  }
  size_t padding = 0;
  while (!text.empty() && text.back() == '=' && padding < 2) {
    text.remove_suffix(1);
    ++padding;
  }
  // The decoded length is known before anything is written: only exactly 32 bytes pass.
  size_t bits = text.size() * 6;
  if (text.size() % 4 == 1 || bits / 8 != kSpkiPinLength) {
    *error = "spki data length is invalid.";
    return false;
  }
  uint32_t accumulator = 0;
  int filled = 0;
  pin->reserve(kSpkiPinLength);
  for (char c : text) {
    int value = Base64Value(c);
    if (value < 0) {
      pin->clear();
      *error = "spki data is not base64.";
      return false;
    }
    accumulator = (accumulator << 6) | static_cast<uint32_t>(value);
    filled += 6;
    if (filled >= 8) {
      filled -= 8;
      pin->push_back(static_cast<uint8_t>(accumulator >> filled));
    }
  }
  return true;
}

bool ParseHttpsUri(std::string_view uri, UpstreamServerConfig* server, std::string* error) {
  size_t scheme_end = uri.find("://");
  if (scheme_end != std::string_view::npos) {
    std::string scheme(uri.substr(0, scheme_end));
    for (char& c : scheme) c = static_cast<char>(c | 0x20);
    if (scheme != "https") {
      *error = "scheme is not https";
      return false;
    }
    uri.remove_prefix(scheme_end + 3);
  }
  size_t slash = uri.find('/');
  std::string_view authority = uri.substr(0, slash);
  if (!SplitHostPort(authority, &server->host, &server->port, error)) return false;
  server->http_path = slash == std::string_view::npos ? "/" : std::string(uri.substr(slash));
  for (char c : server->http_path) {
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) {
      *error = "invalid character in path";
      return false;
    }
  }
  server->type = UpstreamType::kHttps;
  return true;
}

bool ParseServerAddress(std::string_view text, UpstreamServerConfig* server, std::string* error) {
  return SplitHostPort(text, &server->host, &server->port, error);
}

}  // namespace zc::dns
