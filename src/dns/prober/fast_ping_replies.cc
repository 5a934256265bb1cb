// The prober's receive side: echo replies and UDP answers on the shared sockets, errors the
// kernel queued for UDP probes, and the end of TCP connects. Work thread only, under the lock.
#include <time.h>  // before errqueue.h, which needs timespec

#include <linux/errqueue.h>
#include <netinet/in.h>
#include <sys/epoll.h>

#include <cerrno>
#include <cstring>

#include "dns/prober/fast_ping.h"
#include "dns/prober/fast_ping_internal.h"
#include "dns/prober/probe_packets.h"
#include "utils/log.h"

namespace zc::dns {

namespace {

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

// One datagram read with its peer address and control messages.
struct Datagram {
  uint8_t data[kReceiveBuffer];
  alignas(cmsghdr) uint8_t control[kControlBuffer];
  sockaddr_storage peer{};
  iovec iov{};
  msghdr msg{};

  ssize_t Receive(int fd, int flags) {
    peer = {};
    iov = {data, sizeof data};
    msg = {};
    msg.msg_name = &peer;
    msg.msg_namelen = sizeof peer;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    return recvmsg(fd, &msg, flags);
  }
};

}  // namespace

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
    Datagram d;
    ssize_t n = d.Receive(s.fd.get(), MSG_DONTWAIT);
    if (n < 0) {
      if (errno != EAGAIN && errno != EINTR && errno != ECONNREFUSED) {
        LogOut(LL_ERR, "%s: recvmsg failed: %s", __func__, std::strerror(errno));
      }
      return;
    }
    OnShared(slot, d.data, static_cast<size_t>(n), d.peer, TtlOf(d.msg), out);
  }
}

// Errors the kernel queued for our datagrams: a UDP probe answered by "port unreachable" ends
// with that error at once.
void FastPing::ReadSharedErrors(Slot slot, Deliveries* out) {
  Shared& s = shared_[slot];
  for (int i = 0; i < kMaxReadsPerWake && s.fd.valid(); i++) {
    Datagram d;  // an error queue entry: peer is where our datagram went
    ssize_t n = d.Receive(s.fd.get(), MSG_ERRQUEUE | MSG_DONTWAIT);
    if (n < 0) {
      // Whatever is left pending on the socket is cleared, so the loop does not spin on it.
      TcpConnectResult(s.fd.get());
      return;
    }
    int error = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&d.msg); c; c = CMSG_NXTHDR(&d.msg, c)) {
      if ((c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR) ||
          (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_RECVERR)) {
        sock_extended_err ee;
        std::memcpy(&ee, CMSG_DATA(c), sizeof ee);
        error = static_cast<int>(ee.ee_errno);
      }
    }
    uint16_t seq = 0;
    if (slot != kUdp4 && slot != kUdp6) continue;
    if (error == 0 || !UdpProbeReplyId(d.data, static_cast<size_t>(n), &seq)) continue;
    auto owner = s.by_seq.find(seq);
    if (owner == s.by_seq.end()) continue;
    auto it = probes_.find(owner->second);
    if (it == probes_.end() || !SameHost(d.peer, it->second->peer)) continue;
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

}  // namespace zc::dns
