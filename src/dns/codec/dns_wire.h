// Work on encoded messages without a full decode: the first question (to match answers to
// queries), and the per-client copy of a reply (ID, TTL, address rewrite, OPT record, size
// limit) made from the pristine packet that the cache and merged waiters share.
#pragma once

#include <cstdint>

#include "dns/codec/dns_name.h"
#include "dns/codec/dns_packet.h"

struct DnsQuestionView {
  uint16_t id = 0;
  bool qr = false;
  uint8_t opcode = 0;
  bool tc = false;
  uint8_t rcode = 0;
  uint16_t qdcount = 0;
  uint16_t ancount = 0;
  uint16_t nscount = 0;
  uint16_t arcount = 0;
  uint8_t qname[kDnsWireNameMax] = {};
  int qname_len = 0;
  uint16_t qtype = 0;
  uint16_t qclass = 0;
  int question_end = 0;  // offset just past the first question
};

// Reads the header and the first question. A message without a question fails. 0 or -1.
int dns_read_question(const uint8_t* msg, int len, DnsQuestionView* q);

// True when two messages ask the same question: name ignoring case, type and class.
bool dns_same_question(const DnsQuestionView& a, const DnsQuestionView& b);

// Edits applied to a per-client copy of a reply.
struct DnsClientEdit {
  uint16_t id = 0;
  int32_t ttl = -1;          // TTL for every record but OPT; negative keeps the received TTLs
  uint32_t a_addr = 0;       // replaces the data of every A record (network order); 0 keeps
  bool client_edns = false;  // the query carried an OPT record: the reply gets one
  uint16_t payload = kDnsMinPayload;  // payload size announced in that OPT record
  const dns_opt_ecs* ecs = nullptr;   // client subnet echoed in it
  bool dnssec_ok = false;             // the query's DO flag, echoed in it
  bool checking_disabled = false;     // the query's CD flag, copied into the header
  int limit = kDnsMessageMax;         // larger replies become header + question with TC=1
  // The question name as the client wrote it: the copy carries the client's letter case.
  const uint8_t* qname = nullptr;
  int qname_len = 0;
};

// UDP payload limit for a client: 512 without OPT, else the client's size raised to 512 and
// capped at the engine's 4096.
int dns_client_udp_limit(bool client_edns, int client_payload);

// Builds the client's copy of an encoded reply into out. Returns its length or -1.
int dns_build_client_reply(const uint8_t* reply, int len, const DnsClientEdit& edit, uint8_t* out,
                           int outsize);

// Writes header + first question of msg with TC=1 (and an OPT record when edns). Length or -1.
int dns_truncated_reply(const uint8_t* msg, int len, bool edns, uint16_t payload, uint8_t* out,
                        int outsize, bool dnssec_ok = false);
