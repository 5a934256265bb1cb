// A bounded, incremental HTTP/1.1 response parser for DNS over HTTPS, and the request builder.
//
// Bytes go in as they arrive (any split); complete responses come out one at a time, so two
// responses in one segment and headers spread over several reads both work. Limits: status line
// and header fields together at most kMaxHttpHeaderBytes, a body (Content-Length or the sum of
// the chunks) at most kMaxHttpBody. Header names are matched ignoring case. Anything beyond the
// limits or outside HTTP/1.x is an error after which the connection must be closed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zc::dns {

inline constexpr size_t kMaxHttpHeaderBytes = 8192;
inline constexpr size_t kMaxHttpBody = 65535;
// A chunk-size line (size, extensions) longer than this is not a sane DoH server.
inline constexpr size_t kMaxHttpChunkLine = 1024;

struct HttpResponse {
  int status = 0;
  std::string reason;
  std::vector<uint8_t> body;
  bool close = false;  // "Connection: close", or a body delimited by the end of the stream
};

enum class HttpParseResult {
  kNeedMore,          // no complete response yet
  kResponse,          // *response holds the next response
  kError,             // malformed or over a limit; error() tells why
  kProtocolMismatch,  // the peer does not speak HTTP/1.x (HTTP/2 preface, TLS alert text, ...)
};

class Http1ResponseParser {
 public:
  // Takes the next bytes of the stream.
  void Feed(std::span<const uint8_t> data);
  // Extracts the next complete response. After kError or kProtocolMismatch the parser stays in
  // that state.
  HttpParseResult Next(HttpResponse* response);
  // The peer closed the stream: completes a body delimited by the end of the stream.
  HttpParseResult Finish(HttpResponse* response);
  const std::string& error() const { return error_; }
  // Bytes received but not yet consumed (bounded by the limits above plus one read).
  size_t Buffered() const { return buffer_.size() - offset_; }
  void Reset();

 private:
  enum class State {
    kStatusLine,
    kHeaders,
    kBody,
    kChunkSize,
    kChunkData,
    kChunkEnd,
    kTrailers,
    kUntilClose,
    kFailed
  };

  HttpParseResult Fail(HttpParseResult kind, std::string why);
  // The next line (without CR LF) when complete; false when more bytes are needed.
  bool TakeLine(size_t limit, std::string_view* line, bool* too_long);
  bool ParseStatusLine(std::string_view line);
  bool ParseHeader(std::string_view line);
  HttpParseResult HeadersDone(HttpResponse* response);
  HttpParseResult Complete(HttpResponse* response);
  void Compact();

  std::vector<uint8_t> buffer_;
  size_t offset_ = 0;
  State state_ = State::kStatusLine;
  std::string error_;
  size_t header_bytes_ = 0;
  size_t body_left_ = 0;
  long content_length_ = -1;
  bool chunked_ = false;
  HttpResponse current_;
};

// "POST <path> HTTP/1.1" with Host, content-type and Content-Length, then the message.
std::string BuildDohRequest(std::string_view path, std::string_view host,
                            std::span<const uint8_t> message);

}  // namespace zc::dns
