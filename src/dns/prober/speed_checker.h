// The engine's speed checks over the prober: for each request, every address its upstream
// answers carried is probed with the request's check orders, one order per round, until the
// reply can go. Results go to the engine through the function given at Attach().
//
// Rounds: round 0 starts with the addresses; while an address still has no measurement, round
// n + 1 starts (n + 1) × 250 ms after the request with the next order, alongside what is still
// in flight. Each check's time-out is what is left of 950 ms since the request, at least 200 ms.
// An address with no route is not probed again by other kinds (the route is the same for all).
// At most 16 probes go out per request. A request's checks end when every address is measured or
// unreachable and nothing is in flight, when the orders are used up, or at the first measurement
// that answers at once; the last result carries `last`.
//
// IPv6: probed at Attach() (an echo, else a TCP connect, towards 2001::; only whether it can be
// sent matters) and again every 180 s while unreachable; a check of an IPv6 address that fails
// for want of an address or permission marks it unreachable.
//
// Threads: Attach/Detach/Start/Cancel on the engine thread (any one thread); results are made on
// the prober's thread under this checker's lock, so no result is delivered after Detach().
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "dns/common/engine_seams.h"
#include "dns/prober/fast_ping.h"

namespace zc::dns {

class ProbeSpeedChecker : public SpeedChecker {
 public:
  explicit ProbeSpeedChecker(FastPingOptions options = {});
  ~ProbeSpeedChecker() override;
  ProbeSpeedChecker(const ProbeSpeedChecker&) = delete;
  ProbeSpeedChecker& operator=(const ProbeSpeedChecker&) = delete;

  bool Attach(uint64_t generation, const SpeedCheckOrders& orders, Deliver deliver) override;
  void Detach() override;
  bool Available() const override;
  bool Ipv6Available() const override { return ipv6_; }
  bool Start(const SpeedCheckStart& start) override;
  void Cancel(DnsRequestHandle handle) override;

  // For tests and logs.
  size_t sessions() const;
  FastPingCounters counters() const { return ping_.counters(); }

 private:
  using Clock = std::chrono::steady_clock;
  struct Address {
    SpeedProbe probe;
    int time = -1;             // best measurement, tenths of a millisecond
    bool unreachable = false;  // no route: no kind of probe can reach it
  };
  struct Session {
    uint64_t serial = 0;
    DnsRequestHandle handle;
    Clock::time_point started;
    SpeedCheckOrders orders{};
    bool may_answer_early = true;
    int round = 0;
    std::vector<Address> addresses;
    std::vector<uint64_t> pings;  // probes in flight
    int launched = 0;             // probes started over the request's life
    uint64_t timer = 0;           // the next round
  };

  // All under mutex_.
  void Launch(Session& s, size_t index, Clock::time_point now);
  void OnPing(uint64_t request, uint64_t serial, size_t index, const PingResult& result);
  void OnRound(uint64_t request, uint64_t serial);
  void ScheduleRound(Session& s);
  // Ends the session when nothing more can come; true when it ended (`s` is then gone).
  bool MaybeEnd(Session& s);
  void End(Session& s, bool answer_now);
  void Publish(const Session& s, bool answer_now, bool last);
  void MarkIpv6Lost();
  void ScheduleIpv6Probe();

  void ProbeIpv6();
  int StartIpv6Probe(ProbeKind kind, uint16_t port);

  FastPing ping_;
  mutable std::mutex mutex_;
  bool attached_ = false;
  uint64_t generation_ = 0;
  SpeedCheckOrders orders_{};
  Deliver deliver_;
  std::unordered_map<uint64_t, Session> sessions_;
  uint64_t last_serial_ = 0;
  uint64_t ipv6_timer_ = 0;
  bool icmp_off_logged_ = false;
  bool ipv6_checked_ = false;
  std::atomic<bool> ipv6_{true};
};

}  // namespace zc::dns
