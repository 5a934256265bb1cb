#include "dns/upstream/stream_connection.h"

#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <string.h>
#include <sys/epoll.h>

#include <algorithm>

#include "utils/log.h"

namespace zc::dns {

namespace {

constexpr size_t kReadChunk = 16 * 1024;
// Plain reads per readiness event before yielding to the other sockets (level-triggered).
constexpr int kMaxReadsPerEvent = 16;
// Unanswered IDs remembered per connection (only for re-sending after a loss).
constexpr size_t kMaxWaitingIds = 1024;

const char* KindName(StreamKind kind) {
  switch (kind) {
    case StreamKind::kTcp:
      return "tcp";
    case StreamKind::kTls:
      return "tls";
    case StreamKind::kHttps:
      return "https";
  }
  return "?";
}

}  // namespace

StreamConnection::StreamConnection(Target target, int epoll_fd, uint64_t epoll_tag,
                                   MessageFn on_message)
    : target_(std::move(target)),
      epoll_fd_(epoll_fd),
      epoll_tag_(epoll_tag),
      on_message_(std::move(on_message)) {}

StreamConnection::~StreamConnection() {
  if (registered_) epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd_.get(), nullptr);
}

int StreamConnection::NewSessionCallback(SSL* ssl, SSL_SESSION* session) {
  auto* connection = static_cast<StreamConnection*>(SSL_get_app_data(ssl));
  if (connection == nullptr || connection->target_.session == nullptr) return 0;
  connection->target_.session->reset(session);  // takes the reference
  return 1;
}

std::string StreamConnection::SslErrorText(int ret) {
  int code = ssl_ ? SSL_get_error(ssl_.get(), ret) : 0;
  unsigned long detail = ERR_peek_last_error();
  std::string text = "ssl error " + std::to_string(code);
  if (detail != 0) {
    char buf[256];
    ERR_error_string_n(detail, buf, sizeof buf);
    text += ", ";
    text += buf;
  } else if (code == SSL_ERROR_SYSCALL && errno != 0) {
    text += ", ";
    text += strerror(errno);
  }
  ERR_clear_error();
  return text;
}

bool StreamConnection::Waiting(uint16_t id) const {
  return std::find(waiting_ids_.begin(), waiting_ids_.end(), id) != waiting_ids_.end();
}

void StreamConnection::Forget(uint16_t id) {
  auto it = std::find(waiting_ids_.begin(), waiting_ids_.end(), id);
  if (it == waiting_ids_.end()) return;
  waiting_ids_.erase(it);
  if (h2_ && !ended()) {
    h2_->Forget(id);  // its stream is cancelled: the ID may come back on another query
    PumpHttp2();
    UpdateInterest();
  }
}

bool StreamConnection::Open(UpstreamClock::time_point now, std::string* error, int* error_number) {
  opened_at_ = now;
  *error_number = EIO;
  int fd = socket(target_.address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error_number = errno;
    *error = std::string("create socket failed, ") + strerror(errno);
    return false;
  }
  fd_.Reset(fd);
  int one = 1;
  if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
    LogOut(LL_DEBUG, "StreamConnection::Open: TCP_NODELAY failed, %s", strerror(errno));
  }
  if (connect(fd, target_.address, target_.address_length) != 0 && errno != EINPROGRESS) {
    *error_number = errno;
    *error = "connect " + target_.display + " failed, " + strerror(errno);
    return false;
  }
  if (target_.kind != StreamKind::kTcp) {
    ssl_.reset(SSL_new(target_.ssl_ctx));
    if (!ssl_) {
      *error = "new ssl failed, " + SslErrorText(0);
      return false;
    }
    if (SSL_set_fd(ssl_.get(), fd) != 1) {
      *error = "ssl set fd failed.";
      return false;
    }
    if (!ConfigureSsl(ssl_.get(), *target_.tls, target_.http2, error)) return false;
    SSL_set_app_data(ssl_.get(), this);
    if (target_.session != nullptr && *target_.session) {
      SSL_set_session(ssl_.get(), target_.session->get());
    }
  }
  if (target_.kind == StreamKind::kHttps && target_.http2) {
    h2_ = std::make_unique<Http2Client>(target_.http_host, target_.http_path);
    if (!h2_->Start(error) || !PumpHttp2()) {
      if (error->empty()) *error = h2_->error();
      return false;
    }
  }
  epoll_event event{};
  event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP;
  event.data.u64 = epoll_tag_;
  if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &event) != 0) {
    *error_number = errno;
    *error = std::string("epoll add failed, ") + strerror(errno);
    return false;
  }
  registered_ = true;
  interest_ = event.events;
  LogOut(LL_DEBUG, "%s server %s connecting.", KindName(target_.kind), target_.display.c_str());
  return true;
}

