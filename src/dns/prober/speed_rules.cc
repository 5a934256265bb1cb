#include "dns/prober/speed_rules.h"

#include <algorithm>
#include <cerrno>

namespace zc::dns {

std::chrono::milliseconds CheckTimeout(std::chrono::milliseconds elapsed,
                                       std::chrono::milliseconds budget,
                                       std::chrono::milliseconds floor) {
  return std::clamp(budget - elapsed, std::min(floor, budget), budget);
}

SpeedCheckOrder OrderForRound(const SpeedCheckOrders& orders, int round) {
  if (round < 0 || round >= kMaxSpeedCheckOrders) return {};
  // A kNone entry ends the list: nothing after it is used.
  for (int i = 0; i <= round; i++) {
    if (orders[i].kind == SpeedCheckOrder::Kind::kNone) return {};
  }
  return orders[round];
}

std::chrono::milliseconds NextRoundAfter(int round, std::chrono::milliseconds step) {
  return step * (round + 1);
}

int RoundTripTenths(std::chrono::microseconds rtt) {
  long long tenths = rtt.count() / 100;
  return static_cast<int>(std::clamp<long long>(tenths, 1, 1000000000LL));
}

bool AnswerNow(int rtt_tenths, std::chrono::microseconds since_start) {
  if (rtt_tenths < 1) return false;
  if (rtt_tenths < kFastAnswerTenths) return true;
  // since_start > 1.25 × rtt, with the round trip in tenths of a millisecond (100 µs).
  return since_start.count() * 4 > static_cast<long long>(rtt_tenths) * 100 * 5;
}

std::vector<size_t> RankForReply(const std::vector<MeasuredAddress>& addresses) {
  std::vector<size_t> out;
  size_t best = addresses.size();
  for (size_t i = 0; i < addresses.size(); i++) {
    if (addresses[i].time < 1) continue;
    if (best == addresses.size() || addresses[i].time < addresses[best].time) best = i;
  }
  if (best == addresses.size()) return out;
  out.push_back(best);
  int best_time = addresses[best].time;
  for (size_t i = 0; i < addresses.size(); i++) {
    int t = addresses[i].time;
    if (i == best || t < 1) continue;
    if (t <= best_time + best_time / 10 || t < kFastAnswerTenths) out.push_back(i);
  }
  return out;
}

Ipv6Probe ClassifyIpv6Probe(int error) {
  switch (error) {
    case 0:
    case ECONNREFUSED:  // someone answered: the route is there
      return Ipv6Probe::kReachable;
    case EADDRNOTAVAIL:
    case ENETUNREACH:
    case EHOSTUNREACH:
    case EAFNOSUPPORT:
      return Ipv6Probe::kUnreachable;
    default:
      return Ipv6Probe::kUndecided;
  }
}

bool Ipv6LostBy(int error) {
  return error == EADDRNOTAVAIL || error == EACCES;
}

}  // namespace zc::dns
