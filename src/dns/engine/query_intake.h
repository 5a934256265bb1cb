// Reading a client's query: the header fields, the question and the OPT record the engine acts
// on. The usual query (one question, no other records but an OPT record without options) is
// read straight from the wire; anything else goes through the full decoder, so both give the
// same result for every message.
#pragma once

#include <cstdint>
#include <optional>

#include "dns/codec/dns_name.h"
#include "dns/codec/dns_packet.h"

namespace zc::dns {

struct ClientQuery {
  uint16_t id = 0;
  uint8_t opcode = 0;
  bool rd = false;
  bool cd = false;
  uint16_t payloadsize = 0;  // 0 without an OPT record
  uint16_t edns_flags = 0;
  std::optional<dns_opt_ecs> ecs;  // the first client-subnet option
  char name[kDnsNameTextMax] = {};
  uint8_t qname[kDnsWireNameMax] = {};  // the question name as received
  int qname_len = 0;
  uint16_t qtype = 0;
  uint16_t qclass = 0;
};

enum class QueryReadResult { kOk, kUndecodable, kNotAQuery };

// kUndecodable: the message does not decode; kNotAQuery: a response, no or several questions.
QueryReadResult ReadClientQuery(const uint8_t* data, int len, ClientQuery* q);
// The same through the full decoder for every message (the reference for the direct read).
QueryReadResult ReadClientQueryDecoded(const uint8_t* data, int len, ClientQuery* q);

// A query for the upstream servers without client-subnet option: header (RD, CD as asked), the
// question and an OPT record (payload size, DO as asked), as the packet encoder would write it.
// Length, or -1 when it does not fit.
int BuildUpstreamQuery(uint16_t id, bool checking_disabled, bool dnssec_ok, const uint8_t* qname,
                       int qname_len, uint16_t qtype, uint16_t payload, uint8_t* out, int size);

}  // namespace zc::dns
