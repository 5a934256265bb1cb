// What the prober's sockets receive from the network: ICMP echo replies (with or without the
// IPv4 header) and UDP probe answers. Properties: no crash and no read beyond the message; an
// accepted reply is exactly our echo's length and type, and its fields are the bytes it carries;
// an echo we build is accepted back once turned into a reply, with the same fields.
#include <netinet/in.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "dns/prober/probe_packets.h"

namespace {

using zc::dns::EchoFields;
using zc::dns::EchoParse;
using zc::dns::EchoReply;

void Check(bool condition) {
  if (!condition) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  uint8_t mode = data[0];
  int family = (mode & 1) ? AF_INET6 : AF_INET;
  bool with_header = (mode & 2) != 0;
  // An exact-size copy, so ASan sees any read past the end.
  std::vector<uint8_t> message(data + 1, data + size);
  EchoReply reply;
  EchoParse parsed =
      zc::dns::ParseEchoReply(family, with_header, message.data(), message.size(), &reply);
  if (parsed == EchoParse::kOk) {
    Check(reply.length == zc::dns::kEchoLength);
    const uint8_t* icmp = message.data() + (message.size() - zc::dns::kEchoLength);
    Check(icmp[0] == (family == AF_INET6 ? zc::dns::kIcmp6EchoReply : zc::dns::kIcmp4EchoReply));
    Check(reply.fields.ident == (icmp[4] << 8 | icmp[5]));
    Check(reply.fields.seq == (icmp[6] << 8 | icmp[7]));
  }
  uint16_t id = 0;
  Check(zc::dns::UdpProbeReplyId(message.data(), message.size(), &id) ==
        (message.size() >= zc::dns::kUdpProbeLength));

  // Round trip of an echo built from the input's first bytes.
  EchoFields fields;
  if (message.size() >= 12) {
    fields.ident = static_cast<uint16_t>(message[0] << 8 | message[1]);
    fields.seq = static_cast<uint16_t>(message[2] << 8 | message[3]);
    std::memcpy(&fields.token, message.data() + 4, sizeof fields.token);
  }
  uint8_t echo[zc::dns::kEchoLength];
  zc::dns::BuildEchoRequest(family, fields, echo);
  if (family == AF_INET) Check(zc::dns::InternetChecksum(echo, sizeof echo) == 0);
  echo[0] = family == AF_INET6 ? zc::dns::kIcmp6EchoReply : zc::dns::kIcmp4EchoReply;
  Check(zc::dns::ParseEchoReply(family, false, echo, sizeof echo, &reply) == EchoParse::kOk);
  Check(reply.fields.ident == fields.ident && reply.fields.seq == fields.seq &&
        reply.fields.token == fields.token);
  return 0;
}
