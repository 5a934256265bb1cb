// Sending queries: server selection and failure marking, UDP ports (connected, rotated,
// retired while answers may still come), stream connections, and reading UDP answers.
#include <errno.h>
#include <string.h>
#include <sys/epoll.h>

#include <algorithm>
#include <memory>

#include "dns/upstream/upstream_worker_internal.h"
#include "utils/log.h"
#include "utils/timescale.h"

namespace zc::dns {

bool UpstreamWorker::Skipped(Server& server, Clock::time_point now) {
  if (!server.prohibited) return false;
  if (now - server.prohibited_at < zc::Scaled(kProhibitTime) &&
      now - server.last_receive > zc::Scaled(kAliveWindow)) {
    return true;
  }
  server.prohibited = false;
  return false;
}

void UpstreamWorker::Prohibit(Server& server, Clock::time_point now, const char* why, bool logged) {
  if (!server.prohibited && !logged) {
    LogOut(LL_WARN, "server %s not alive, prohibit (%s)", server.display.c_str(), why);
  }
  server.prohibited = true;
  server.prohibited_at = now;
}

size_t UpstreamWorker::SendRound(Query& query, Clock::time_point now) {
  // Servers marked as failing are left out while others can be reached; when none can, they
  // get the query after all rather than leaving the LAN without an answer.
  size_t reached = 0;
  std::vector<bool> tried(query.legs.size(), false);
  for (int round = 0; round < 2 && reached == 0; ++round) {
    for (size_t i = 0; i < query.legs.size(); ++i) {
      QueryLeg& leg = query.legs[i];
      if (tried[i] || leg.state == Leg::kAnswered) continue;
      Server& server = *servers_[leg.server];
      if (!server.resolved) continue;
      if (round == 0 && Skipped(server, now)) continue;
      tried[i] = true;
      if (SendTo(server, query, leg.over_tcp, leg.state == Leg::kSent, now)) {
        leg.state = Leg::kSent;
        ++reached;
      }
    }
  }
  query.last_send = now;
  if (reached > 0) query.reached_any = true;
  return reached;
}

bool UpstreamWorker::SendTo(Server& server, Query& query, bool over_tcp, bool leg_was_sent,
                            Clock::time_point now) {
  LogOut(LL_DEBUG, "send query to server %s", server.display.c_str());
  int error = 0;
  bool ok;
  if (server.config->type == UpstreamType::kUdp && !over_tcp) {
    ok = SendUdp(server, query, leg_was_sent, now, &error);
    if (ok) {
      for (QueryLeg& leg : query.legs) {
        if (leg.server == server.index) HoldUdpPort(server, leg);
      }
    }
  } else if (server.StreamWaiting(MessageId(query.wire))) {
    return true;  // still queued or in flight on a live connection
  } else {
    ok = SendStream(server, query.wire, now, &error);
  }
  if (ok) {
    server.last_send = now;
    sent_.fetch_add(1, std::memory_order_relaxed);
    return true;
  }
  LogOut(LL_WARN, "send query to %s failed, %s, type: %d", server.display.c_str(), strerror(error),
         static_cast<int>(server.config->type));
  NoteSendFailure(server, error);
  return false;
}

void UpstreamWorker::NoteSendFailure(Server& server, int error) {
  Clock::time_point now = Clock::now();
  if (error == ENETUNREACH) {
    RetireUdp(server, now);
    CloseStream(server, now);
    return;
  }
  if (error == ENOMEM && now - server.last_receive < zc::Scaled(kAliveWindow)) return;
  Prohibit(server, now, strerror(error), false);
  CloseStream(server, now);
}

bool UpstreamWorker::SendUdp(Server& server, const Query& query, bool leg_was_sent,
                             Clock::time_point now, int* error) {
  Server::UdpPort& port = server.udp;
  if (!port.open() || port.sent >= kQueriesPerUdpPort ||
      now - port.opened >= zc::Scaled(kUdpPortLifetime)) {
    RetireUdp(server, now);
    int fd = socket(server.address.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0 && (errno == EMFILE || errno == ENFILE) && !server.retired.empty()) {
      // Out of descriptors: the port kept longest for a late answer makes room.
      server.retired.erase(server.retired.begin());
      fd = socket(server.address.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    }
    if (fd < 0) {
      *error = errno;
      return false;
    }
    Server::UdpPort fresh;
    fresh.socket = std::make_shared<const UniqueFd>(fd);
    fresh.tag = MakeTag(kTagUdp, server.index, next_serial_++);
    fresh.opened = now;
    if (!EnableIcmpErrors(fd, server.address.ss_family)) {
      LogOut(LL_DEBUG, "UpstreamWorker::SendUdp: no ICMP errors on the port, %s", strerror(errno));
    }
    // Connected: the kernel drops datagrams from any other source address or port.
    if (connect(fd, reinterpret_cast<const sockaddr*>(&server.address), server.address_length) !=
        0) {
      *error = errno;
      return false;
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = fresh.tag;
    if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) != 0) {
      *error = errno;
      return false;
    }
    port = std::move(fresh);
  }
  pending_udp_.push_back(PendingUdp{port.socket, MessageId(query.wire),
                                    static_cast<uint16_t>(server.index), leg_was_sent});
  ++port.sent;
  return true;
}

void UpstreamWorker::FlushUdp() {
  std::vector<uint16_t> failed_queries;
  for (size_t first = 0; first < pending_udp_.size();) {
    // One run: the datagrams queued for one socket, in order.
    // The run holds its socket: a port retired and dropped since the datagram was queued closes
    // only after this send.
    const SharedSocket held = pending_udp_[first].socket;
    const int fd = held->get();
    mmsghdr msgs[kUdpSendBatch];
    iovec iov[kUdpSendBatch];
    size_t index[kUdpSendBatch];
    size_t n = 0, next = first;
    for (; next < pending_udp_.size() && pending_udp_[next].socket == held && n < kUdpSendBatch;
         ++next) {
      auto query = queries_.find(pending_udp_[next].query_id);
      if (query == queries_.end()) continue;
      iov[n] = {query->second.wire.data(), query->second.wire.size()};
      msgs[n] = {};
      msgs[n].msg_hdr.msg_iov = &iov[n];
      msgs[n].msg_hdr.msg_iovlen = 1;
      index[n++] = next;
    }
    first = next;
    bool retried = false;
    for (size_t done = 0; done < n;) {
      int sent = sendmmsg(fd, msgs + done, static_cast<unsigned>(n - done), MSG_NOSIGNAL);
      if (sent > 0) {
        done += static_cast<size_t>(sent);
        retried = false;
        continue;
      }
      int error = sent < 0 ? errno : EIO;
      if (error == EINTR) continue;
      // A port-unreachable for an earlier datagram is reported once; this one was not sent.
      if (error == ECONNREFUSED && !retried) {
        retried = true;
        continue;
      }
      const PendingUdp& p = pending_udp_[index[done++]];
      retried = false;
      Server& server = *servers_[p.server];
      sent_.fetch_sub(1, std::memory_order_relaxed);
      LogOut(LL_WARN, "send query to %s failed, %s, type: %d", server.display.c_str(),
             strerror(error), static_cast<int>(server.config->type));
      NoteSendFailure(server, error);
      auto query = queries_.find(p.query_id);
      if (query == queries_.end() || p.leg_was_sent) continue;
      for (QueryLeg& leg : query->second.legs) {
        if (leg.server == p.server && leg.state == Leg::kSent) leg.state = Leg::kIdle;
      }
      failed_queries.push_back(p.query_id);
    }
  }
  pending_udp_.clear();
  // A new query none of whose sends left ends at once, as when its first round fails.
  for (uint16_t id : failed_queries) {
    auto query = queries_.find(id);
    if (query == queries_.end() || query->second.answers > 0) continue;
    bool any_sent = false;
    for (const QueryLeg& leg : query->second.legs) any_sent = any_sent || leg.state == Leg::kSent;
    if (any_sent) continue;
    LogOut(LL_WARN, "Send query to upstream server failed, total server number %zu",
           query->second.legs.size());
    query->second.reached_any = false;
    Finish(id);
  }
}

bool UpstreamWorker::SendStream(Server& server, const std::vector<uint8_t>& wire,
                                Clock::time_point now, int* error) {
  if (server.stream && server.stream->ended()) CloseStream(server, now);
  if (server.stream && !server.stream->accepting()) {
    // GOAWAY: the old connection finishes what it has; new queries need a new one.
    LogOut(LL_INFO, "server %s stops taking queries on its http/2 connection, opening another",
           server.display.c_str());
    if (server.draining.size() >= kMaxDrainingConnections) {
      server.draining.front()->End(StreamEnd::kIdle, "server " + server.display + " drained.");
      CloseConnection(server, server.draining.front(), now);
      server.draining.erase(server.draining.begin());
    }
    server.draining.push_back(std::move(server.stream));
  }
  if (!server.stream) {
    StreamConnection::Target target;
    target.display = server.display;
    target.address = reinterpret_cast<const sockaddr*>(&server.address);
    target.address_length = server.address_length;
    target.kind = StreamKindFor(server.config->type);
    target.ssl_ctx = ssl_ctx_.get();
    target.tls = &server.tls;
    target.session = &server.session;
    target.http_path = server.config->http_path;
    target.http_host = server.doh_host;
    target.http2 = server.config->type == UpstreamType::kHttps && server.http2;
    uint64_t tag = MakeTag(kTagStream, server.index, next_serial_++);
    Server* owner = &server;
    auto stream = std::make_unique<StreamConnection>(
        std::move(target), epoll_.get(), tag, [this, owner](std::vector<uint8_t>&& message) {
          OnMessage(*owner, std::move(message), false, Clock::now());
        });
    std::string why;
    if (!stream->Open(now, &why, error)) {
      LogOut(LL_WARN, "UpstreamWorker::SendStream: %s", why.c_str());
      return false;
    }
    server.stream = std::move(stream);
  }
  if (!server.stream->Enqueue(wire)) {
    *error = server.stream->ended() ? EPIPE : ENOBUFS;
    return false;
  }
  return true;
}

void UpstreamWorker::CloseStream(Server& server, Clock::time_point now) {
  CloseConnection(server, server.stream, now);
}

void UpstreamWorker::SweepDraining(Server& server, Clock::time_point now, bool idle_check) {
  for (size_t i = 0; i < server.draining.size();) {
    StreamConnection& stream = *server.draining[i];
    if (!stream.ended() &&
        (stream.waiting_ids().empty() ||
         (idle_check && now - std::max(stream.last_receive(), stream.opened_at()) >
                            zc::Scaled(kConnectTimeout)))) {
      stream.End(StreamEnd::kIdle, "server " + server.display + " drained.");
    }
    if (!stream.ended()) {
      ++i;
      continue;
    }
    CloseConnection(server, server.draining[i], now);
    server.draining.erase(server.draining.begin() + static_cast<long>(i));
  }
}

void UpstreamWorker::CloseConnection(Server& server, std::unique_ptr<StreamConnection>& slot,
                                     Clock::time_point now) {
  if (!slot) return;
  StreamConnection& stream = *slot;
  if (!stream.ended()) stream.End(StreamEnd::kIdle, "server " + server.display + " closed.");
  StreamEnd why = stream.end_reason();
  bool https = server.config->type == UpstreamType::kHttps;
  if (why == StreamEnd::kProtocolMismatch && https && !stream.http2() && !server.config->http2 &&
      !server.http2_failed) {
    // The server speaks only HTTP/2 (it refused ALPN http/1.1, hung up on the request, or
    // answered with HTTP/2 frames): the next connection, at the next retry, uses HTTP/2.
    LogOut(LL_WARN, "server %s does not speak HTTP/1.1 (%s), using HTTP/2", server.display.c_str(),
           stream.end_detail().c_str());
    server.http2 = true;
    why = StreamEnd::kPeerClosed;
    for (uint16_t id : stream.waiting_ids()) resend_.emplace_back(server.index, id);
  } else if (why == StreamEnd::kProtocolMismatch) {
    LogOut(LL_ERR, "server %s does not speak %s (%s), closed and prohibited",
           server.display.c_str(), stream.http2() ? "HTTP/2" : "HTTP/1.1",
           stream.end_detail().c_str());
    if (stream.http2() && !server.config->http2) {
      // Neither protocol: HTTP/1.1 again once the server is tried again, and no further switch.
      server.http2 = false;
      server.http2_failed = true;
    }
  } else if (IsFailure(why)) {
    LogOut(LL_WARN, "%s, server %s prohibited", stream.end_detail().c_str(),
           server.display.c_str());
  } else {
    LogOut(LL_DEBUG, "server %s closed.", server.display.c_str());
  }
  if (IsFailure(why)) Prohibit(server, now, "", true);
  // Queries still waiting here go out again at their next retry.
  for (uint16_t id : stream.waiting_ids()) {
    auto query = queries_.find(id);
    if (query == queries_.end()) continue;
    for (QueryLeg& leg : query->second.legs) {
      if (leg.server == server.index && leg.state == Leg::kSent) leg.state = Leg::kIdle;
    }
  }
  slot.reset();
}

void UpstreamWorker::ResendAfterSwitch(Clock::time_point now) {
  std::vector<std::pair<size_t, uint16_t>> resend;
  resend.swap(resend_);
  for (auto [index, id] : resend) {
    auto query = queries_.find(id);
    if (query == queries_.end()) continue;
    for (QueryLeg& leg : query->second.legs) {
      if (leg.server != index || leg.state != Leg::kIdle) continue;
      if (SendTo(*servers_[index], query->second, leg.over_tcp, true, now)) leg.state = Leg::kSent;
    }
  }
}

void UpstreamWorker::RetireUdp(Server& server, Clock::time_point now) {
  if (!server.udp.open()) return;
  if (server.udp.outstanding == 0) {
    server.udp = Server::UdpPort();
    return;
  }
  // Late answers to queries sent from this port are still accepted until they finish.
  server.udp.close_at = now + zc::Scaled(kRetryInterval * (kRetryBudget + 1));
  if (server.retired.size() >= kMaxRetiredPorts) server.retired.erase(server.retired.begin());
  server.retired.push_back(std::move(server.udp));
  server.udp = Server::UdpPort();
}

void UpstreamWorker::ReleaseUdpPort(Server& server, uint64_t tag) {
  if (tag == 0) return;
  if (server.udp.tag == tag) {
    if (server.udp.outstanding > 0) --server.udp.outstanding;
    return;
  }
  for (auto it = server.retired.begin(); it != server.retired.end(); ++it) {
    if (it->tag != tag) continue;
    if (it->outstanding > 0) --it->outstanding;
    if (it->outstanding == 0) server.retired.erase(it);
    return;
  }
}

void UpstreamWorker::HoldUdpPort(Server& server, QueryLeg& leg) {
  uint64_t tag = server.udp.tag;
  if (std::find(leg.udp_ports.begin(), leg.udp_ports.end(), tag) != leg.udp_ports.end()) return;
  if (leg.udp_ports.back() != 0) {  // more sends than slots: the oldest port lets go
    ReleaseUdpPort(server, leg.udp_ports.front());
    std::rotate(leg.udp_ports.begin(), leg.udp_ports.begin() + 1, leg.udp_ports.end());
    leg.udp_ports.back() = 0;
  }
  *std::find(leg.udp_ports.begin(), leg.udp_ports.end(), uint64_t{0}) = tag;
  ++server.udp.outstanding;
}

void UpstreamWorker::ReleaseUdpPorts(Server& server, QueryLeg& leg) {
  for (uint64_t& tag : leg.udp_ports) {
    if (tag != 0) ReleaseUdpPort(server, tag);
    tag = 0;
  }
}

void UpstreamWorker::ReleaseLegs(Query& query) {
  uint16_t id = MessageId(query.wire);
  for (QueryLeg& leg : query.legs) {
    Server& server = *servers_[leg.server];
    ReleaseUdpPorts(server, leg);
    // The ID may be drawn again for another query: it must not look queued here.
    if (server.stream) server.stream->Forget(id);
    for (auto& draining : server.draining) draining->Forget(id);
  }
}

void UpstreamWorker::OnUdpReadable(Server& server, const UniqueFd& udp, uint64_t tag,
                                   Clock::time_point now) {
  // Answers are read in batches: one system call for all the datagrams that are waiting.
  struct Batch {
    uint8_t data[kUdpBatch][kUdpAnswerBuffer];
    iovec iov[kUdpBatch];
    mmsghdr headers[kUdpBatch];
  };
  static thread_local std::unique_ptr<Batch> batch = std::make_unique<Batch>();
  const int fd = udp.get();
  auto still_open = [&server, tag] {
    return server.udp.tag == tag ||
           std::any_of(server.retired.begin(), server.retired.end(),
                       [tag](const Server::UdpPort& port) { return port.tag == tag; });
  };
  for (int round = 0; round < kMaxUdpBatchesPerEvent; ++round) {
    for (size_t i = 0; i < kUdpBatch; ++i) {
      batch->iov[i] = {batch->data[i], kUdpAnswerBuffer};
      batch->headers[i] = mmsghdr{};
      batch->headers[i].msg_hdr.msg_iov = &batch->iov[i];
      batch->headers[i].msg_hdr.msg_iovlen = 1;
    }
    int n = recvmmsg(fd, batch->headers, kUdpBatch, MSG_DONTWAIT, nullptr);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) return;
      // ICMP errors of earlier datagrams surface here on a connected socket.
      int error = errno;
      LogOut(LL_DEBUG, "recv udp from %s failed, %s", server.display.c_str(), strerror(error));
      OnUdpErrors(server, udp, tag, now);
      if (!still_open()) return;
      if (error == ECONNREFUSED || error == EHOSTUNREACH || error == ENETUNREACH) continue;
      return;
    }
    for (int i = 0; i < n; ++i) {
      size_t length = batch->headers[i].msg_len;
      if (batch->headers[i].msg_hdr.msg_flags & MSG_TRUNC) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        LogOut(LL_WARN, "udp answer from %s is larger than %zu bytes, dropped",
               server.display.c_str(), kUdpAnswerBuffer);
        continue;
      }
      LogOut(LL_DEBUG, "recv udp packet from %s, len: %zu", server.display.c_str(), length);
      OnMessage(server, std::vector<uint8_t>(batch->data[i], batch->data[i] + length), true, now);
      if (!still_open()) return;  // the port was closed while handling the answer
    }
    if (static_cast<size_t>(n) < kUdpBatch) return;
  }
}

}  // namespace zc::dns
