// The prober: measures how fast an address answers an ICMP echo, a TCP connect or a small UDP
// probe, on its own work thread with its own epoll.
//
// Start() sends a probe's first echo (or starts its connect) on the calling thread, so a probe
// that cannot even leave (no route, no source address) fails right there with its errno; every
// later event runs on the work thread, which also runs the callbacks. Per probe the callback
// sees, in order, one kReply / kTimeout / kError per echo and finally exactly one kEnd.
//
// Threads: Start(), Stop(), Schedule() and CancelTimer() may be called from any thread,
// including from a callback or a timer task. Callbacks and timer tasks run without the
// prober's lock held. After Exit() returns no callback runs; probes still open are dropped
// without their kEnd.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "dns/common/dns_handles.h"
#include "dns/prober/probe_sockets.h"

namespace zc::dns {

enum class ProbeKind : uint8_t { kIcmp = 1, kTcp = 2, kUdp = 3 };

enum class PingEvent : uint8_t { kReply = 1, kTimeout = 2, kError = 3, kEnd = 4 };

// Limits of the prober.
inline constexpr size_t kMaxProbes = 4096;
inline constexpr int kMaxPingEvents = 128;
inline constexpr int kMaxReadsPerWake = 64;
inline constexpr std::chrono::milliseconds kPingPollRetry{100};

struct PingResult {
  uint64_t handle = 0;
  std::string host;  // the address, with ":port" for TCP probes
  PingEvent event = PingEvent::kEnd;
  sockaddr_storage peer{};
  socklen_t peer_len = 0;
  int seq = 0;
  int ttl = -1;                     // of the reply, when known
  std::chrono::microseconds rtt{};  // kReply
  int error = 0;                    // kError
};

using PingCallback = std::function<void(const PingResult&)>;

struct PingRequest {
  ProbeKind kind = ProbeKind::kIcmp;  // the family follows the address
  sockaddr_storage peer{};            // the port counts for TCP and UDP probes
  socklen_t peer_len = 0;
  int count = 1;  // echoes to send
  std::chrono::milliseconds interval{1000};
  std::chrono::milliseconds timeout{1000};  // per echo; waits as given (callers scale them)
  PingCallback callback;
};

struct FastPingOptions {
  // Use the unprivileged datagram ICMP socket even when a raw one could be opened.
  bool force_datagram_icmp = false;
};

struct FastPingCounters {
  uint64_t sent = 0;
  uint64_t replies = 0;
  uint64_t timeouts = 0;
  uint64_t errors = 0;
  uint64_t stray = 0;  // received messages that matched no probe
};

class FastPing {
 public:
  using Clock = std::chrono::steady_clock;

  explicit FastPing(FastPingOptions options = {});
  ~FastPing();
  FastPing(const FastPing&) = delete;
  FastPing& operator=(const FastPing&) = delete;

  // Creates the epoll instance and starts the work thread. False with *error.
  bool Init(std::string* error);
  // Stops and joins the work thread, closes every socket and drops every probe.
  void Exit();
  bool running() const { return running_; }

  // Starts a probe. Returns its handle, or 0 with *error set to the errno that stopped it
  // (EADDRNOTAVAIL / ENETUNREACH: no route for the family; EACCES: ICMP not permitted).
  uint64_t Start(PingRequest request, int* error);
  // Ends a probe; its callback gets kEnd (once). Unknown or ended handles are ignored.
  void Stop(uint64_t handle);

  // Runs `task` on the work thread at `when`. Returns an id for CancelTimer().
  uint64_t Schedule(Clock::time_point when, std::function<void()> task);
  void CancelTimer(uint64_t id);

  // Whether the ICMP socket of `family` is a raw one (false: datagram, or not opened yet).
  bool IcmpRaw(int family) const;
  FastPingCounters counters() const;
  size_t probes() const;

 private:
  enum Slot : uint8_t { kIcmp4, kIcmp6, kUdp4, kUdp6, kSlots };
  struct Probe;
  struct Shared {
    UniqueFd fd;
    bool raw = false;
    uint16_t ident = 0;
    uint16_t next_seq = 0;
    std::unordered_map<uint16_t, uint64_t> by_seq;  // echo sequence → probe handle
  };
  using Deliveries = std::vector<std::pair<PingCallback, PingResult>>;

  void Run();
  int OpenShared(Slot slot, bool log_failure = true);
  int SendNext(Probe& p, Clock::time_point now);
  void Finish(Probe& p, PingEvent event, int error, Deliveries* out);
  void Report(Probe& p, PingEvent event, Deliveries* out);
  void SetDeadline(Probe& p, Clock::time_point when);
  void ReadShared(Slot slot, Deliveries* out);
  void ReadSharedErrors(Slot slot, Deliveries* out);
  void OnShared(Slot slot, const uint8_t* data, size_t len, const sockaddr_storage& from, int ttl,
                Deliveries* out);
  void OnTcp(uint64_t handle, Deliveries* out);
  void WalkDue(Clock::time_point now, Deliveries* out);
  int NextWaitMs(Clock::time_point now);
  void Wake();

  FastPingOptions options_;
  mutable std::mutex mutex_;
  UniqueFd epoll_;
  UniqueFd wake_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> running_{false};

  // Under mutex_.
  Shared shared_[kSlots];
  bool icmp6_denied_ = false;  // ICMPv6 was refused for lack of permission
  std::unordered_map<uint64_t, std::unique_ptr<Probe>> probes_;
  std::set<std::pair<Clock::time_point, uint64_t>> deadlines_;
  std::map<std::pair<Clock::time_point, uint64_t>, std::function<void()>> timers_;
  std::unordered_map<uint64_t, Clock::time_point> timer_at_;
  uint64_t last_handle_ = 0;
  uint64_t last_timer_ = 0;
  uint64_t token_base_ = 0;
  FastPingCounters counters_;
};

}  // namespace zc::dns
