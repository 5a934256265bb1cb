// Internal to the upstream work thread: epoll tags, limits, and the per-server state shared by
// upstream_worker.cc (queries, events, retries) and upstream_send.cc (sockets and sending).
#pragma once

#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

#include "dns/upstream/stream_connection.h"
#include "dns/upstream/upstream_worker.h"

namespace zc::dns {

// Epoll tags: kind in the top byte, server index below it, a serial in the low 40 bits so an
// event for a socket that was replaced in the same wake is recognised as stale.
enum TagKind : uint64_t { kTagWake = 1, kTagTimer = 2, kTagUdp = 3, kTagStream = 4 };
inline constexpr uint64_t kSerialMask = (uint64_t{1} << 40) - 1;

inline uint64_t MakeTag(TagKind kind, size_t server, uint64_t serial) {
  return (static_cast<uint64_t>(kind) << 56) | (static_cast<uint64_t>(server & 0xffff) << 40) |
         (serial & kSerialMask);
}
inline TagKind KindOf(uint64_t tag) {
  return static_cast<TagKind>(tag >> 56);
}
inline size_t ServerOf(uint64_t tag) {
  return static_cast<size_t>((tag >> 40) & 0xffff);
}

inline constexpr size_t kMaxEvents = 64;
// UDP answers are read in batches. The engine asks for at most 4096 bytes (EDNS); a larger
// datagram is dropped.
inline constexpr size_t kUdpBatch = 8;
// Queued query datagrams go out in batches of this many per system call.
inline constexpr size_t kUdpSendBatch = 32;
inline constexpr size_t kUdpAnswerBuffer = 8192;
inline constexpr int kMaxUdpBatchesPerEvent = 4;
inline constexpr int kMaxIcmpErrorsPerEvent = 64;

// Asks the kernel to queue ICMP errors of the socket's datagrams with their payload.
bool EnableIcmpErrors(int fd, int family);
// Retired UDP ports kept per server for late answers (one per four queries in flight, or fewer);
// beyond it the oldest closes.
inline constexpr size_t kMaxRetiredPorts = 256;
inline constexpr size_t kRandomPool = 512;
// HTTP/2 connections kept per server after a GOAWAY for the answers they still owe; beyond it
// the oldest closes (its queries go out again at their next retry).
inline constexpr size_t kMaxDrainingConnections = 4;

inline StreamKind StreamKindFor(UpstreamType type) {
  switch (type) {
    case UpstreamType::kTls:
      return StreamKind::kTls;
    case UpstreamType::kHttps:
      return StreamKind::kHttps;
    default:
      return StreamKind::kTcp;  // TCP servers, and the TCP retry of UDP servers
  }
}

inline bool IsFailure(StreamEnd why) {
  return why != StreamEnd::kPeerClosed && why != StreamEnd::kIdle;
}

// A UDP socket of the upstream client. Shared by the port that uses it and by every datagram
// queued for it in the current wake: the descriptor closes only when nothing refers to it any
// more, so a queued send can never reach a descriptor number the process has meanwhile given to
// another socket (a LAN client's TCP connection, say).
using SharedSocket = std::shared_ptr<const UniqueFd>;

struct UpstreamWorker::Server {
  struct UdpPort {
    SharedSocket socket;
    uint64_t tag = 0;
    uint32_t sent = 0;
    uint32_t outstanding = 0;  // query legs whose last send went through this port
    Clock::time_point opened{};
    Clock::time_point close_at{};

    bool open() const { return socket && socket->valid(); }
    int fd() const { return socket ? socket->get() : -1; }
  };

  size_t index = 0;
  const UpstreamServerConfig* config = nullptr;
  std::string display;
  bool resolved = false;
  sockaddr_storage address{};
  socklen_t address_length = 0;
  TlsPeerSettings tls;
  std::string doh_host;
  bool prohibited = false;
  Clock::time_point prohibited_at{};
  Clock::time_point last_send{};
  Clock::time_point last_receive{};
  UdpPort udp;
  std::vector<UdpPort> retired;
  std::unique_ptr<StreamConnection> stream;
  // HTTP/2 connections that stopped taking queries (GOAWAY) but still owe answers.
  std::vector<std::unique_ptr<StreamConnection>> draining;
  SslSessionPtr session;
  // HTTPS: the protocol of the next connection, and whether HTTP/2 was tried and failed since
  // HTTP/1.1 last failed (so a server speaking neither is not switched back and forth).
  bool http2 = false;
  bool http2_failed = false;

  // The connection with this epoll tag, live or draining; null when it is gone.
  StreamConnection* StreamFor(uint64_t tag) const {
    if (stream && stream->epoll_tag() == tag) return stream.get();
    for (const auto& d : draining) {
      if (d->epoll_tag() == tag) return d.get();
    }
    return nullptr;
  }
  // A query with this ID is in flight on one of the connections.
  bool StreamWaiting(uint16_t id) const {
    if (stream && !stream->ended() && stream->Waiting(id)) return true;
    for (const auto& d : draining) {
      if (!d->ended() && d->Waiting(id)) return true;
    }
    return false;
  }
};

}  // namespace zc::dns
