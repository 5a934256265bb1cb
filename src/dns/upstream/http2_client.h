// The HTTP/2 side of a DNS-over-HTTPS connection: one nghttp2 client session, many queries at
// once, each a POST on its own stream.
//
// No I/O of its own: the owning StreamConnection feeds the bytes it read from TLS (Receive) and
// writes what the session wants to send (Produce), so the connection stays on the upstream
// thread's epoll like the HTTP/1.1 one. Completed streams come out as events: an answer, an HTTP
// error status, or a stream the server reset or refused (the query may go out again). After the
// server's GOAWAY no new stream is opened here; done() turns true once the streams the server
// still serves have closed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "dns/upstream/nghttp2_handles.h"

namespace zc::dns {

// Streams open or queued on one connection; beyond it new queries go to a new connection or to
// other servers. (Servers allow about 100 at once; nghttp2 queues the rest in order.)
inline constexpr size_t kMaxHttp2Streams = 1024;
// Streams the server is assumed to allow at once until its SETTINGS say otherwise.
inline constexpr uint32_t kAssumedServerStreams = 100;
// An answer body larger than a DNS message can be resets its stream.
inline constexpr size_t kMaxHttp2Body = 65535;

struct Http2Event {
  enum class Kind {
    kAnswer,     // status 200: body holds the DNS message
    kHttpError,  // another status (status), body dropped
    kReset,      // closed without a complete answer: RST_STREAM, refused after GOAWAY, too big
  };
  Kind kind = Kind::kAnswer;
  uint16_t id = 0;  // DNS message ID of the query
  int status = 0;
  uint32_t error_code = 0;  // HTTP/2 error code of a reset
  std::vector<uint8_t> body;
};

class Http2Client {
 public:
  // `authority` and `path`: the :authority and :path of every request.
  Http2Client(std::string authority, std::string path);
  ~Http2Client();
  Http2Client(const Http2Client&) = delete;
  Http2Client& operator=(const Http2Client&) = delete;

  // Creates the session and queues the connection preface and SETTINGS. False with *error.
  bool Start(std::string* error);
  // Opens a stream for one DNS message. False when this connection takes no new stream (the
  // server sent GOAWAY, stream IDs are used up, kMaxHttp2Streams are open).
  bool Submit(std::span<const uint8_t> message, uint16_t dns_id);
  // The query with this ID is over: its stream is cancelled and no event comes for it.
  void Forget(uint16_t dns_id);
  // Takes bytes read from the server. False on a connection error (error() tells); the
  // connection must then close.
  bool Receive(std::span<const uint8_t> data);
  // Appends the frames the session wants to send. False on a session error.
  bool Produce(std::string* out);
  // Events since the last call, in order.
  std::vector<Http2Event> TakeEvents();

  bool accepting() const { return session_ && !goaway_ && !exhausted_; }
  bool goaway() const { return goaway_; }
  // The session has nothing left to read or write (GOAWAY served, or a fatal error).
  bool done() const;
  // True once any frame arrived from the server: a session error before that means the peer
  // does not speak HTTP/2.
  bool heard_from_server() const { return frames_received_ > 0; }
  size_t open_streams() const { return streams_.size(); }
  const std::string& error() const { return error_; }

 private:
  struct Stream;

  static int OnHeader(nghttp2_session* session, const nghttp2_frame* frame, const uint8_t* name,
                      size_t name_length, const uint8_t* value, size_t value_length, uint8_t flags,
                      void* user);
  static int OnDataChunk(nghttp2_session* session, uint8_t flags, int32_t stream_id,
                         const uint8_t* data, size_t length, void* user);
  static int OnFrame(nghttp2_session* session, const nghttp2_frame* frame, void* user);
  static int OnStreamClose(nghttp2_session* session, int32_t stream_id, uint32_t error_code,
                           void* user);
  static ssize_t ReadBody(nghttp2_session* session, int32_t stream_id, uint8_t* buffer,
                          size_t length, uint32_t* flags, nghttp2_data_source* source, void* user);

  std::string authority_;
  std::string path_;
  Nghttp2SessionPtr session_;
  std::unordered_map<int32_t, std::unique_ptr<Stream>> streams_;
  std::vector<Http2Event> events_;
  bool goaway_ = false;
  bool exhausted_ = false;
  uint64_t frames_received_ = 0;
  std::string error_;
};

}  // namespace zc::dns
