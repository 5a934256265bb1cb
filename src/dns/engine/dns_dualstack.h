// Dual-stack selection: an A or AAAA query also asks for the other family (the companion
// query), both families' addresses are speed-checked, and a family that is clearly slower than
// the other gets a SOA (no address), so clients connect over the faster one.
//
// The rules here are free of sockets, threads and clocks; the engine's part (companion
// requests, the hold for the companion, the cache-hit rule) is in dns_dualstack.cc.
//
// Ping times are tenths of a millisecond, as the speed checks give them; below 1 means "not
// measured". The threshold is in milliseconds, as written in the option file.
#pragma once

#include <chrono>
#include <cstdint>

namespace zc::dns {

// A parent waits for its companion's result at most this long after it started, as long as a
// speed check may take: a silent upstream for the other family never delays an answer further.
inline constexpr std::chrono::milliseconds kCompanionWait{950};

struct DualStackSettings {
  bool enabled = true;            // dualstack-ip-selection
  bool allow_force_aaaa = false;  // dualstack-ip-allow-force-AAAA: A may give way to AAAA
  int threshold_ms = 15;          // dualstack-ip-selection-threshold
};

// What decides whether one request selects between the families.
struct DualStackQuery {
  uint16_t qtype = 0;
  bool companion = false;    // the request is itself a companion query
  bool internal = false;     // the engine's own query (an upstream server's name): no client
  bool refresh = false;      // a cache refresh (no client)
  bool passthrough = false;  // the answer goes out as the upstream gave it
  bool rule_matched = false;
  uint32_t rule_flags = 0;  // flags of the matched domain rule
  uint32_t rule_mask = 0;   // the flags the rule set explicitly
  uint32_t bind_flags = 0;  // flags of the listener the query came through
};

// Whether `q` selects between the families: never for companions, the engine's own queries
// (they need an address of the family they ask for), refreshes, answers passed through unchecked
// and types other than A/AAAA; a domain rule's explicit choice first, then the
// listener's no-dualstack-selection, then the option. An AAAA query of a domain whose rule gives
// SOA to A (and does not drop its IPv6 rules) keeps its AAAA answer: there is no IPv4 to prefer.
bool DualStackSelected(const DualStackQuery& q, const DualStackSettings& s);

// At the reply of a request with an address of its own, measured `own_ping`, whose companion
// measured `companion_ping`: true when the reply must be a SOA instead (the other family is
// faster by more than the threshold, or this one was not measured at all). An A query gives way
// only when allow_force_aaaa is set. Without a companion measurement nothing changes.
bool DualStackSoaAtReply(uint16_t qtype, int own_ping, int companion_ping,
                         const DualStackSettings& s);

// The cached answer of the other family, as far as the rule needs it.
struct OtherFamilyEntry {
  bool present = false;
  bool soa = false;  // a negative answer: no address of that family
  int speed = -1;
};

// At a cache hit of an address answer measured `hit_speed`: true when a SOA must be given
// instead, because the other family's cached answer is an address measured faster by more than
// the threshold (or this one was never measured).
bool DualStackSoaOnHit(uint16_t qtype, int hit_speed, const OtherFamilyEntry& other,
                       const DualStackSettings& s);

// The companion's qtype for an A or AAAA query.
uint16_t OtherFamily(uint16_t qtype);

// Per-request state.
struct DualStackState {
  uint64_t parent = 0;      // companion: the request it measures the other family for
  bool waiting = false;     // parent: the companion has not reported yet
  bool reported = false;    // parent: the companion's result is in
  int companion_ping = -1;  // parent: the companion's best ping (below 1: none)
  bool forced_soa = false;  // the reply is a SOA chosen by the dual-stack rule
};

}  // namespace zc::dns
