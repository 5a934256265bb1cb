// Decisions on upstream answers that need no engine state: the vote on loopback and zero
// addresses, the address kept when no speed result exists, how long failed answers are cached,
// and the separate cache entry for a CNAME target.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zc::dns {

// How long an answer with a failure rcode (SERVFAIL, REFUSED, ...) or NXDOMAIN stays cached.
inline constexpr int kFailedAnswerCacheTtl = 60;

// Whether an encoded reply carries a failure rcode (anything but NOERROR and NXDOMAIN). Such an
// answer is never served stale: once its minute is over the upstream is asked again.
inline bool IsFailureAnswer(const std::vector<uint8_t>& packet) {
  if (packet.size() < 4) return false;
  int rcode = packet[3] & 0x0F;
  return rcode != 0 && rcode != 3;
}

// Whether an IPv4 address is one a hijacking or broken upstream hands out instead of the real
// one (0.0.0.0/8, 127.0.0.0/8).
inline bool IsZeroOrLoopbackV4(const uint8_t addr[4]) {
  return addr[0] == 0 || addr[0] == 127;
}

// Whether the `count`-th zero or loopback address received for one request is accepted when
// `servers` upstream servers are configured: more than half of them, rounded up, must have
// said so. With fewer servers than that vote needs (one or three servers), the answer is
// accepted once every server could have given it: a single upstream has nobody to outvote it.
bool ZeroOrLoopbackAccepted(int count, size_t servers);

// The address kept for a reply when no speed result exists: the one with the highest hit count
// (upstream answers that carried it) when that count is at least 2, else the one seen last.
// T has `family`, `hits` and `last_seen`. Index into `seen`, or -1 when none has `family`.
template <typename T>
int PickWithoutSpeed(const std::vector<T>& seen, int family) {
  int best = -1;
  int recent = -1;
  for (size_t i = 0; i < seen.size(); i++) {
    if (seen[i].family != family) continue;
    int idx = static_cast<int>(i);
    if (best < 0 || seen[i].hits > seen[best].hits) best = idx;
    if (recent < 0 || seen[i].last_seen > seen[recent].last_seen) recent = idx;
  }
  if (best >= 0 && seen[best].hits >= 2) return best;
  return recent;
}

// The answer of `packet` (an encoded NOERROR reply to `qname`/`qtype`) re-addressed to the end
// of its CNAME chain: a reply whose question is the chain's target and whose answer holds the
// records of `qtype` owned by it. Nothing when the answer has no CNAME from `qname`, or no
// record of `qtype` under the target. `target_lower` receives the target in lower case.
std::optional<std::vector<uint8_t>> CnameTargetAnswer(const std::vector<uint8_t>& packet,
                                                      const std::string& qname, uint16_t qtype,
                                                      std::string* target_lower);

}  // namespace zc::dns
