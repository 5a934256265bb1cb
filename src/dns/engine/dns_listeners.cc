// Listening sockets towards LAN clients: UDP with the destination address of every query (the
// reply leaves from that address), TCP with framing, caps and idle close. Only the engine
// thread touches these sockets.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "dns/engine/engine_core.h"
#include "utils/log.h"
#include "utils/timescale.h"

namespace zc::dns {

uint64_t TcpClientTag(uint64_t id);

namespace {

// Deeper than the classic 16 so a burst of LAN connects is not met with dropped SYNs.
constexpr int kListenBacklog = 64;
constexpr int kSocketPriority = 6;
constexpr int kTypeOfService = 0x10;  // low delay
constexpr std::chrono::milliseconds kBindRetryPause{50};
constexpr int kAcceptsPerWake = 64;
constexpr size_t kTcpReadChunk = 4096;
constexpr int kUdpReceiveBuffer = 1 << 20;

bool IsWildcard(const sockaddr_storage& a) {
  if (a.ss_family == AF_INET) {
    return reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr == htonl(INADDR_ANY);
  }
  return IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6&>(a).sin6_addr);
}

int OpenSocket(const BindConfig& bind, sockaddr_storage* addr, socklen_t* len) {
  int type =
      (bind.transport == Transport::kUdp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_NONBLOCK | SOCK_CLOEXEC;
  int fd = socket(addr->ss_family, type, 0);
  if (fd < 0 && addr->ss_family == AF_INET6 && IsWildcard(*addr)) {
    // No IPv6 on this system: the wildcard becomes the IPv4 one.
    uint16_t port = reinterpret_cast<sockaddr_in6*>(addr)->sin6_port;
    std::memset(addr, 0, sizeof *addr);
    auto* a4 = reinterpret_cast<sockaddr_in*>(addr);
    a4->sin_family = AF_INET;
    a4->sin_port = port;
    *len = sizeof(sockaddr_in);
    fd = socket(AF_INET, type, 0);
  }
  if (fd < 0) return -1;
  int on = 1;
  int off = 0;
  if (addr->ss_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  if (bind.transport == Transport::kTcp) {
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  } else {
    // Room for a burst of queries while the loop is busy.
    int rcvbuf = kUdpReceiveBuffer;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    if (addr->ss_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on);
  }
  int prio = kSocketPriority;
  int tos = kTypeOfService;
  setsockopt(fd, SOL_SOCKET, SO_PRIORITY, &prio, sizeof prio);
  if (addr->ss_family == AF_INET) {
    setsockopt(fd, IPPROTO_IP, IP_TOS, &tos, sizeof tos);
  } else {
    setsockopt(fd, IPPROTO_IPV6, IPV6_TCLASS, &tos, sizeof tos);
  }
  return fd;
}

}  // namespace

bool DnsEngine::Core::OpenListeners(std::string* error) {
  udp_buffers.assign(static_cast<size_t>(kUdpBatch) * kDnsMessageMax, 0);
  udp_out.bytes.assign(static_cast<size_t>(kUdpBatch) * kUdpReplySlot, 0);
  udp_out.count = 0;
  auto deadline = Clock::now() + zc::Scaled(kBindRetryFor);
  for (const BindConfig& bind : conf.binds) {
    Listener l;
    l.conf = bind;
    sockaddr_storage addr = bind.addr;
    socklen_t len = bind.addr_len;
    int fd = OpenSocket(bind, &addr, &len);
    if (fd < 0) {
      *error = "socket for " + bind.text + " failed: " + std::strerror(errno);
      LogOut(LL_ERR, "create server socket failed.\n");
      return false;
    }
    l.fd.Reset(fd);
    // A resolver killed just before us may still hold the port for a moment.
    while (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
      if (errno != EADDRINUSE || Clock::now() >= deadline) {
        *error = "bind service " + bind.text + " failed, " + std::strerror(errno);
        LogOut(LL_ERR, "bind service %s failed, %s\n", bind.text.c_str(), std::strerror(errno));
        LogOut(LL_ERR, "create server socket failed.\n");
        return false;
      }
      zc::SleepScaled(kBindRetryPause);
    }
    if (bind.transport == Transport::kTcp && listen(fd, kListenBacklog) != 0) {
      *error = "listen on " + bind.text + " failed: " + std::strerror(errno);
      LogOut(LL_ERR, "listen failed.\n");
      return false;
    }
    socklen_t blen = sizeof l.bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&l.bound), &blen);
    listeners.push_back(std::move(l));
  }
  return true;
}

