#include "dns/prober/fast_ping.h"

#include <netinet/in.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "dns/prober/fast_ping_internal.h"
#include "dns/prober/probe_packets.h"
#include "utils/log.h"
#include "utils/timescale.h"
#include "utils/uuid.h"

namespace zc::dns {

FastPing::FastPing(FastPingOptions options) : options_(options) {}

FastPing::~FastPing() {
  Exit();
}

bool FastPing::Init(std::string* error) {
  std::lock_guard lock(mutex_);
  if (running_) {
    *error = "already running";
    return false;
  }
  epoll_.Reset(epoll_create1(EPOLL_CLOEXEC));
  wake_.Reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!epoll_.valid() || !wake_.valid()) {
    *error = std::string("create epoll failed, ") + std::strerror(errno);
    LogOut(LL_ERR, "create epoll failed, %s\n", std::strerror(errno));
    epoll_.Reset();
    wake_.Reset();
    return false;
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kTagWake;
  if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, wake_.get(), &ev) != 0) {
    *error = std::string("epoll ctl failed, ") + std::strerror(errno);
    epoll_.Reset();
    wake_.Reset();
    return false;
  }
  token_base_ = RandomU64();
  icmp6_denied_ = false;
  // The ICMP sockets are opened now, so the prober holds the same descriptors whatever it has
  // probed; one that cannot be opened (no permission for ICMP: the engine then checks by TCP
  // only) is tried again, and reported, at its first probe.
  OpenShared(kIcmp4, false);
  OpenShared(kIcmp6, false);
  stop_ = false;
  try {
    // The engine's log follows the engine onto this thread.
    thread_ = std::thread([this, tap = LogThreadTap()] {
      LogSetThreadTap(tap);
      Run();
    });
  } catch (const std::system_error& e) {
    *error = std::string("create ping work thread failed, ") + e.what();
    LogOut(LL_ERR, "create ping work thread failed, %s\n", e.what());
    epoll_.Reset();
    wake_.Reset();
    return false;
  }
  running_ = true;
  return true;
}

void FastPing::Exit() {
  stop_ = true;
  if (thread_.joinable()) {
    Wake();
    thread_.join();
  }
  std::lock_guard lock(mutex_);
  for (auto& [handle, p] : probes_) CloseWithReset(&p->tcp);
  probes_.clear();
  deadlines_.clear();
  timers_.clear();
  timer_at_.clear();
  for (Shared& s : shared_) s = Shared{};
  wake_.Reset();
  epoll_.Reset();
  running_ = false;
}

void FastPing::Wake() {
  uint64_t one = 1;
  if (wake_.valid() && write(wake_.get(), &one, sizeof one) < 0 && errno != EAGAIN) {
    LogOut(LL_ERR, "%s: wake failed: %s", __func__, std::strerror(errno));
  }
}

int FastPing::OpenShared(Slot slot, bool log_failure) {
  Shared& s = shared_[slot];
  if (s.fd.valid()) return 0;
  int family = slot == kIcmp4 || slot == kUdp4 ? AF_INET : AF_INET6;
  if (slot == kIcmp4 || slot == kIcmp6) {
    IcmpSocket icmp;
    uint16_t raw_ident = static_cast<uint16_t>(token_base_ >> 48);
    if (!OpenIcmpSocket(family, options_.force_datagram_icmp, raw_ident, &icmp)) {
      int err = errno;
      if (log_failure) LogOut(LL_ERR, "create icmp socket failed, %s\n", std::strerror(err));
      return err;
    }
    s.fd = std::move(icmp.fd);
    s.raw = icmp.raw;
    s.ident = icmp.ident;
  } else if (!OpenUdpSocket(family, &s.fd)) {
    int err = errno;
    LogOut(LL_ERR, "create udp socket failed, %s\n", std::strerror(err));
    return err;
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kTagShared | slot;
  if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, s.fd.get(), &ev) != 0) {
    int err = errno;
    LogOut(LL_ERR, "%s: epoll ctl failed, %s", __func__, std::strerror(err));
    s = Shared{};
    return err;
  }
  return 0;
}

