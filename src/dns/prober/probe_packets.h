// Wire formats of the prober: ICMP echo requests and replies (IPv4 and IPv6, with or without
// the IP header a raw socket delivers), and the small DNS header of UDP probes. No I/O here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zc::dns {

// An echo request is this long (ICMP header + payload), for both families.
inline constexpr size_t kEchoLength = 52;
inline constexpr size_t kIcmpHeaderLength = 8;
// A UDP probe is a bare DNS header.
inline constexpr size_t kUdpProbeLength = 12;

inline constexpr uint8_t kIcmp4EchoRequest = 8;
inline constexpr uint8_t kIcmp4EchoReply = 0;
inline constexpr uint8_t kIcmp6EchoRequest = 128;
inline constexpr uint8_t kIcmp6EchoReply = 129;

// What an echo carries besides the ICMP identifier and sequence: a token naming the probe, so
// that a late reply to a reused sequence number is never taken for the new probe's.
struct EchoFields {
  uint16_t ident = 0;
  uint16_t seq = 0;
  uint64_t token = 0;
};

// Writes an echo request of kEchoLength bytes. The IPv4 checksum is filled in; for IPv6 the
// kernel computes it (it covers the addresses), so it stays 0.
void BuildEchoRequest(int family, const EchoFields& fields, uint8_t out[kEchoLength]);

enum class EchoParse : uint8_t {
  kOk,
  kNotIcmp,       // the IP header names another protocol
  kNotEchoReply,  // another ICMP type (requests looped back, errors)
  kBadLength,     // not the length of our echo
};

struct EchoReply {
  EchoFields fields;
  int ttl = -1;      // from the IP header when there is one, else -1
  int type = -1;     // the ICMP type found (for the log line of a mismatch)
  int ip_proto = 0;  // the protocol of the IP header (IPv4 raw only)
  size_t length = 0;
};

// Reads an echo reply. `with_ip_header`: the data starts with the IPv4 header (raw IPv4
// sockets); IPv6 sockets and datagram ICMP sockets deliver the ICMP message alone.
EchoParse ParseEchoReply(int family, bool with_ip_header, const uint8_t* data, size_t len,
                         EchoReply* out);

// The Internet checksum (RFC 1071) of a buffer.
uint16_t InternetChecksum(const uint8_t* data, size_t len);

// A UDP probe: a DNS query header with the given ID and nothing else.
void BuildUdpProbe(uint16_t id, uint8_t out[kUdpProbeLength]);
// The ID of a datagram that answers a UDP probe (any message at least a header long).
bool UdpProbeReplyId(const uint8_t* data, size_t len, uint16_t* id);

}  // namespace zc::dns
