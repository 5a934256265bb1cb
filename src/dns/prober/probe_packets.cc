#include "dns/prober/probe_packets.h"

#include <netinet/in.h>

#include <cstring>

namespace zc::dns {

namespace {

constexpr size_t kTokenOffset = kIcmpHeaderLength;
constexpr size_t kIpv4MinHeader = 20;
constexpr uint8_t kIpProtoIcmp = 1;
// Filler after the token: a fixed pattern, so a mangled reply is easy to see in a capture.
constexpr uint8_t kFillerBase = 0x20;

void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

uint16_t Get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

}  // namespace

uint16_t InternetChecksum(const uint8_t* data, size_t len) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < len; i += 2) sum += Get16(data + i);
  if (len & 1) sum += static_cast<uint32_t>(data[len - 1]) << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

void BuildEchoRequest(int family, const EchoFields& fields, uint8_t out[kEchoLength]) {
  std::memset(out, 0, kEchoLength);
  out[0] = family == AF_INET6 ? kIcmp6EchoRequest : kIcmp4EchoRequest;
  Put16(out + 4, fields.ident);
  Put16(out + 6, fields.seq);
  for (int i = 0; i < 8; i++)
    out[kTokenOffset + i] = static_cast<uint8_t>(fields.token >> (56 - 8 * i));
  for (size_t i = kTokenOffset + 8; i < kEchoLength; i++) {
    out[i] = static_cast<uint8_t>(kFillerBase + i);
  }
  if (family != AF_INET6) Put16(out + 2, InternetChecksum(out, kEchoLength));
}

EchoParse ParseEchoReply(int family, bool with_ip_header, const uint8_t* data, size_t len,
                         EchoReply* out) {
  *out = EchoReply{};
  if (family == AF_INET && with_ip_header) {
    if (len < kIpv4MinHeader || (data[0] >> 4) != 4) return EchoParse::kBadLength;
    size_t header = static_cast<size_t>(data[0] & 0x0F) * 4;
    out->ip_proto = data[9];
    out->ttl = data[8];
    if (header < kIpv4MinHeader || header > len) return EchoParse::kBadLength;
    if (data[9] != kIpProtoIcmp) return EchoParse::kNotIcmp;
    data += header;
    len -= header;
  }
  out->length = len;
  if (len < kIcmpHeaderLength) return EchoParse::kBadLength;
  out->type = data[0];
  uint8_t want = family == AF_INET6 ? kIcmp6EchoReply : kIcmp4EchoReply;
  if (data[0] != want || data[1] != 0) return EchoParse::kNotEchoReply;
  if (len != kEchoLength) return EchoParse::kBadLength;
  out->fields.ident = Get16(data + 4);
  out->fields.seq = Get16(data + 6);
  uint64_t token = 0;
  for (int i = 0; i < 8; i++) token = token << 8 | data[kTokenOffset + i];
  out->fields.token = token;
  return EchoParse::kOk;
}

void BuildUdpProbe(uint16_t id, uint8_t out[kUdpProbeLength]) {
  std::memset(out, 0, kUdpProbeLength);
  Put16(out, id);
}

bool UdpProbeReplyId(const uint8_t* data, size_t len, uint16_t* id) {
  if (len < kUdpProbeLength) return false;
  *id = Get16(data);
  return true;
}

}  // namespace zc::dns