bool StreamConnection::Enqueue(std::span<const uint8_t> message) {
  if (ended()) return false;
  if (h2_) {
    if (message.size() < 2 || out_.size() - out_offset_ > kMaxStreamSendBuffer ||
        !h2_->Submit(message, MessageId(message)) || !PumpHttp2()) {
      return false;
    }
    if (waiting_ids_.size() >= kMaxWaitingIds) waiting_ids_.erase(waiting_ids_.begin());
    waiting_ids_.push_back(MessageId(message));
    if (state_ == State::kReady) Flush();
    UpdateInterest();
    return !ended();
  }
  size_t framing = target_.kind == StreamKind::kHttps ? 256 + target_.http_path.size() : 2;
  if (out_.size() - out_offset_ + message.size() + framing > kMaxStreamSendBuffer) return false;
  if (out_offset_ == out_.size()) {
    out_.clear();
    out_offset_ = 0;
  }
  if (target_.kind == StreamKind::kHttps) {
    out_ += BuildDohRequest(target_.http_path, target_.http_host, message);
  } else {
    out_.push_back(static_cast<char>(message.size() >> 8));
    out_.push_back(static_cast<char>(message.size() & 0xff));
    out_.append(reinterpret_cast<const char*>(message.data()), message.size());
  }
  if (message.size() >= 2) {
    if (waiting_ids_.size() >= kMaxWaitingIds) waiting_ids_.erase(waiting_ids_.begin());
    waiting_ids_.push_back(MessageId(message));
  }
  if (state_ == State::kReady) Flush();
  UpdateInterest();
  return !ended();
}

