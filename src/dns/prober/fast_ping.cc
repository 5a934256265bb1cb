#include "dns/prober/fast_ping.h"

#include <linux/errqueue.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "dns/prober/probe_packets.h"
#include "utils/log.h"
#include "utils/timescale.h"
#include "utils/uuid.h"

namespace zc::dns {

namespace {

constexpr uint64_t kTagShift = 56;
constexpr uint64_t kTagWake = 1ull << kTagShift;
constexpr uint64_t kTagShared = 2ull << kTagShift;
constexpr uint64_t kTagTcp = 3ull << kTagShift;
constexpr uint64_t kTagMask = 0xFFull << kTagShift;
constexpr size_t kReceiveBuffer = 1500;
constexpr size_t kControlBuffer = 512;
// Sequence numbers of one shared socket cover at most this many probes in flight.
constexpr size_t kSequenceSpace = 65536;

int TtlOf(msghdr& msg) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if ((c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL) ||
        (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_HOPLIMIT)) {
      int ttl = 0;
      std::memcpy(&ttl, CMSG_DATA(c), sizeof ttl);
      return ttl;
    }
  }
  return -1;
}

}  // namespace

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
    thread_ = std::thread([this] { Run(); });
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

void FastPing::OnShared(Slot slot, const uint8_t* data, size_t len, const sockaddr_storage& from,
                        int ttl, Deliveries* out) {
  Shared& s = shared_[slot];
  int family = slot == kIcmp4 || slot == kUdp4 ? AF_INET : AF_INET6;
  uint16_t seq = 0;
  uint64_t token = 0;
  if (slot == kIcmp4 || slot == kIcmp6) {
    EchoReply reply;
    switch (ParseEchoReply(family, s.raw && family == AF_INET, data, len, &reply)) {
      case EchoParse::kOk:
        break;
      case EchoParse::kNotIcmp:
        LogOut(LL_DEBUG, "ip type faild, %d:%d", reply.ip_proto, IPPROTO_ICMP);
        return;
      case EchoParse::kNotEchoReply:
        if (family == AF_INET) {
          LogOut(LL_DEBUG, "icmp type faild, %d:%d", reply.type, kIcmp4EchoReply);
        } else {
          LogOut(LL_DEBUG, "icmp6 type faild, %d:%d", reply.type, kIcmp6EchoReply);
        }
        return;
      case EchoParse::kBadLength:
        LogOut(LL_DEBUG, "length is invalid, %d", static_cast<int>(reply.length));
        return;
    }
    if (reply.fields.ident != s.ident) {
      // Replies to another program's echoes reach every raw ICMP socket.
      LogOut(LL_DEBUG, "ident failed, %d:%d", reply.fields.ident, s.ident);
      counters_.stray++;
      return;
    }
    seq = reply.fields.seq;
    token = reply.fields.token;
    if (reply.ttl >= 0) ttl = reply.ttl;
  } else if (!UdpProbeReplyId(data, len, &seq)) {
    counters_.stray++;
    return;
  }
  auto owner = s.by_seq.find(seq);
  auto it = owner == s.by_seq.end() ? probes_.end() : probes_.find(owner->second);
  if (it == probes_.end()) {
    counters_.stray++;
    return;
  }
  Probe& p = *it->second;
  bool same_port = slot == kIcmp4 || slot == kIcmp6 || PortOf(from) == PortOf(p.peer);
  bool token_ok = slot == kUdp4 || slot == kUdp6 || token == p.token;
  if (!p.waiting || p.seq != seq || !token_ok || !SameHost(from, p.peer) || !same_port) {
    LogOut(LL_DEBUG, "seq num mismatch, expect %u, real %u", static_cast<unsigned>(p.seq),
           static_cast<unsigned>(seq));
    counters_.stray++;
    return;
  }
  Clock::time_point now = Clock::now();
  s.by_seq.erase(owner);
  p.waiting = false;
  counters_.replies++;
  Report(p, PingEvent::kReply, out);
  PingResult& r = out->back().second;
  r.ttl = ttl;
  r.rtt = std::chrono::duration_cast<std::chrono::microseconds>(now - p.sent_at);
  LogOut(LL_DEBUG, "from %15s: seq=%d ttl=%d time=%.3f\n", p.host.c_str(), seq, ttl,
         static_cast<double>(r.rtt.count()) / 1000.0);
  SetDeadline(p, now);  // next echo or the end
}

