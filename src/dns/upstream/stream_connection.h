// One stream connection to an upstream server: plain TCP, DNS over TLS, or DNS over HTTPS with
// HTTP/1.1 (one request after another) or HTTP/2 (many streams at once). Non-blocking: connect,
// handshake, certificate checks, buffered writes and framed reads all run from epoll readiness on
// the client's work thread, which alone owns the object.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "dns/common/dns_handles.h"
#include "dns/upstream/http1_response.h"
#include "dns/upstream/http2_client.h"
#include "dns/upstream/tls_client.h"
#include "dns/upstream/upstream_message.h"

namespace zc::dns {

using UpstreamClock = std::chrono::steady_clock;

enum class StreamKind { kTcp, kTls, kHttps };

// Why a connection ended; everything but kPeerClosed and kIdle counts against the server.
enum class StreamEnd {
  kOpen,
  kPeerClosed,
  kIdle,
  kConnectFailed,
  kHandshakeFailed,
  kVerifyFailed,
  kProtocolMismatch,
  kIoError,
  kTimeout,
};

// Send buffer limit per connection; beyond it new queries fail over to other servers.
inline constexpr size_t kMaxStreamSendBuffer = 256 * 1024;

class StreamConnection {
 public:
  using MessageFn = std::function<void(std::vector<uint8_t>&& message)>;

  struct Target {
    std::string display;  // server name for log lines
    const sockaddr* address = nullptr;
    socklen_t address_length = 0;
    StreamKind kind = StreamKind::kTcp;
    SSL_CTX* ssl_ctx = nullptr;            // kTls, kHttps
    const TlsPeerSettings* tls = nullptr;  // kTls, kHttps
    SslSessionPtr* session = nullptr;      // saved session slot of the server, may be null
    std::string http_path;                 // kHttps
    std::string http_host;                 // kHttps
    bool http2 = false;                    // kHttps: ALPN "h2" and HTTP/2 framing
  };

  StreamConnection(Target target, int epoll_fd, uint64_t epoll_tag, MessageFn on_message);
  ~StreamConnection();
  StreamConnection(const StreamConnection&) = delete;
  StreamConnection& operator=(const StreamConnection&) = delete;

  // Starts the non-blocking connect and registers with epoll. False with *error and the errno
  // of the failed call in *error_number.
  bool Open(UpstreamClock::time_point now, std::string* error, int* error_number);
  // True when a query with this ID is queued or written here and not answered yet.
  bool Waiting(uint16_t id) const;
  // The query with this ID is over; its answer, should it still come, is not waited for.
  void Forget(uint16_t id);
  // Queues one DNS message (framed, as an HTTP/1.1 request or on a new HTTP/2 stream); sent as
  // soon as the connection is ready. False when the send buffer is full or the connection takes
  // no new query (see accepting()).
  bool Enqueue(std::span<const uint8_t> message);
  // False once an HTTP/2 server sent GOAWAY (or the stream IDs are used up): the queries in
  // flight still get their answers here, new ones need a new connection.
  bool accepting() const { return !ended() && (!h2_ || h2_->accepting()); }
  bool http2() const { return target_.http2; }
  // Handles epoll readiness. Afterwards check ended().
  void OnEvent(uint32_t events, UpstreamClock::time_point now);
  // Ends the connection (time-outs, shutdown by the owner).
  void End(StreamEnd why, std::string detail);

  bool ended() const { return end_ != StreamEnd::kOpen; }
  StreamEnd end_reason() const { return end_; }
  const std::string& end_detail() const { return end_detail_; }
  bool ready() const { return state_ == State::kReady; }
  bool connecting() const { return state_ == State::kConnecting || state_ == State::kHandshaking; }
  UpstreamClock::time_point opened_at() const { return opened_at_; }
  UpstreamClock::time_point last_receive() const { return last_receive_; }
  uint64_t epoll_tag() const { return epoll_tag_; }
  // IDs of the queries written (or queued) on this connection and not answered yet.
  const std::vector<uint16_t>& waiting_ids() const { return waiting_ids_; }

  // Stores a fresh TLS session in the server's slot (installed on the shared context).
  static int NewSessionCallback(SSL* ssl, SSL_SESSION* session);

 private:
  enum class State { kConnecting, kHandshaking, kReady, kEnded };

  void FinishConnect(UpstreamClock::time_point now);
  void Handshake(UpstreamClock::time_point now);
  bool Flush();
  void Receive(UpstreamClock::time_point now);
  void TakeBytes(std::span<const uint8_t> data, UpstreamClock::time_point now);
  void DeliverHttp(HttpResponse& response);
  void TakeHttp2(std::span<const uint8_t> data);
  // Moves the frames the HTTP/2 session wants to send into the send buffer.
  bool PumpHttp2();
  void Deliver(std::vector<uint8_t>&& message);
  void UpdateInterest();
  std::string SslErrorText(int ret);

  Target target_;
  int epoll_fd_;
  uint64_t epoll_tag_;
  MessageFn on_message_;
  UniqueFd fd_;
  SslPtr ssl_;
  State state_ = State::kConnecting;
  StreamEnd end_ = StreamEnd::kOpen;
  std::string end_detail_;
  uint32_t interest_ = 0;
  bool registered_ = false;
  bool ssl_wants_write_ = false;
  std::string out_;
  size_t out_offset_ = 0;
  DnsStreamReader reader_;
  Http1ResponseParser http_;
  std::unique_ptr<Http2Client> h2_;
  std::vector<uint16_t> waiting_ids_;
  uint64_t received_ = 0;  // bytes read from the server
  UpstreamClock::time_point opened_at_{};
  UpstreamClock::time_point last_receive_{};
};

}  // namespace zc::dns
