// The prober's procedural entry points, over one process-wide prober: for callers that do not
// own a FastPing of their own (diagnostics, the command line). The DNS engine's speed checks use
// their own instance through ProbeSpeedChecker.
#pragma once

#include <sys/socket.h>
#include <sys/time.h>

#include <cstdint>

namespace zc::dns {

// Result codes given to the callback.
inline constexpr int kPingResultReply = 1;
inline constexpr int kPingResultTimeout = 2;
inline constexpr int kPingResultError = 3;
inline constexpr int kPingResultEnd = 4;

// Probe types: 1 ICMP echo, 2 TCP connect (host "addr:port"), 3 UDP probe (host "addr:port").
using fast_ping_result_fn = void (*)(uint64_t handle, const char* host, int result,
                                     const sockaddr* addr, socklen_t addr_len, int seqno, int ttl,
                                     const timeval* rtt, int error, void* arg);

// 0, or -1 when the epoll instance or the work thread could not be made.
int fast_ping_init();
// Stops the work thread (joined) and frees every probe.
void fast_ping_exit();
// A probe handle, or 0 with errno set (EADDRNOTAVAIL / ENETUNREACH: no route for the family).
// `interval_ms` and `timeout_ms` are real times; the wait follows the agent's time scale.
uint64_t fast_ping_start(int type, const char* host, int count, int interval_ms, int timeout_ms,
                         fast_ping_result_fn callback, void* arg);
// Ends a probe; its callback gets the end result once.
int fast_ping_stop(uint64_t handle);

}  // namespace zc::dns
