#include "dns/prober/probe_sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/icmp.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "dns/prober/probe_packets.h"
#include "utils/log.h"

namespace zc::dns {

namespace {

bool InstallEchoReplyFilter(int fd, int family) {
  if (family == AF_INET) {
    icmp_filter filter{};
    filter.data = ~(1u << kIcmp4EchoReply);
    return setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter) == 0;
  }
  icmp6_filter filter;
  ICMP6_FILTER_SETBLOCKALL(&filter);
  ICMP6_FILTER_SETPASS(kIcmp6EchoReply, &filter);
  return setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter) == 0;
}

// Asks for the TTL (hop limit) of every received packet where the header does not carry it.
void AskForTtl(int fd, int family) {
  int on = 1;
  int rc = 0;
  if (family == AF_INET) {
    rc = setsockopt(fd, IPPROTO_IP, IP_RECVTTL, &on, sizeof on);
  } else {
    rc = setsockopt(fd, IPPROTO_IPV6, IPV6_RECVHOPLIMIT, &on, sizeof on);
  }
  if (rc != 0) LogOut(LL_DEBUG, "%s: no TTL of replies: %s", __func__, std::strerror(errno));
}

}  // namespace

bool OpenIcmpSocket(int family, bool force_datagram, uint16_t raw_ident, IcmpSocket* out) {
  int proto = family == AF_INET ? static_cast<int>(IPPROTO_ICMP) : static_cast<int>(IPPROTO_ICMPV6);
  *out = IcmpSocket{};
  if (!force_datagram) {
    out->fd.Reset(socket(family, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, proto));
    if (out->fd.valid()) {
      out->raw = true;
      out->ident = raw_ident;
      if (!InstallEchoReplyFilter(out->fd.get(), family)) {
        LogOut(LL_WARN, "WARNING: failed to install socket filter\n");
      }
      if (family == AF_INET6) AskForTtl(out->fd.get(), family);
      return true;
    }
  }
  out->fd.Reset(socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, proto));
  if (!out->fd.valid()) return false;
  // The kernel gives a datagram ICMP socket its own identifier and rewrites every echo with
  // it; binding to "port" 0 picks one now, so replies can be checked against it.
  sockaddr_storage local{};
  socklen_t len = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
  local.ss_family = static_cast<sa_family_t>(family);
  if (bind(out->fd.get(), reinterpret_cast<sockaddr*>(&local), len) != 0 ||
      getsockname(out->fd.get(), reinterpret_cast<sockaddr*>(&local), &len) != 0) {
    int saved = errno;
    out->fd.Reset();
    errno = saved;
    return false;
  }
  out->ident = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in&>(local).sin_port
                                       : reinterpret_cast<sockaddr_in6&>(local).sin6_port);
  AskForTtl(out->fd.get(), family);
  return true;
}

bool OpenUdpSocket(int family, UniqueFd* out) {
  out->Reset(socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP));
  if (!out->valid()) return false;
  int on = 1;
  // Port-unreachable answers end a probe at once instead of by its time-out.
  if (family == AF_INET) {
    setsockopt(out->get(), IPPROTO_IP, IP_RECVERR, &on, sizeof on);
  } else {
    setsockopt(out->get(), IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on);
  }
  AskForTtl(out->get(), family);
  return true;
}

int StartTcpConnect(const sockaddr_storage& peer, socklen_t peer_len, UniqueFd* out) {
  out->Reset(socket(peer.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
  if (!out->valid()) return errno;
  if (connect(out->get(), reinterpret_cast<const sockaddr*>(&peer), peer_len) == 0 ||
      errno == EINPROGRESS) {
    return 0;
  }
  int saved = errno;
  out->Reset();
  return saved;
}

int TcpConnectResult(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

void CloseWithReset(UniqueFd* fd) {
  if (!fd->valid()) return;
  linger l{1, 0};
  setsockopt(fd->get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
  fd->Reset();
}

std::string PeerText(const sockaddr_storage& peer, bool with_port) {
  char text[INET6_ADDRSTRLEN] = "?";
  uint16_t port = 0;
  if (peer.ss_family == AF_INET) {
    const auto& a = reinterpret_cast<const sockaddr_in&>(peer);
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    port = ntohs(a.sin_port);
  } else if (peer.ss_family == AF_INET6) {
    const auto& a = reinterpret_cast<const sockaddr_in6&>(peer);
    inet_ntop(AF_INET6, &a.sin6_addr, text, sizeof text);
    port = ntohs(a.sin6_port);
  }
  std::string out = text;
  if (with_port) out += ":" + std::to_string(port);
  return out;
}

bool ParsePeer(const std::string& host, uint16_t port, sockaddr_storage* out, socklen_t* len) {
  std::string h = host;
  if (h.size() >= 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
  sockaddr_storage parsed{};
  auto& a4 = reinterpret_cast<sockaddr_in&>(parsed);
  auto& a6 = reinterpret_cast<sockaddr_in6&>(parsed);
  if (inet_pton(AF_INET, h.c_str(), &a4.sin_addr) == 1) {
    a4.sin_family = AF_INET;
    a4.sin_port = htons(port);
    *len = sizeof(sockaddr_in);
  } else if (inet_pton(AF_INET6, h.c_str(), &a6.sin6_addr) == 1) {
    a6.sin6_family = AF_INET6;
    a6.sin6_port = htons(port);
    *len = sizeof(sockaddr_in6);
  } else {
    return false;
  }
  *out = parsed;
  return true;
}

uint16_t PortOf(const sockaddr_storage& addr) {
  if (addr.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(addr).sin_port);
  if (addr.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6&>(addr).sin6_port);
  }
  return 0;
}

bool SameHost(const sockaddr_storage& a, const sockaddr_storage& b) {
  if (a.ss_family != b.ss_family) return false;
  if (a.ss_family == AF_INET) {
    return reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr ==
           reinterpret_cast<const sockaddr_in&>(b).sin_addr.s_addr;
  }
  if (a.ss_family == AF_INET6) {
    return std::memcmp(&reinterpret_cast<const sockaddr_in6&>(a).sin6_addr,
                       &reinterpret_cast<const sockaddr_in6&>(b).sin6_addr, sizeof(in6_addr)) == 0;
  }
  return false;
}

}  // namespace zc::dns