void StreamConnection::OnEvent(uint32_t events, UpstreamClock::time_point now) {
  if (ended()) return;
  if (state_ == State::kConnecting) {
    if (!(events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) return;
    FinishConnect(now);
  } else if (state_ == State::kHandshaking) {
    Handshake(now);
  } else if (state_ == State::kReady) {
    if (events & EPOLLOUT) Flush();
    if (!ended() && (events & (EPOLLIN | EPOLLHUP | EPOLLERR | EPOLLRDHUP))) Receive(now);
  }
  if (!ended()) UpdateInterest();
}

void StreamConnection::FinishConnect(UpstreamClock::time_point now) {
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(fd_.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
  if (error != 0) {
    End(StreamEnd::kConnectFailed, "connect " + target_.display + " failed, " + strerror(error));
    return;
  }
  if (target_.kind == StreamKind::kTcp) {
    state_ = State::kReady;
    LogOut(LL_DEBUG, "tcp server %s connected.", target_.display.c_str());
    Flush();
    return;
  }
  state_ = State::kHandshaking;
  Handshake(now);
}

void StreamConnection::Handshake(UpstreamClock::time_point now) {
  ERR_clear_error();
  int ret = SSL_connect(ssl_.get());
  if (ret == 1) {
    std::string detail;
    PeerCheck check = CheckPeer(ssl_.get(), *target_.tls, target_.http2, &detail);
    if (check == PeerCheck::kVerifyFailed || check == PeerCheck::kPinMismatch) {
      End(StreamEnd::kVerifyFailed, "peer " + target_.display + " verify failed: " + detail);
      return;
    }
    if (check == PeerCheck::kProtocolMismatch) {
      End(StreamEnd::kProtocolMismatch, detail);
      return;
    }
    LogOut(LL_DEBUG, "%s", detail.c_str());
    state_ = State::kReady;
    ssl_wants_write_ = false;
    last_receive_ = now;
    LogOut(LL_INFO, "tls server %s connected, %s", target_.display.c_str(),
           SSL_session_reused(ssl_.get()) ? "reused session" : "new session");
    Flush();
    return;
  }
  int code = SSL_get_error(ssl_.get(), ret);
  if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) {
    ssl_wants_write_ = code == SSL_ERROR_WANT_WRITE;
    return;
  }
  unsigned long reason = ERR_GET_REASON(ERR_peek_last_error());
  if (reason == SSL_R_TLSV1_ALERT_NO_APPLICATION_PROTOCOL) {
    SslErrorText(ret);
    End(StreamEnd::kProtocolMismatch,
        target_.http2 ? "server refused ALPN h2" : "server refused ALPN http/1.1");
    return;
  }
  long verify = SSL_get_verify_result(ssl_.get());
  if (target_.tls->check_certificate && verify != X509_V_OK) {
    SslErrorText(ret);
    End(StreamEnd::kVerifyFailed,
        "peer server " + target_.display +
            " certificate verify failed, ret = " + std::to_string(verify) + " (" +
            X509_verify_cert_error_string(verify) + "), expect: " + target_.tls->verify_name);
    return;
  }
  End(StreamEnd::kHandshakeFailed,
      "Handshake with " + target_.display + " failed, " + SslErrorText(ret));
}

bool StreamConnection::Flush() {
  while (out_offset_ < out_.size()) {
    const char* data = out_.data() + out_offset_;
    size_t size = out_.size() - out_offset_;
    if (ssl_) {
      ERR_clear_error();
      int n = SSL_write(ssl_.get(), data, static_cast<int>(std::min<size_t>(size, 1 << 30)));
      if (n > 0) {
        out_offset_ += static_cast<size_t>(n);
        ssl_wants_write_ = false;
        continue;
      }
      int code = SSL_get_error(ssl_.get(), n);
      if (code == SSL_ERROR_WANT_WRITE || code == SSL_ERROR_WANT_READ) {
        ssl_wants_write_ = code == SSL_ERROR_WANT_WRITE;
        return true;
      }
      End(StreamEnd::kIoError, "send to " + target_.display + " failed, " + SslErrorText(n));
      return false;
    }
    ssize_t n = send(fd_.get(), data, size, MSG_NOSIGNAL);
    if (n > 0) {
      out_offset_ += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    End(StreamEnd::kIoError, "send to " + target_.display + " failed, " + strerror(errno));
    return false;
  }
  out_.clear();
  out_offset_ = 0;
  return true;
}

void StreamConnection::Receive(UpstreamClock::time_point now) {
  uint8_t buffer[kReadChunk];
  for (int reads = 0; !ended(); ++reads) {
    if (ssl_) {
      ERR_clear_error();
      int n = SSL_read(ssl_.get(), buffer, sizeof buffer);
      if (n > 0) {
        TakeBytes({buffer, static_cast<size_t>(n)}, now);
        continue;  // drain what OpenSSL holds: epoll cannot see it
      }
      int code = SSL_get_error(ssl_.get(), n);
      if (code == SSL_ERROR_WANT_READ) return;
      if (code == SSL_ERROR_WANT_WRITE) {
        ssl_wants_write_ = true;
        return;
      }
      if (code == SSL_ERROR_ZERO_RETURN) break;  // orderly close
      End(StreamEnd::kIoError, "SSL read fail from " + target_.display + ", " + SslErrorText(n));
      return;
    }
    if (reads >= kMaxReadsPerEvent) return;
    ssize_t n = recv(fd_.get(), buffer, sizeof buffer, 0);
    if (n > 0) {
      TakeBytes({buffer, static_cast<size_t>(n)}, now);
      continue;
    }
    if (n == 0) break;
    if (errno == EAGAIN || errno == EINTR) return;
    End(StreamEnd::kIoError, "recv failed, server " + target_.display + ", " + strerror(errno));
    return;
  }
  if (ended()) return;
  if (h2_) {
    End(StreamEnd::kPeerClosed, "peer close, " + target_.display);
    return;
  }
  if (target_.kind == StreamKind::kHttps) {
    if (received_ == 0 && !waiting_ids_.empty()) {
      // HTTP/2-only servers (unbound's https-port) accept the TLS session, read the HTTP/1.1
      // request and hang up without a byte.
      End(StreamEnd::kProtocolMismatch, "closed the connection without an HTTP/1.1 response");
      return;
    }
    HttpResponse response;
    HttpParseResult last = http_.Finish(&response);
    if (last == HttpParseResult::kResponse) DeliverHttp(response);
  }
  End(StreamEnd::kPeerClosed, "peer close, " + target_.display);
}

void StreamConnection::TakeBytes(std::span<const uint8_t> data, UpstreamClock::time_point now) {
  last_receive_ = now;
  received_ += data.size();
  if (target_.kind != StreamKind::kHttps) {
    reader_.Append(data);
    std::vector<uint8_t> message;
    while (!ended() && reader_.Next(&message)) Deliver(std::move(message));
    return;
  }
  if (h2_) {
    TakeHttp2(data);
    return;
  }
  http_.Feed(data);
  while (!ended()) {
    HttpResponse response;
    HttpParseResult result = http_.Next(&response);
    if (result == HttpParseResult::kNeedMore) return;
    if (result == HttpParseResult::kProtocolMismatch) {
      End(StreamEnd::kProtocolMismatch, http_.error());
      return;
    }
    if (result == HttpParseResult::kError) {
      End(StreamEnd::kIoError,
          "http response from " + target_.display + " is malformed, " + http_.error());
      return;
    }
    DeliverHttp(response);
    if (response.close && !ended()) {
      End(StreamEnd::kPeerClosed, "server " + target_.display + " closes the connection");
    }
  }
}

void StreamConnection::DeliverHttp(HttpResponse& response) {
  if (response.status != 200) {
    LogOut(LL_WARN, "http server query from %s failed, server return http code : %d, %s",
           target_.display.c_str(), response.status, response.reason.c_str());
    return;
  }
  Deliver(std::move(response.body));
}

void StreamConnection::TakeHttp2(std::span<const uint8_t> data) {
  if (!h2_->Receive(data)) {
    // Garbage before the first frame: whatever the server speaks, it is not HTTP/2.
    End(h2_->heard_from_server() ? StreamEnd::kIoError : StreamEnd::kProtocolMismatch,
        "http/2 session with " + target_.display + " failed, " + h2_->error());
    return;
  }
  for (Http2Event& event : h2_->TakeEvents()) {
    if (ended()) return;
    switch (event.kind) {
      case Http2Event::Kind::kAnswer:
        Deliver(std::move(event.body));
        break;
      case Http2Event::Kind::kHttpError:
        LogOut(LL_WARN, "http server query from %s failed, server return http code : %d",
               target_.display.c_str(), event.status);
        break;
      case Http2Event::Kind::kReset: {
        // Not answered here: the next retry sends the query again (on a new connection after
        // a GOAWAY).
        LogOut(LL_INFO, "http/2 stream of id %d reset by %s, error %u", event.id,
               target_.display.c_str(), event.error_code);
        auto it = std::find(waiting_ids_.begin(), waiting_ids_.end(), event.id);
        if (it != waiting_ids_.end()) waiting_ids_.erase(it);
        break;
      }
    }
  }
  if (ended()) return;
  if (!PumpHttp2()) return;
  if (state_ == State::kReady && out_offset_ < out_.size() && !Flush()) return;
  if (h2_->done()) {
    // nghttp2 answers garbage with its own GOAWAY: a session that ends before a single valid
    // frame came is a server that does not speak HTTP/2.
    if (!h2_->heard_from_server()) {
      End(StreamEnd::kProtocolMismatch, "the server's first bytes are not HTTP/2 frames");
    } else {
      End(StreamEnd::kPeerClosed, "server " + target_.display + " ended the http/2 session");
    }
  }
}

bool StreamConnection::PumpHttp2() {
  if (!h2_->Produce(&out_)) {
    End(StreamEnd::kIoError, "http/2 session with " + target_.display + " failed, " + h2_->error());
    return false;
  }
  return true;
}

void StreamConnection::Deliver(std::vector<uint8_t>&& message) {
  if (message.size() >= 2) {
    auto it = std::find(waiting_ids_.begin(), waiting_ids_.end(), MessageId(message));
    if (it != waiting_ids_.end()) waiting_ids_.erase(it);
  }
  on_message_(std::move(message));
}

void StreamConnection::UpdateInterest() {
  if (!registered_) return;
  uint32_t want = EPOLLIN | EPOLLRDHUP;
  bool pending_out = out_offset_ < out_.size();
  if (state_ == State::kConnecting || ssl_wants_write_ ||
      (state_ == State::kReady && pending_out)) {
    want |= EPOLLOUT;
  }
  if (want == interest_) return;
  epoll_event event{};
  event.events = want;
  event.data.u64 = epoll_tag_;
  if (epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, fd_.get(), &event) == 0) interest_ = want;
}

void StreamConnection::End(StreamEnd why, std::string detail) {
  if (ended()) return;
  if (ssl_ && state_ == State::kReady) {
    ERR_clear_error();
    SSL_shutdown(ssl_.get());  // best effort close_notify; never waits
    ERR_clear_error();
  }
  state_ = State::kEnded;
  end_ = why;
  end_detail_ = std::move(detail);
  if (registered_) {
    epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd_.get(), nullptr);
    registered_ = false;
  }
  ssl_.reset();
  fd_.Reset();
}

}  // namespace zc::dns