void DnsEngine::Core::OnUdpReadable(size_t index) {
  Listener& l = listeners[index];
  mmsghdr msgs[kUdpBatch];
  iovec iov[kUdpBatch];
  sockaddr_storage peers[kUdpBatch];
  alignas(cmsghdr) uint8_t control[kUdpBatch][128];
  std::memset(msgs, 0, sizeof msgs);
  for (int i = 0; i < kUdpBatch; i++) {
    iov[i].iov_base = udp_buffers.data() + static_cast<size_t>(i) * kDnsMessageMax;
    iov[i].iov_len = kDnsMessageMax;
    msgs[i].msg_hdr.msg_iov = &iov[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
    msgs[i].msg_hdr.msg_name = &peers[i];
    msgs[i].msg_hdr.msg_namelen = sizeof peers[i];
    msgs[i].msg_hdr.msg_control = control[i];
    msgs[i].msg_hdr.msg_controllen = sizeof control[i];
  }
  int n = recvmmsg(l.fd.get(), msgs, kUdpBatch, MSG_DONTWAIT, nullptr);
  if (n < 0) {
    if (errno != EAGAIN && errno != EINTR)
      LogOut(LL_ERR, "recvfrom failed, %s\n", std::strerror(errno));
    return;
  }
  for (int i = 0; i < n && !stop; i++) {
    msghdr& h = msgs[i].msg_hdr;
    if (h.msg_flags & MSG_TRUNC) continue;
    QuerySource src;
    src.origin = Origin::kUdp;
    src.listener = index;
    src.client = peers[i];
    src.client_len = h.msg_namelen;
    sockaddr_storage local{};
    for (cmsghdr* c = CMSG_FIRSTHDR(&h); c; c = CMSG_NXTHDR(&h, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
        in_pktinfo info;
        std::memcpy(&info, CMSG_DATA(c), sizeof info);
        auto* a4 = reinterpret_cast<sockaddr_in*>(&local);
        a4->sin_family = AF_INET;
        a4->sin_addr = info.ipi_addr;
        src.ifindex = info.ipi_ifindex;
        src.local = &local;
        break;
      }
      if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
        in6_pktinfo info;
        std::memcpy(&info, CMSG_DATA(c), sizeof info);
        auto* a6 = reinterpret_cast<sockaddr_in6*>(&local);
        a6->sin6_family = AF_INET6;
        a6->sin6_addr = info.ipi6_addr;
        src.ifindex = static_cast<int>(info.ipi6_ifindex);
        src.local = &local;
      }
    }
    Intake(static_cast<const uint8_t*>(iov[i].iov_base), static_cast<int>(msgs[i].msg_len), src);
  }
}

uint8_t* DnsEngine::Core::UdpReplySlot(const Request& r) {
  if (r.listener >= listeners.size() || udp_out.bytes.empty()) return nullptr;
  int fd = listeners[r.listener].fd.get();
  if (udp_out.count == kUdpBatch || (udp_out.count > 0 && udp_out.fd != fd)) FlushUdp();
  udp_out.fd = fd;
  return udp_out.bytes.data() + static_cast<size_t>(udp_out.count) * kUdpReplySlot;
}