void FastPing::ReadShared(Slot slot, Deliveries* out) {
  Shared& s = shared_[slot];
  for (int i = 0; i < kMaxReadsPerWake && s.fd.valid(); i++) {
    uint8_t data[kReceiveBuffer];
    alignas(cmsghdr) uint8_t control[kControlBuffer];
    sockaddr_storage from{};
    iovec iov{data, sizeof data};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(s.fd.get(), &msg, MSG_DONTWAIT);
    if (n < 0) {
      if (errno != EAGAIN && errno != EINTR && errno != ECONNREFUSED) {
        LogOut(LL_ERR, "%s: recvmsg failed: %s", __func__, std::strerror(errno));
      }
      return;
    }
    OnShared(slot, data, static_cast<size_t>(n), from, TtlOf(msg), out);
  }
}

// Errors the kernel queued for our datagrams: a UDP probe answered by "port unreachable" ends
// with that error at once.
void FastPing::ReadSharedErrors(Slot slot, Deliveries* out) {
  Shared& s = shared_[slot];
  for (int i = 0; i < kMaxReadsPerWake && s.fd.valid(); i++) {
    uint8_t data[kReceiveBuffer];
    alignas(cmsghdr) uint8_t control[kControlBuffer];
    sockaddr_storage to{};
    iovec iov{data, sizeof data};
    msghdr msg{};
    msg.msg_name = &to;
    msg.msg_namelen = sizeof to;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(s.fd.get(), &msg, MSG_ERRQUEUE | MSG_DONTWAIT);
    if (n < 0) {
      // Whatever is left pending on the socket is cleared, so the loop does not spin on it.
      TcpConnectResult(s.fd.get());
      return;
    }
    int error = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
      if ((c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR) ||
          (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_RECVERR)) {
        sock_extended_err ee;
        std::memcpy(&ee, CMSG_DATA(c), sizeof ee);
        error = static_cast<int>(ee.ee_errno);
      }
    }
    uint16_t seq = 0;
    if (slot != kUdp4 && slot != kUdp6) continue;
    if (error == 0 || !UdpProbeReplyId(data, static_cast<size_t>(n), &seq)) continue;
    auto owner = s.by_seq.find(seq);
    if (owner == s.by_seq.end()) continue;
    auto it = probes_.find(owner->second);
    if (it == probes_.end() || !SameHost(to, it->second->peer)) continue;
    Finish(*it->second, PingEvent::kError, error, out);
  }
}

void FastPing::OnTcp(uint64_t handle, Deliveries* out) {
  auto it = probes_.find(handle);
  if (it == probes_.end() || !it->second->tcp.valid()) return;
  Probe& p = *it->second;
  Clock::time_point now = Clock::now();
  int result = TcpConnectResult(p.tcp.get());
  epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, p.tcp.get(), nullptr);
  CloseWithReset(&p.tcp);
  p.waiting = false;
  if (result != 0) {
    // A refused connection: the host is there, but nothing that serves clients listens on
    // that port, so it is not a measurement worth choosing the address for.
    LogOut(LL_DEBUG, "connect %s, id %llu, %s", p.host.c_str(),
           static_cast<unsigned long long>(p.handle), std::strerror(result));
    Finish(p, PingEvent::kError, result, out);
    return;
  }
  counters_.replies++;
  Report(p, PingEvent::kReply, out);
  PingResult& r = out->back().second;
  r.rtt = std::chrono::duration_cast<std::chrono::microseconds>(now - p.sent_at);
  LogOut(LL_DEBUG, "from %15s: seq=%d ttl=%d time=%.3f\n", p.host.c_str(), p.sent, -1,
         static_cast<double>(r.rtt.count()) / 1000.0);
  SetDeadline(p, now);
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