uint64_t FastPing::Start(PingRequest request, int* error) {
  int ignored = 0;
  if (!error) error = &ignored;
  int family = request.peer.ss_family;
  if (!request.callback || request.count < 1 || (family != AF_INET && family != AF_INET6)) {
    *error = EINVAL;
    return 0;
  }
  std::lock_guard lock(mutex_);
  if (!running_ || stop_) {
    *error = ESHUTDOWN;
    return 0;
  }
  if (probes_.size() >= kMaxProbes) {
    *error = ENOBUFS;
    return 0;
  }
  auto probe = std::make_unique<Probe>();
  Probe& p = *probe;
  p.handle = ++last_handle_;
  p.kind = request.kind;
  p.peer = request.peer;
  p.peer_len = request.peer_len;
  p.count = request.count;
  p.interval = request.interval;
  p.timeout = request.timeout;
  p.callback = std::move(request.callback);
  p.token = token_base_ ^ (p.handle * 0x9E3779B97F4A7C15ull);
  if (p.kind == ProbeKind::kIcmp) {
    p.slot = family == AF_INET ? kIcmp4 : kIcmp6;
    // An echo carries no port; raw IPv6 sockets refuse one that is not their protocol.
    if (family == AF_INET) reinterpret_cast<sockaddr_in&>(p.peer).sin_port = 0;
    if (family == AF_INET6) reinterpret_cast<sockaddr_in6&>(p.peer).sin6_port = 0;
    if (p.slot == kIcmp6 && icmp6_denied_) {
      *error = EACCES;
      return 0;
    }
  } else if (p.kind == ProbeKind::kUdp) {
    p.slot = family == AF_INET ? kUdp4 : kUdp6;
  }
  p.host = PeerText(p.peer, p.kind == ProbeKind::kTcp);
  if (p.slot != kSlots) {
    if (int err = OpenShared(p.slot)) {
      *error = err;
      return 0;
    }
  }
  if (int err = SendNext(p, Clock::now())) {
    LogOut(LL_DEBUG, "sendto %s, id %llu, %s", p.host.c_str(),
           static_cast<unsigned long long>(p.handle), std::strerror(err));
    *error = err;
    return 0;
  }
  LogOut(LL_DEBUG, "ping %s, id = %llu", p.host.c_str(), static_cast<unsigned long long>(p.handle));
  SetDeadline(p, p.sent_at + p.timeout);
  uint64_t handle = p.handle;
  probes_.emplace(handle, std::move(probe));
  Wake();
  return handle;
}

void FastPing::Stop(uint64_t handle) {
  std::lock_guard lock(mutex_);
  auto it = probes_.find(handle);
  if (it == probes_.end() || it->second->stop_requested) return;
  LogOut(LL_DEBUG, "ping %s end, id %llu", it->second->host.c_str(),
         static_cast<unsigned long long>(handle));
  it->second->stop_requested = true;
  SetDeadline(*it->second, Clock::time_point::min());
  Wake();
}

uint64_t FastPing::Schedule(Clock::time_point when, std::function<void()> task) {
  std::lock_guard lock(mutex_);
  uint64_t id = ++last_timer_;
  timers_.emplace(std::make_pair(when, id), std::move(task));
  timer_at_.emplace(id, when);
  // Only a timer that comes before every other wake-up needs the thread to look again.
  if (timers_.begin()->first.second == id) Wake();
  return id;
}

void FastPing::CancelTimer(uint64_t id) {
  std::lock_guard lock(mutex_);
  auto it = timer_at_.find(id);
  if (it == timer_at_.end()) return;
  timers_.erase({it->second, id});
  timer_at_.erase(it);
}

bool FastPing::IcmpRaw(int family) const {
  std::lock_guard lock(mutex_);
  const Shared& s = shared_[family == AF_INET ? kIcmp4 : kIcmp6];
  return s.fd.valid() && s.raw;
}

