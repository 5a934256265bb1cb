// DNS queries in wire form for tests, built byte by byte (not with the engine's own codec, so a
// codec fault cannot hide itself): a header, one question and, on request, an OPT record.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace zctest {

inline constexpr uint16_t kDnsTypeA = 1;
inline constexpr uint16_t kDnsTypeOpt = 41;
inline constexpr uint16_t kDnsClassIn = 1;

struct DnsQueryOptions {
  uint16_t id = 0x1234;
  uint16_t qclass = kDnsClassIn;
  int opcode = 0;
  bool rd = true;
  bool edns = false;  // adds an OPT record advertising `payload`
  uint16_t payload = 1232;
};

namespace detail {

constexpr size_t kMaxLabel = 63;

inline void Put16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

}  // namespace detail

// `name` in dotted form; a trailing dot and the root ("" or ".") are accepted. Labels longer
// than 63 bytes are cut to 63 (tests of malformed names build their bytes by hand).
inline std::vector<uint8_t> BuildDnsQuery(const std::string& name, uint16_t qtype,
                                          const DnsQueryOptions& o = {}) {
  std::vector<uint8_t> q;
  detail::Put16(q, o.id);
  q.push_back(static_cast<uint8_t>(((o.opcode & 0x0f) << 3) | (o.rd ? 0x01 : 0)));
  q.push_back(0);
  detail::Put16(q, 1);  // one question
  detail::Put16(q, 0);
  detail::Put16(q, 0);
  detail::Put16(q, o.edns ? 1 : 0);
  size_t start = 0;
  while (start < name.size()) {
    size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    size_t length = std::min(dot - start, detail::kMaxLabel);
    if (length > 0) {
      q.push_back(static_cast<uint8_t>(length));
      q.insert(q.end(), name.begin() + static_cast<long>(start),
               name.begin() + static_cast<long>(start + length));
    }
    start = dot + 1;
  }
  q.push_back(0);
  detail::Put16(q, qtype);
  detail::Put16(q, o.qclass);
  if (o.edns) {
    q.push_back(0);  // root owner
    detail::Put16(q, kDnsTypeOpt);
    detail::Put16(q, o.payload);
    q.insert(q.end(), {0, 0, 0, 0});  // extended rcode, version, flags
    detail::Put16(q, 0);              // no options
  }
  return q;
}

}  // namespace zctest
