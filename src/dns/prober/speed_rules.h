// The rules of the speed checks, free of sockets and threads: the time budget of a check, which
// check order each round uses and when the next round is due, when a measurement is good
// enough to answer with, which addresses go into the reply, and what a failed IPv6 probe
// means.
//
// Times measured on the network stay in real units (round trips, time since the request
// started); the budgets that become waits are passed in already scaled.
#pragma once

#include <chrono>
#include <cstddef>
#include <vector>

#include "dns/common/engine_seams.h"

namespace zc::dns {

// Every check of a request should be over this long after the request started...
inline constexpr std::chrono::milliseconds kCheckBudget{950};
// ...but a check started late still gets at least this long.
inline constexpr std::chrono::milliseconds kCheckMinTimeout{200};
// Round n + 1 of the checks starts (n + 1) steps after the request when nothing answered.
inline constexpr std::chrono::milliseconds kCheckRoundStep{250};
// Probes one request may cause, over all its addresses and rounds: an answer with a long list
// of addresses must not turn one query into a flood.
inline constexpr int kMaxProbesPerRequest = 16;
// A round trip below this answers at once (tenths of a millisecond: 10 ms).
inline constexpr int kFastAnswerTenths = 100;
// The IPv6 reachability probe: its time-out, and how often it runs again while IPv6 is down.
inline constexpr std::chrono::milliseconds kIpv6ProbeTimeout{100};
inline constexpr std::chrono::seconds kIpv6RecheckEvery{180};
// The address the IPv6 reachability probe is aimed at (no reply is needed, only a route).
inline constexpr const char* kIpv6ProbeAddress = "2001::";

// Time-out of a check started `elapsed` after its request: what is left of `budget`, at least
// `floor` and at most `budget`.
std::chrono::milliseconds CheckTimeout(std::chrono::milliseconds elapsed,
                                       std::chrono::milliseconds budget = kCheckBudget,
                                       std::chrono::milliseconds floor = kCheckMinTimeout);

// The order round `round` (0, 1, 2) uses; kNone when the orders are used up.
SpeedCheckOrder OrderForRound(const SpeedCheckOrders& orders, int round);

// How long after the request round `round` + 1 starts, if the checks still wait for results.
std::chrono::milliseconds NextRoundAfter(int round,
                                         std::chrono::milliseconds step = kCheckRoundStep);

// A round trip in tenths of a millisecond, as the engine keeps it. A measured reply is never
// below 1, since below 1 means "no measurement".
int RoundTripTenths(std::chrono::microseconds rtt);

// Whether a measurement of `rtt_tenths`, arriving `since_start` after the request started, lets
// the reply go now: the address is very close, or the request has already waited longer than
// that address needs (so a slower answer would not be worth more waiting).
bool AnswerNow(int rtt_tenths, std::chrono::microseconds since_start);

// An address of a request with its measurement (tenths of a millisecond, negative: none).
struct MeasuredAddress {
  SpeedProbe address;
  int time = -1;
};

// Indexes of the addresses for the reply: the fastest first (the earlier one on a tie), then
// every other measured address whose time is at most the fastest plus a tenth of it, or below
// 10 ms, in the order they were received. Empty when nothing was measured.
std::vector<size_t> RankForReply(const std::vector<MeasuredAddress>& addresses);

enum class Ipv6Probe : uint8_t {
  kReachable,    // the probe could be sent
  kUnreachable,  // no route or no source address: IPv6 is not usable
  kUndecided,    // the probe itself could not run (permissions, resources): try another kind
};
// What starting a probe towards the IPv6 probe address with result `error` (0: started) says.
Ipv6Probe ClassifyIpv6Probe(int error);

// Whether a failed check of an IPv6 address shows that IPv6 went away.
bool Ipv6LostBy(int error);

}  // namespace zc::dns