FastPingCounters FastPing::counters() const {
  std::lock_guard lock(mutex_);
  return counters_;
}

size_t FastPing::probes() const {
  std::lock_guard lock(mutex_);
  return probes_.size();
}

int FastPing::SendNext(Probe& p, Clock::time_point now) {
  if (p.kind == ProbeKind::kTcp) {
    UniqueFd fd;
    if (int err = StartTcpConnect(p.peer, p.peer_len, &fd)) {
      LogOut(LL_DEBUG, "connect %s, id %llu, %s", p.host.c_str(),
             static_cast<unsigned long long>(p.handle), std::strerror(err));
      return err;
    }
    epoll_event ev{};
    ev.events = EPOLLOUT;
    ev.data.u64 = kTagTcp | p.handle;
    if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd.get(), &ev) != 0) return errno;
    p.tcp = std::move(fd);
    p.sent_at = now;
  } else {
    Shared& s = shared_[p.slot];
    if (s.by_seq.size() >= kSequenceSpace) return ENOBUFS;
    uint16_t seq = ++s.next_seq;
    while (s.by_seq.count(seq)) seq = ++s.next_seq;
    uint8_t packet[kEchoLength];
    size_t len = kEchoLength;
    if (p.kind == ProbeKind::kIcmp) {
      BuildEchoRequest(p.peer.ss_family, EchoFields{s.ident, seq, p.token}, packet);
    } else {
      BuildUdpProbe(seq, packet);
      len = kUdpProbeLength;
    }
    p.sent_at = Clock::now();
    if (sendto(s.fd.get(), packet, len, MSG_DONTWAIT | MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&p.peer), p.peer_len) < 0) {
      int err = errno;
      if (p.slot == kIcmp6 && err == EACCES) {
        // Not allowed to send ICMPv6 at all: later IPv6 echoes fail the same way at once.
        icmp6_denied_ = true;
      }
      return err;
    }
    s.by_seq[seq] = p.handle;
    p.seq = seq;
  }
  p.sent++;
  p.waiting = true;
  p.next_send = p.sent_at + p.interval;
  counters_.sent++;
  return 0;
}

void FastPing::SetDeadline(Probe& p, Clock::time_point when) {
  if (p.has_deadline) deadlines_.erase({p.deadline, p.handle});
  deadlines_.insert({when, p.handle});
  p.has_deadline = true;
  p.deadline = when;
}

void FastPing::Report(Probe& p, PingEvent event, Deliveries* out) {
  PingResult r;
  r.handle = p.handle;
  r.host = p.host;
  r.event = event;
  r.peer = p.peer;
  r.peer_len = p.peer_len;
  r.seq = p.seq;
  out->emplace_back(p.callback, std::move(r));
}

// Ends a probe: an error (when `event` is kError) and then kEnd go to its callback, and the
// probe is freed. `p` is gone afterwards.
void FastPing::Finish(Probe& p, PingEvent event, int error, Deliveries* out) {
  if (event == PingEvent::kError) {
    counters_.errors++;
    Report(p, PingEvent::kError, out);
    out->back().second.error = error;
    LogOut(LL_DEBUG, "from %15s: error is %s\n", p.host.c_str(), std::strerror(error));
  }
  if (p.has_deadline) deadlines_.erase({p.deadline, p.handle});
  if (p.waiting && p.slot != kSlots) shared_[p.slot].by_seq.erase(p.seq);
  if (p.tcp.valid()) {
    epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, p.tcp.get(), nullptr);
    CloseWithReset(&p.tcp);
  }
  Report(p, PingEvent::kEnd, out);
  probes_.erase(p.handle);
}