bool DnsEngine::Core::SendUdp(const Request& r, const uint8_t* data, int len) {
  uint8_t* slot = UdpReplySlot(r);
  if (!slot || len > kUdpReplySlot) return false;
  if (data != slot) std::memcpy(slot, data, static_cast<size_t>(len));
  int i = udp_out.count++;
  udp_out.iov[i] = {slot, static_cast<size_t>(len)};
  udp_out.to[i] = r.client;
  msghdr& h = udp_out.msgs[i].msg_hdr;
  h = msghdr{};
  h.msg_name = &udp_out.to[i];
  h.msg_namelen = r.client_len;
  h.msg_iov = &udp_out.iov[i];
  h.msg_iovlen = 1;
  // The reply leaves from the address the query was sent to, whatever the routing prefers.
  if (r.has_local) {
    uint8_t* control = udp_out.control[i];
    std::memset(control, 0, sizeof udp_out.control[i]);
    h.msg_control = control;
    cmsghdr* c = reinterpret_cast<cmsghdr*>(control);
    if (r.local.ss_family == AF_INET) {
      in_pktinfo info{};
      info.ipi_spec_dst = reinterpret_cast<const sockaddr_in&>(r.local).sin_addr;
      c->cmsg_level = IPPROTO_IP;
      c->cmsg_type = IP_PKTINFO;
      c->cmsg_len = CMSG_LEN(sizeof info);
      std::memcpy(CMSG_DATA(c), &info, sizeof info);
      h.msg_controllen = CMSG_SPACE(sizeof info);
    } else {
      in6_pktinfo info{};
      info.ipi6_addr = reinterpret_cast<const sockaddr_in6&>(r.local).sin6_addr;
      if (IN6_IS_ADDR_LINKLOCAL(&info.ipi6_addr)) info.ipi6_ifindex = r.ifindex;
      c->cmsg_level = IPPROTO_IPV6;
      c->cmsg_type = IPV6_PKTINFO;
      c->cmsg_len = CMSG_LEN(sizeof info);
      std::memcpy(CMSG_DATA(c), &info, sizeof info);
      h.msg_controllen = CMSG_SPACE(sizeof info);
    }
  }
  return true;
}

void DnsEngine::Core::FlushUdp() {
  PublishStats();
  int sent = 0;
  while (sent < udp_out.count) {
    int n = sendmmsg(udp_out.fd, udp_out.msgs + sent, static_cast<unsigned>(udp_out.count - sent),
                     MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // Only the first message of the rest failed; the others still get their turn.
      LogOut(LL_ERR, "send failed, %s", std::strerror(errno));
      n = 1;
    }
    sent += n;
  }
  udp_out.count = 0;
}

void DnsEngine::Core::OnTcpAccept(size_t index) {
  Listener& l = listeners[index];
  for (int i = 0; i < kAcceptsPerWake; i++) {
    sockaddr_storage peer{};
    socklen_t peer_len = sizeof peer;
    int fd = accept4(l.fd.get(), reinterpret_cast<sockaddr*>(&peer), &peer_len,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
        LogOut(LL_ERR, "accept failed, %s", std::strerror(errno));
      }
      return;
    }
    if (l.tcp_clients >= kMaxTcpClientsPerListener) {
      // Make room: of this listener's clients, one that waits for nothing (no answer pending,
      // nothing left to send) goes first, the one quiet the longest; a client waiting for an
      // answer goes only when every client waits for one.
      auto waits = [](const TcpClient& c) { return c.pending > 0 || c.out.size() > c.out_offset; };
      TcpClient* victim = nullptr;
      for (auto& [id, c] : tcp_clients) {
        if (c->listener != index) continue;
        if (!victim || waits(*victim) > waits(*c) ||
            (waits(*victim) == waits(*c) && c->last_activity < victim->last_activity)) {
          victim = c.get();
        }
      }
      if (victim) CloseTcpClient(victim->id, "too many clients");
    }
    auto c = std::make_unique<TcpClient>();
    c->id = ++last_tcp_id;
    c->fd.Reset(fd);
    c->listener = index;
    c->peer = peer;
    c->peer_len = peer_len;
    socklen_t local_len = sizeof c->local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&c->local), &local_len) != 0) {
      LogOut(LL_ERR, "get local addr failed, %s", std::strerror(errno));
    }
    c->last_activity = Clock::now();
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = TcpClientTag(c->id);
    if (epoll_ctl(epoll_fd.get(), EPOLL_CTL_ADD, fd, &ev) != 0) {
      LogOut(LL_ERR, "epoll ctl failed, fd = %d, %s", fd, std::strerror(errno));
      continue;
    }
    c->interest = EPOLLIN;
    l.tcp_clients++;
    tcp_clients.emplace(c->id, std::move(c));
    std::lock_guard lock(stats_mutex);
    stats.tcp_clients = tcp_clients.size();
  }
}

