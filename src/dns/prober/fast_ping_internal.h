// Inside the prober: the probe record and the event tags shared by its two source files.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "dns/prober/fast_ping.h"

namespace zc::dns {

inline constexpr uint64_t kTagShift = 56;
inline constexpr uint64_t kTagWake = 1ull << kTagShift;
inline constexpr uint64_t kTagShared = 2ull << kTagShift;
inline constexpr uint64_t kTagTcp = 3ull << kTagShift;
inline constexpr uint64_t kTagMask = 0xFFull << kTagShift;
inline constexpr size_t kReceiveBuffer = 1500;
inline constexpr size_t kControlBuffer = 512;
// Sequence numbers of one shared socket cover at most this many probes in flight.
inline constexpr size_t kSequenceSpace = 65536;

struct FastPing::Probe {
  uint64_t handle = 0;
  ProbeKind kind = ProbeKind::kIcmp;
  Slot slot = kSlots;  // the shared socket of ICMP and UDP probes
  sockaddr_storage peer{};
  socklen_t peer_len = 0;
  std::string host;
  int count = 1;
  std::chrono::milliseconds interval{};
  std::chrono::milliseconds timeout{};
  PingCallback callback;
  uint64_t token = 0;

  int sent = 0;
  uint16_t seq = 0;
  bool waiting = false;  // an echo (or connect) is out and not yet answered
  Clock::time_point sent_at;
  Clock::time_point next_send;
  UniqueFd tcp;
  bool stop_requested = false;
  bool has_deadline = false;
  Clock::time_point deadline;
};

}  // namespace zc::dns