// What a probe does next once nothing is outstanding, or when its deadline came.
void FastPing::WalkDue(Clock::time_point now, Deliveries* out) {
  while (!deadlines_.empty() && deadlines_.begin()->first <= now) {
    uint64_t handle = deadlines_.begin()->second;
    deadlines_.erase(deadlines_.begin());
    auto it = probes_.find(handle);
    if (it == probes_.end()) continue;
    Probe& p = *it->second;
    p.has_deadline = false;
    if (p.stop_requested) {
      Finish(p, PingEvent::kEnd, 0, out);
      continue;
    }
    if (p.waiting && now >= p.sent_at + p.timeout) {
      p.waiting = false;
      if (p.slot != kSlots) shared_[p.slot].by_seq.erase(p.seq);
      if (p.tcp.valid()) {
        epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, p.tcp.get(), nullptr);
        CloseWithReset(&p.tcp);
      }
      counters_.timeouts++;
      LogOut(LL_DEBUG, "from %15s: seq=%d timeout\n", p.host.c_str(), p.seq);
      Report(p, PingEvent::kTimeout, out);
    }
    if (!p.waiting) {
      if (p.sent >= p.count) {
        Finish(p, PingEvent::kEnd, 0, out);
        continue;
      }
      if (now >= p.next_send) {
        if (int err = SendNext(p, now)) {
          LogOut(LL_DEBUG, "sendto %s, id %llu, %s", p.host.c_str(),
                 static_cast<unsigned long long>(p.handle), std::strerror(err));
          Finish(p, PingEvent::kError, err, out);
          continue;
        }
      }
    }
    SetDeadline(p, p.waiting ? p.sent_at + p.timeout : p.next_send);
  }
}

int FastPing::NextWaitMs(Clock::time_point now) {
  bool any = false;
  Clock::time_point next = Clock::time_point::max();
  if (!deadlines_.empty()) {
    next = deadlines_.begin()->first;
    any = true;
  }
  if (!timers_.empty() && timers_.begin()->first.first < next) {
    next = timers_.begin()->first.first;
    any = true;
  }
  if (!any) return -1;
  if (next <= now) return 0;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
  return static_cast<int>(std::min<long long>(ms, 60 * 60 * 1000));
}

void FastPing::Run() {
  pthread_setname_np(pthread_self(), "zc-prober");
  epoll_event events[kMaxPingEvents];
  while (!stop_) {
    int wait;
    {
      std::lock_guard lock(mutex_);
      wait = NextWaitMs(Clock::now());
    }
    int n = epoll_wait(epoll_.get(), events, kMaxPingEvents, wait);
    if (n < 0) {
      if (errno == EINTR) continue;
      LogOut(LL_ERR, "%s: epoll_wait failed: %s", __func__, std::strerror(errno));
      zc::SleepScaled(kPingPollRetry);
      continue;
    }
    Deliveries out;
    std::vector<std::function<void()>> due;
    {
      std::lock_guard lock(mutex_);
      for (int i = 0; i < n; i++) {
        uint64_t tag = events[i].data.u64;
        uint64_t low = tag & ~kTagMask;
        switch (tag & kTagMask) {
          case kTagWake: {
            uint64_t count = 0;
            if (read(wake_.get(), &count, sizeof count) < 0 && errno != EAGAIN) {
              LogOut(LL_ERR, "%s: read failed: %s", __func__, std::strerror(errno));
            }
            break;
          }
          case kTagShared:
            if (low >= kSlots) break;
            if (events[i].events & EPOLLERR) ReadSharedErrors(static_cast<Slot>(low), &out);
            if (events[i].events & EPOLLIN) ReadShared(static_cast<Slot>(low), &out);
            break;
          case kTagTcp:
            OnTcp(low, &out);
            break;
          default:
            LogOut(LL_ERR, "%s: unknown event tag %llx", __func__,
                   static_cast<unsigned long long>(tag));
            break;
        }
      }
      Clock::time_point now = Clock::now();
      WalkDue(now, &out);
      while (!timers_.empty() && timers_.begin()->first.first <= now) {
        timer_at_.erase(timers_.begin()->first.second);
        due.push_back(std::move(timers_.begin()->second));
        timers_.erase(timers_.begin());
      }
    }
    for (auto& [callback, result] : out) {
      if (stop_) break;
      callback(result);
    }
    for (auto& task : due) {
      if (stop_) break;
      task();
    }
  }
}

}  // namespace zc::dns