void DnsEngine::Core::CloseTcpClient(uint64_t client_id, const char* why) {
  auto it = tcp_clients.find(client_id);
  if (it == tcp_clients.end()) return;
  LogOut(LL_DEBUG, "%s: closing TCP client %s: %s", __func__, AddressText(it->second->peer).c_str(),
         why);
  epoll_ctl(epoll_fd.get(), EPOLL_CTL_DEL, it->second->fd.get(), nullptr);
  if (it->second->listener < listeners.size()) listeners[it->second->listener].tcp_clients--;
  tcp_clients.erase(it);
  std::lock_guard lock(stats_mutex);
  stats.tcp_clients = tcp_clients.size();
}

void DnsEngine::Core::UpdateTcpInterest(TcpClient& c) {
  uint32_t want = (c.read_closed ? 0u : static_cast<uint32_t>(EPOLLIN)) |
                  (c.out.size() > c.out_offset ? static_cast<uint32_t>(EPOLLOUT) : 0u);
  if (want == c.interest) return;
  epoll_event ev{};
  ev.events = want;
  ev.data.u64 = TcpClientTag(c.id);
  epoll_ctl(epoll_fd.get(), EPOLL_CTL_MOD, c.fd.get(), &ev);
  c.interest = want;
}

void DnsEngine::Core::OnTcpEvent(uint64_t client_id, uint32_t events) {
  auto it = tcp_clients.find(client_id);
  if (it == tcp_clients.end()) return;
  TcpClient& c = *it->second;
  c.last_activity = now;
  if ((events & (EPOLLHUP | EPOLLERR)) && c.read_closed) {
    // The client stopped sending and the connection is now gone or broken: nobody can read the
    // pending replies, and the hang-up is reported again on every wait until it is closed.
    CloseTcpClient(client_id, "hang-up with replies pending");
    return;
  }
  if (events & EPOLLOUT) {
    if (!SendTcp(client_id, nullptr, 0)) return;  // closed
  }
  if (!(events & (EPOLLIN | EPOLLHUP | EPOLLERR)) || c.read_closed) return;
  uint8_t chunk[kTcpReadChunk];
  ssize_t n = recv(c.fd.get(), chunk, sizeof chunk, MSG_DONTWAIT);
  if (n < 0) {
    if (errno == EAGAIN || errno == EINTR) return;
    LogOut(LL_DEBUG, "recv failed, %s\n", std::strerror(errno));
    CloseTcpClient(client_id, "receive error");
    return;
  }
  if (n == 0) {
    // The client is done asking; answer what it asked, then close.
    if (c.pending == 0 && c.out.size() == c.out_offset) {
      CloseTcpClient(client_id, "peer closed");
    } else {
      c.read_closed = true;
      UpdateTcpInterest(c);
    }
    return;
  }
  c.in.insert(c.in.end(), chunk, chunk + n);
  size_t pos = 0;
  while (c.in.size() - pos >= 2) {
    size_t len = static_cast<size_t>(c.in[pos]) << 8 | c.in[pos + 1];
    if (len > kMaxTcpRequest) {
      LogOut(LL_ERR, "request length is invalid.");
      CloseTcpClient(client_id, "request length is invalid");
      return;
    }
    if (c.in.size() - pos - 2 < len) break;
    QuerySource src;
    src.origin = Origin::kTcp;
    src.listener = c.listener;
    src.tcp_client = client_id;
    src.client = c.peer;
    src.client_len = c.peer_len;
    src.local = &c.local;
    Intake(c.in.data() + pos + 2, static_cast<int>(len), src);
    if (tcp_clients.find(client_id) == tcp_clients.end()) return;  // closed meanwhile
    pos += 2 + len;
  }
  c.in.erase(c.in.begin(), c.in.begin() + static_cast<long>(pos));
}

