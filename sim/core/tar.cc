#include "core/tar.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zsim {
namespace {

constexpr size_t kBlock = 512;

void Octal(char* field, size_t width, unsigned long long value) {
  std::snprintf(field, width, "%0*llo", static_cast<int>(width - 1), value);
}

}  // namespace

std::string MakeTar(const TarMembers& members) {
  std::string out;
  for (const auto& [name, data] : members) {
    char header[kBlock] = {};
    std::snprintf(header, 100, "%s", name.c_str());
    Octal(header + 100, 8, 0644);
    Octal(header + 108, 8, 0);
    Octal(header + 116, 8, 0);
    Octal(header + 124, 12, data.size());
    Octal(header + 136, 12, 1700000000);
    std::memset(header + 148, ' ', 8);
    header[156] = '0';
    std::memcpy(header + 257, "ustar", 6);
    std::memcpy(header + 263, "00", 2);
    unsigned sum = 0;
    for (unsigned char c : header) sum += c;
    std::snprintf(header + 148, 8, "%06o", sum);
    header[155] = ' ';
    out.append(header, kBlock);
    out += data;
    out.append((kBlock - data.size() % kBlock) % kBlock, '\0');
  }
  out.append(2 * kBlock, '\0');
  return out;
}

std::optional<TarMembers> ReadTar(const std::string& archive) {
  TarMembers members;
  size_t pos = 0;
  bool any = false;
  while (pos + kBlock <= archive.size()) {
    const char* h = archive.data() + pos;
    if (h[0] == '\0') return any ? std::optional<TarMembers>(members) : std::nullopt;
    if (std::memcmp(h + 257, "ustar", 5) != 0) return std::nullopt;
    unsigned sum = 0;
    for (size_t i = 0; i < kBlock; ++i) {
      sum += (i >= 148 && i < 156) ? ' ' : static_cast<unsigned char>(h[i]);
    }
    if (std::strtoul(std::string(h + 148, 8).c_str(), nullptr, 8) != sum) return std::nullopt;
    std::string name(h, strnlen(h, 100));
    size_t size = std::strtoull(std::string(h + 124, 12).c_str(), nullptr, 8);
    pos += kBlock;
    if (pos + size > archive.size()) return std::nullopt;
    if (h[156] == '0' || h[156] == '\0') members[name] = archive.substr(pos, size);
    any = true;
    pos += (size + kBlock - 1) / kBlock * kBlock;
  }
  return any ? std::optional<TarMembers>(members) : std::nullopt;
}

std::string DigestHex(const std::string& data, const char* algorithm) {
  const EVP_MD* md = EVP_get_digestbyname(algorithm);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  if (!md || EVP_Digest(data.data(), data.size(), digest, &len, md, nullptr) != 1) return {};
  std::string hex;
  char buf[3];
  for (unsigned i = 0; i < len; ++i) {
    std::snprintf(buf, sizeof buf, "%02x", digest[i]);
    hex += buf;
  }
  return hex;
}

}  // namespace zsim
