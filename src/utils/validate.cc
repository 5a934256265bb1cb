#include "utils/validate.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstring>

namespace {

// Four dot-separated decimal parts of at most three digits, each at most 255; digits and dots
// only (no signs, blanks or trailing text).
bool ParseDottedQuad(const char* text, unsigned parts[4]) {
  int part = 0, digits = 0;
  unsigned value = 0;
  for (const char* p = text;; ++p) {
    if (*p >= '0' && *p <= '9') {
      if (++digits > 3) return false;
      value = value * 10 + static_cast<unsigned>(*p - '0');
    } else if (*p == '.' || *p == '\0') {
      if (digits == 0 || value > 255 || part > 3) return false;
      parts[part++] = value;
      value = 0;
      digits = 0;
      if (*p == '\0') break;
    } else {
      return false;
    }
  }
  return part == 4;
}

}  // namespace

bool IsValidIpAddress(const char* text) {
  if (!text) return false;
  size_t len = strlen(text);
  if (len < 7 || len > 15) return false;
  unsigned p[4];
  if (!ParseDottedQuad(text, p)) return false;
  return !(p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 0);
}

bool IsValidSubnetMask(const char* text) {
  if (!text) return false;
  size_t len = strlen(text);
  if (len < 9 || len > 15) return false;
  unsigned p[4];
  return ParseDottedQuad(text, p);
}

bool IsMacValid(const char* text) {
  if (!text) return false;
  int digits = 0, separators = 0;
  for (const char* p = text; *p; ++p) {
    if (isxdigit(static_cast<unsigned char>(*p))) {
      ++digits;
    } else if (*p == ':' || *p == '-') {
      if (digits == 0 || digits % 2 != 0 || separators != digits / 2 - 1) break;
      ++separators;
    } else {
      return false;
    }
  }
  if (digits != 12 || (separators != 0 && separators != 5)) return false;
  return strcmp(text, "00:00:00:00:00:00") != 0;
}

bool is_ipv4_address(const char* text) {
  in_addr a{};
  return text && inet_pton(AF_INET, text, &a) == 1;
}

bool is_ipv6_address(const char* text) {
  in6_addr a{};
  return text && inet_pton(AF_INET6, text, &a) == 1;
}

void formatmac(char* text) {
  if (!text) return;
  char* out = text;
  for (char* p = text; *p; ++p) {
    if (*p == ':') continue;
    *out++ = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
  }
  *out = '\0';
}

std::string formatmac(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c != ':') out.push_back(static_cast<char>(tolower(static_cast<unsigned char>(c))));
  }
  return out;
}

void strtoupper(char* text) {
  if (!text) return;
  for (; *text; ++text) *text = static_cast<char>(toupper(static_cast<unsigned char>(*text)));
}

std::string NormalizeMac(const char* text) {
  if (!IsMacValid(text)) return {};
  std::string hex;
  for (const char* p = text; *p; ++p) {
    if (isxdigit(static_cast<unsigned char>(*p))) {
      hex.push_back(static_cast<char>(tolower(static_cast<unsigned char>(*p))));
    }
  }
  std::string out;
  for (size_t i = 0; i < 12; i += 2) {
    if (i) out.push_back(':');
    out.append(hex, i, 2);
  }
  return out;
}