bool DnsEngine::Core::SendTcp(uint64_t client_id, const uint8_t* data, int len) {
  PublishStats();
  auto it = tcp_clients.find(client_id);
  if (it == tcp_clients.end()) return false;
  TcpClient& c = *it->second;
  if (data) {
    if (c.out.size() - c.out_offset + 2 + static_cast<size_t>(len) > kMaxTcpSendBuffer) {
      LogOut(LL_WARN, "%s: client %s does not read its replies", __func__,
             AddressText(c.peer).c_str());
      CloseTcpClient(client_id, "send buffer full");
      return false;
    }
    c.out.push_back(static_cast<char>(len >> 8));
    c.out.push_back(static_cast<char>(len & 0xFF));
    c.out.append(reinterpret_cast<const char*>(data), len);
  }
  while (c.out_offset < c.out.size()) {
    ssize_t n = send(c.fd.get(), c.out.data() + c.out_offset, c.out.size() - c.out_offset,
                     MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) break;
      LogOut(LL_DEBUG, "send tcp failed.");
      CloseTcpClient(client_id, "send error");
      return false;
    }
    c.out_offset += static_cast<size_t>(n);
  }
  if (c.out_offset == c.out.size()) {
    c.out.clear();
    c.out_offset = 0;
    if (c.read_closed && c.pending == 0) {
      CloseTcpClient(client_id, "answered after peer close");
      return false;
    }
  } else if (c.out_offset > kMaxTcpSendBuffer / 2) {
    c.out.erase(0, c.out_offset);
    c.out_offset = 0;
  }
  UpdateTcpInterest(c);
  return true;
}

void DnsEngine::Core::CloseIdleTcpClients(Clock::time_point now) {
  auto idle = zc::ScaledSeconds(conf.tcp_idle_time);
  std::vector<uint64_t> victims;
  for (auto& [id, c] : tcp_clients) {
    if (c->pending == 0 && now - c->last_activity >= idle) victims.push_back(id);
  }
  for (uint64_t id : victims) CloseTcpClient(id, "idle");
}

std::string AddressText(int family, const void* addr) {
  char text[INET6_ADDRSTRLEN] = {};
  inet_ntop(family, addr, text, sizeof text);
  return text;
}

std::string AddressText(const sockaddr_storage& a) {
  if (a.ss_family == AF_INET) {
    return AddressText(AF_INET, &reinterpret_cast<const sockaddr_in&>(a).sin_addr);
  }
  if (a.ss_family == AF_INET6) {
    return AddressText(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(a).sin6_addr);
  }
  return "-";
}

bool SameListenerAddress(const UpstreamServerConfig& server, const BindConfig& bind,
                         const std::vector<sockaddr_storage>& own_addresses) {
  if (server.type == UpstreamType::kHttps) return false;
  uint16_t port = server.port ? server.port : UpstreamDefaultPort(server.type);
  bool tls = server.type == UpstreamType::kTls;
  if (tls) return false;
  uint16_t bind_port = bind.addr.ss_family == AF_INET
                           ? ntohs(reinterpret_cast<const sockaddr_in&>(bind.addr).sin_port)
                           : ntohs(reinterpret_cast<const sockaddr_in6&>(bind.addr).sin6_port);
  if (port != bind_port) return false;
  uint8_t addr[16] = {};
  int family = 0;
  if (inet_pton(AF_INET, server.host.c_str(), addr) == 1) {
    family = AF_INET;
  } else if (inet_pton(AF_INET6, server.host.c_str(), addr) == 1) {
    family = AF_INET6;
  } else {
    return false;  // a host name: not known yet
  }
  auto same = [&](const sockaddr_storage& s) {
    if (s.ss_family == AF_INET && family == AF_INET) {
      return std::memcmp(&reinterpret_cast<const sockaddr_in&>(s).sin_addr, addr, 4) == 0;
    }
    if (s.ss_family == AF_INET6 && family == AF_INET6) {
      return std::memcmp(&reinterpret_cast<const sockaddr_in6&>(s).sin6_addr, addr, 16) == 0;
    }
    return false;
  };
  if (!IsWildcard(bind.addr)) return same(bind.addr);
  // A wildcard listener owns every local address (and all of 127/8).
  if (family == AF_INET && addr[0] == 127) return true;
  if (family == AF_INET6 && IN6_IS_ADDR_LOOPBACK(reinterpret_cast<in6_addr*>(addr))) return true;
  for (const sockaddr_storage& s : own_addresses) {
    if (same(s)) return true;
  }
  return false;
}

}  // namespace zc::dns
