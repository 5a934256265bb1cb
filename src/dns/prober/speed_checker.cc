#include "dns/prober/speed_checker.h"

#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "dns/prober/speed_rules.h"
#include "utils/log.h"
#include "utils/timescale.h"

namespace zc::dns {

namespace {

using std::chrono::duration_cast;
using std::chrono::microseconds;
using std::chrono::milliseconds;

// Errors that say the address cannot be reached at all, by any kind of probe.
bool NoRoute(int error) {
  return error == ENETUNREACH || error == EHOSTUNREACH || error == EADDRNOTAVAIL ||
         error == EAFNOSUPPORT;
}

void ToPeer(const SpeedProbe& probe, uint16_t port, sockaddr_storage* peer, socklen_t* len) {
  *peer = sockaddr_storage{};
  if (probe.family == AF_INET6) {
    auto& a = reinterpret_cast<sockaddr_in6&>(*peer);
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    std::memcpy(&a.sin6_addr, probe.addr, 16);
    *len = sizeof a;
  } else {
    auto& a = reinterpret_cast<sockaddr_in&>(*peer);
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    std::memcpy(&a.sin_addr, probe.addr, 4);
    *len = sizeof a;
  }
}

bool SameAddress(const SpeedProbe& a, const SpeedProbe& b) {
  return a.family == b.family && std::memcmp(a.addr, b.addr, a.family == AF_INET6 ? 16 : 4) == 0;
}

bool HasKind(const SpeedCheckOrders& orders, SpeedCheckOrder::Kind kind, uint16_t* port) {
  for (int i = 0; i < kMaxSpeedCheckOrders; i++) {
    if (orders[i].kind == SpeedCheckOrder::Kind::kNone) return false;
    if (orders[i].kind == kind) {
      if (port) *port = orders[i].port;
      return true;
    }
  }
  return false;
}

}  // namespace

ProbeSpeedChecker::ProbeSpeedChecker(FastPingOptions options) : ping_(options) {}

ProbeSpeedChecker::~ProbeSpeedChecker() {
  Detach();
}

bool ProbeSpeedChecker::Attach(uint64_t generation, const SpeedCheckOrders& orders,
                               Deliver deliver) {
  Detach();
  std::string error;
  if (!ping_.Init(&error)) {
    LogOut(LL_ERR, "start ping failed.\n");
    return false;
  }
  {
    std::lock_guard lock(mutex_);
    attached_ = true;
    generation_ = generation;
    orders_ = orders;
    deliver_ = std::move(deliver);
    icmp_off_logged_ = false;
    ipv6_checked_ = false;
  }
  ProbeIpv6();
  return true;
}

void ProbeSpeedChecker::Detach() {
  {
    std::lock_guard lock(mutex_);
    if (!attached_) return;
    attached_ = false;
    deliver_ = nullptr;
    sessions_.clear();
    ipv6_timer_ = 0;
  }
  // Probes and timers still open are dropped with the thread; their callbacks find no session.
  ping_.Exit();
}

bool ProbeSpeedChecker::Available() const {
  std::lock_guard lock(mutex_);
  return attached_ && ping_.running();
}

size_t ProbeSpeedChecker::sessions() const {
  std::lock_guard lock(mutex_);
  return sessions_.size();
}

bool ProbeSpeedChecker::Start(const SpeedCheckStart& start) {
  std::lock_guard lock(mutex_);
  if (!attached_ || start.handle.generation != generation_) return false;
  auto [it, created] = sessions_.try_emplace(start.handle.id);
  Session& s = it->second;
  if (created) {
    s.serial = ++last_serial_;
    s.handle = start.handle;
    s.started = start.started;
    s.orders = start.orders;
    s.may_answer_early = start.may_answer_early;
  }
  Clock::time_point now = Clock::now();
  for (const SpeedProbe& probe : start.probes) {
    bool known = std::any_of(s.addresses.begin(), s.addresses.end(),
                             [&](const Address& a) { return SameAddress(a.probe, probe); });
    if (known) continue;
    s.addresses.push_back(Address{probe});
    Launch(s, s.addresses.size() - 1, now);
  }
  if (created) ScheduleRound(s);
  bool waiting = std::any_of(s.addresses.begin(), s.addresses.end(),
                             [](const Address& a) { return a.time < 1 && !a.unreachable; });
  if (!s.pings.empty() || (s.timer != 0 && waiting)) return true;
  if (!created) {
    End(s, false);  // the earlier addresses' checks are over too: the last result follows
    return true;
  }
  // Nothing could be started and nothing will be: the caller answers without waiting.
  if (s.timer) ping_.CancelTimer(s.timer);
  sessions_.erase(it);
  return false;
}

void ProbeSpeedChecker::Cancel(DnsRequestHandle handle) {
  std::lock_guard lock(mutex_);
  auto it = sessions_.find(handle.id);
  if (it == sessions_.end() || it->second.handle.generation != handle.generation) return;
  for (uint64_t ping : it->second.pings) ping_.Stop(ping);
  if (it->second.timer) ping_.CancelTimer(it->second.timer);
  sessions_.erase(it);
}

void ProbeSpeedChecker::Launch(Session& s, size_t index, Clock::time_point now) {
  Address& a = s.addresses[index];
  SpeedCheckOrder order = OrderForRound(s.orders, s.round);
  if (order.kind == SpeedCheckOrder::Kind::kNone || a.unreachable || a.time > 0) return;
  if (s.launched >= kMaxProbesPerRequest) {
    a.unreachable = true;  // not measured, and not waited for
    return;
  }
  if (a.probe.family == AF_INET6 && !ipv6_) {
    a.unreachable = true;
    return;
  }
  PingRequest request;
  bool tcp = order.kind == SpeedCheckOrder::Kind::kTcp;
  request.kind = tcp ? ProbeKind::kTcp : ProbeKind::kIcmp;
  ToPeer(a.probe, tcp ? order.port : 0, &request.peer, &request.peer_len);
  auto elapsed = duration_cast<milliseconds>(now - s.started);
  request.timeout = CheckTimeout(elapsed, zc::Scaled(kCheckBudget), zc::Scaled(kCheckMinTimeout));
  request.count = 1;
  uint64_t id = s.handle.id;
  uint64_t serial = s.serial;
  request.callback = [this, id, serial, index](const PingResult& r) {
    OnPing(id, serial, index, r);
  };
  std::string text = PeerText(request.peer, false);
  if (tcp) {
    LogOut(LL_DEBUG, "ping %s:%d with tcp, order: %d, timeout: %d", text.c_str(), order.port,
           s.round, static_cast<int>(request.timeout.count()));
  } else {
    LogOut(LL_DEBUG, "ping %s with icmp, order: %d, timeout: %d", text.c_str(), s.round,
           static_cast<int>(request.timeout.count()));
  }
  int error = 0;
  uint64_t handle = ping_.Start(std::move(request), &error);
  s.launched++;
  if (handle == 0) {
    if (a.probe.family == AF_INET6 && Ipv6LostBy(error) && ipv6_) MarkIpv6Lost();
    if (NoRoute(error)) a.unreachable = true;
    return;
  }
  s.pings.push_back(handle);
}

void ProbeSpeedChecker::ScheduleRound(Session& s) {
  if (OrderForRound(s.orders, s.round + 1).kind == SpeedCheckOrder::Kind::kNone) return;
  auto at = s.started + zc::Scaled(NextRoundAfter(s.round));
  uint64_t id = s.handle.id;
  uint64_t serial = s.serial;
  s.timer = ping_.Schedule(at, [this, id, serial] { OnRound(id, serial); });
}

void ProbeSpeedChecker::OnRound(uint64_t request, uint64_t serial) {
  std::lock_guard lock(mutex_);
  auto it = sessions_.find(request);
  if (it == sessions_.end() || it->second.serial != serial) return;
  Session& s = it->second;
  s.timer = 0;
  s.round++;
  Clock::time_point now = Clock::now();
  for (size_t i = 0; i < s.addresses.size(); i++) Launch(s, i, now);
  ScheduleRound(s);
  MaybeEnd(s);
}

void ProbeSpeedChecker::OnPing(uint64_t request, uint64_t serial, size_t index,
                               const PingResult& result) {
  std::lock_guard lock(mutex_);
  auto it = sessions_.find(request);
  if (it == sessions_.end() || it->second.serial != serial) return;
  Session& s = it->second;
  Address& a = s.addresses[index];
  switch (result.event) {
    case PingEvent::kReply: {
      int time = RoundTripTenths(result.rtt);
      if (a.time < 1 || time < a.time) a.time = time;
      auto since = duration_cast<microseconds>(Clock::now() - s.started);
      if (s.may_answer_early && AnswerNow(time, since)) {
        End(s, true);
      } else {
        Publish(s, false, false);
      }
      return;
    }
    case PingEvent::kTimeout:
      LogOut(LL_DEBUG, "ping %s timeout", result.host.c_str());
      return;
    case PingEvent::kError:
      if (a.probe.family == AF_INET6 && Ipv6LostBy(result.error) && ipv6_) MarkIpv6Lost();
      if (NoRoute(result.error)) a.unreachable = true;
      return;
    case PingEvent::kEnd:
      s.pings.erase(std::remove(s.pings.begin(), s.pings.end(), result.handle), s.pings.end());
      MaybeEnd(s);
      return;
  }
}

bool ProbeSpeedChecker::MaybeEnd(Session& s) {
  if (!s.pings.empty()) return false;
  bool waiting = std::any_of(s.addresses.begin(), s.addresses.end(),
                             [](const Address& a) { return a.time < 1 && !a.unreachable; });
  if (s.timer != 0 && waiting) return false;  // the next round may still measure something
  End(s, false);
  return true;
}

void ProbeSpeedChecker::End(Session& s, bool answer_now) {
  for (uint64_t ping : s.pings) ping_.Stop(ping);
  if (s.timer) ping_.CancelTimer(s.timer);
  Publish(s, answer_now, true);
  sessions_.erase(s.handle.id);
}

void ProbeSpeedChecker::Publish(const Session& s, bool answer_now, bool last) {
  if (!deliver_) return;
  std::vector<MeasuredAddress> measured;
  measured.reserve(s.addresses.size());
  for (const Address& a : s.addresses) measured.push_back(MeasuredAddress{a.probe, a.time});
  SpeedResult result;
  result.handle = s.handle;
  std::vector<size_t> ranked = RankForReply(measured);
  for (size_t i : ranked) result.ranked.push_back(measured[i].address);
  if (!ranked.empty()) result.best_time = measured[ranked[0]].time;
  result.answer_now = answer_now;
  result.last = last;
  deliver_(std::move(result));
}

void ProbeSpeedChecker::MarkIpv6Lost() {
  ipv6_ = false;
  LogOut(LL_WARN, "IPV6 is not ready, disable all ipv6 feature, recheck after %ds",
         static_cast<int>(kIpv6RecheckEvery.count()));
  ScheduleIpv6Probe();
}

void ProbeSpeedChecker::ScheduleIpv6Probe() {
  if (ipv6_timer_ != 0) return;
  ipv6_timer_ = ping_.Schedule(Clock::now() + zc::Scaled(kIpv6RecheckEvery), [this] {
    {
      std::lock_guard lock(mutex_);
      if (!attached_) return;
      ipv6_timer_ = 0;
    }
    ProbeIpv6();
  });
}

int ProbeSpeedChecker::StartIpv6Probe(ProbeKind kind, uint16_t port) {
  PingRequest request;
  request.kind = kind;
  ParsePeer(kIpv6ProbeAddress, port, &request.peer, &request.peer_len);
  request.timeout = zc::Scaled(kIpv6ProbeTimeout);
  request.callback = [](const PingResult&) {};
  int error = 0;
  uint64_t handle = ping_.Start(std::move(request), &error);
  // Only whether it could leave matters; the probe itself is not needed.
  if (handle != 0) ping_.Stop(handle);
  return handle != 0 ? 0 : error;
}

// Probes IPv6 reachability now, and again every 180 s while it is not reachable.
void ProbeSpeedChecker::ProbeIpv6() {
  SpeedCheckOrders orders;
  {
    std::lock_guard lock(mutex_);
    if (!attached_) return;
    orders = orders_;
  }
  uint16_t tcp_port = 0;
  bool ping = HasKind(orders, SpeedCheckOrder::Kind::kPing, nullptr);
  bool tcp = HasKind(orders, SpeedCheckOrder::Kind::kTcp, &tcp_port);
  if (!ping && !tcp) return;  // no checks at all: nothing depends on the answer
  Ipv6Probe verdict = Ipv6Probe::kUndecided;
  if (ping) {
    verdict = ClassifyIpv6Probe(StartIpv6Probe(ProbeKind::kIcmp, 0));
  } else {
    std::lock_guard lock(mutex_);
    if (!icmp_off_logged_) LogOut(LL_INFO, "ICMP ping is disabled, no ipv6 icmp check feature");
    icmp_off_logged_ = true;
  }
  if (verdict == Ipv6Probe::kUndecided && tcp) {
    verdict = ClassifyIpv6Probe(StartIpv6Probe(ProbeKind::kTcp, tcp_port));
  }
  std::lock_guard lock(mutex_);
  if (!attached_) return;
  bool reachable = verdict == Ipv6Probe::kReachable;
  if (!ipv6_checked_ || reachable != ipv6_) {
    LogOut(LL_NOTICE, reachable ? "IPV6 is ready, enable IPV6 features"
                                : "IPV6 is not ready, disable IPV6 features");
  }
  ipv6_checked_ = true;
  ipv6_ = reachable;
  if (!reachable) ScheduleIpv6Probe();
}

}  // namespace zc::dns
