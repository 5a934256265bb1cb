// Sockets of the prober: the shared ICMP socket of a family (raw when the process may, else the
// unprivileged datagram kind), the shared UDP socket of a family, and the non-blocking connect
// of a TCP probe. Every descriptor is owned by a UniqueFd.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>

#include "dns/common/dns_handles.h"

namespace zc::dns {

struct IcmpSocket {
  UniqueFd fd;
  bool raw = false;
  uint16_t ident = 0;  // identifier of our echoes (the kernel's own for datagram sockets)
};

// Opens the ICMP socket of `family`: raw unless `force_datagram`, else datagram. The raw socket
// gets a filter that lets echo replies through only ("WARNING: failed to install socket
// filter" when it cannot). `raw_ident` is the identifier raw echoes carry. False with errno.
bool OpenIcmpSocket(int family, bool force_datagram, uint16_t raw_ident, IcmpSocket* out);

// Opens the shared UDP socket of `family` (non-blocking, errors queued). False with errno.
bool OpenUdpSocket(int family, UniqueFd* out);

// Starts a non-blocking connect to `peer`. Returns 0 (connected or in progress) with the socket
// in *out, or the errno of a connect that failed at once.
int StartTcpConnect(const sockaddr_storage& peer, socklen_t peer_len, UniqueFd* out);

// The result of a finished non-blocking connect: 0 or its errno.
int TcpConnectResult(int fd);

// Closes a probe's TCP connection with a reset, so probes leave no TIME_WAIT behind.
void CloseWithReset(UniqueFd* fd);

// "a.b.c.d", "x:y::z", with ":port" appended when `with_port`.
std::string PeerText(const sockaddr_storage& peer, bool with_port);

// Parses a numeric host ("1.2.3.4", "2001:db8::1", "[2001:db8::1]") and port into a socket
// address. Never resolves names: the prober runs inside the resolver itself.
bool ParsePeer(const std::string& host, uint16_t port, sockaddr_storage* out, socklen_t* len);

// The port of a socket address (host order).
uint16_t PortOf(const sockaddr_storage& addr);

// Whether two socket addresses name the same host (the port is not compared).
bool SameHost(const sockaddr_storage& a, const sockaddr_storage& b);

}  // namespace zc::dns
