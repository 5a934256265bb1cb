#include "dns/upstream/http1_response.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace zc::dns {

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x | 0x20);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y | 0x20);
    if (x != y) return false;
  }
  return true;
}

bool IsTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// True when `list` (comma-separated) holds `token`, ignoring case.
bool ListHas(std::string_view list, std::string_view token) {
  while (!list.empty()) {
    size_t comma = list.find(',');
    if (EqualsNoCase(Trim(list.substr(0, comma)), token)) return true;
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return false;
}

}  // namespace

void Http1ResponseParser::Reset() {
  buffer_.clear();
  offset_ = 0;
  state_ = State::kStatusLine;
  error_.clear();
  header_bytes_ = 0;
  body_left_ = 0;
  content_length_ = -1;
  chunked_ = false;
  current_ = HttpResponse();
}

void Http1ResponseParser::Feed(std::span<const uint8_t> data) {
  if (state_ == State::kFailed) return;
  Compact();
  buffer_.insert(buffer_.end(), data.begin(), data.end());
}

void Http1ResponseParser::Compact() {
  if (offset_ == 0) return;
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(offset_));
  offset_ = 0;
}

HttpParseResult Http1ResponseParser::Fail(HttpParseResult kind, std::string why) {
  state_ = State::kFailed;
  error_ = std::move(why);
  buffer_.clear();
  offset_ = 0;
  return kind;
}

bool Http1ResponseParser::TakeLine(size_t limit, std::string_view* line, bool* too_long) {
  *too_long = false;
  size_t available = buffer_.size() - offset_;
  if (available == 0) return false;
  const uint8_t* begin = buffer_.data() + offset_;
  const uint8_t* lf = static_cast<const uint8_t*>(memchr(begin, '\n', std::min(available, limit)));
  if (lf == nullptr) {
    *too_long = available >= limit;
    return false;
  }
  size_t length = static_cast<size_t>(lf - begin);
  size_t consumed = length + 1;
  if (length > 0 && begin[length - 1] == '\r') --length;
  *line = std::string_view(reinterpret_cast<const char*>(begin), length);
  offset_ += consumed;
  return true;
}

bool Http1ResponseParser::ParseStatusLine(std::string_view line) {
  // "HTTP/1.x SP 3DIGIT SP reason"; the reason may be empty (and its space missing).
  if (line.size() < 12 || line.substr(0, 7) != "HTTP/1." || line[8] != ' ') return false;
  if (line[7] < '0' || line[7] > '9') return false;
  int status = 0;
  for (size_t i = 9; i < 12; ++i) {
    if (line[i] < '0' || line[i] > '9') return false;
    status = status * 10 + (line[i] - '0');
  }
  if (line.size() > 12 && line[12] != ' ') return false;
  current_.status = status;
  current_.reason = std::string(line.size() > 13 ? line.substr(13) : std::string_view());
  return true;
}

bool Http1ResponseParser::ParseHeader(std::string_view line) {
  size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  std::string_view name = line.substr(0, colon);
  if (!std::all_of(name.begin(), name.end(), IsTokenChar)) return false;  // also obs-fold
  std::string_view value = Trim(line.substr(colon + 1));
  if (EqualsNoCase(name, "content-length")) {
    long length = 0;
    auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), length);
    if (ec != std::errc() || end != value.data() + value.size() || value.empty()) {
      error_ = "bad Content-Length";
      return false;
    }
    if (content_length_ >= 0 && content_length_ != length) {
      error_ = "conflicting Content-Length";
      return false;
    }
    if (length > static_cast<long>(kMaxHttpBody)) {
      error_ = "Content-Length " + std::string(value) + " over the limit";
      return false;
    }
    content_length_ = length;
  } else if (EqualsNoCase(name, "transfer-encoding")) {
    if (!EqualsNoCase(value, "chunked")) {
      error_ = "unsupported Transfer-Encoding " + std::string(value);
      return false;
    }
    chunked_ = true;
  } else if (EqualsNoCase(name, "connection")) {
    if (ListHas(value, "close")) current_.close = true;
  }
  return true;
}

// Chooses how the body is delimited. kNeedMore means "go on parsing" (never "wait").
HttpParseResult Http1ResponseParser::HeadersDone(HttpResponse* response) {
  if (chunked_ && content_length_ >= 0) {
    return Fail(HttpParseResult::kError, "both Content-Length and chunked");
  }
  bool no_body = (current_.status >= 100 && current_.status < 200) || current_.status == 204 ||
                 current_.status == 304;
  if (current_.status >= 100 && current_.status < 200) {
    // Interim response: skip it, the real one follows.
    state_ = State::kStatusLine;
    header_bytes_ = 0;
    content_length_ = -1;
    chunked_ = false;
    current_ = HttpResponse();
    return HttpParseResult::kNeedMore;
  }
  if (no_body) return Complete(response);
  if (chunked_) {
    state_ = State::kChunkSize;
  } else if (content_length_ >= 0) {
    body_left_ = static_cast<size_t>(content_length_);
    state_ = State::kBody;
  } else {
    current_.close = true;
    state_ = State::kUntilClose;
  }
  return HttpParseResult::kNeedMore;
}

HttpParseResult Http1ResponseParser::Complete(HttpResponse* response) {
  *response = std::move(current_);
  current_ = HttpResponse();
  state_ = State::kStatusLine;
  header_bytes_ = 0;
  content_length_ = -1;
  chunked_ = false;
  return HttpParseResult::kResponse;
}

HttpParseResult Http1ResponseParser::Next(HttpResponse* response) {
  std::string_view line;
  bool too_long = false;
  while (true) {
    size_t available = buffer_.size() - offset_;
    switch (state_) {
      case State::kFailed:
        return HttpParseResult::kError;
      case State::kStatusLine: {
        // Decide early on a peer that is not HTTP/1.x, before waiting for a whole line.
        size_t check = std::min<size_t>(available, 7);
        if (check > 0 && std::string_view(reinterpret_cast<const char*>(&buffer_[offset_]),
                                          check) != std::string_view("HTTP/1.", check)) {
          return Fail(HttpParseResult::kProtocolMismatch, "response is not HTTP/1.x");
        }
        if (!TakeLine(kMaxHttpHeaderBytes, &line, &too_long)) {
          if (too_long) return Fail(HttpParseResult::kError, "status line too long");
          return HttpParseResult::kNeedMore;
        }
        header_bytes_ = line.size() + 2;
        if (!ParseStatusLine(line)) {
          return Fail(HttpParseResult::kProtocolMismatch, "bad status line");
        }
        state_ = State::kHeaders;
        break;
      }
      case State::kHeaders: {
        size_t limit = kMaxHttpHeaderBytes - std::min(header_bytes_, kMaxHttpHeaderBytes);
        if (!TakeLine(limit, &line, &too_long)) {
          if (too_long) return Fail(HttpParseResult::kError, "header section over 8 KiB");
          return HttpParseResult::kNeedMore;
        }
        header_bytes_ += line.size() + 2;
        if (line.empty()) {
          HttpParseResult result = HeadersDone(response);
          if (result != HttpParseResult::kNeedMore) return result;
        }
        if (!line.empty() && !ParseHeader(line)) {
          return Fail(HttpParseResult::kError, error_.empty() ? "bad header line" : error_);
        }
        break;
      }
      case State::kBody: {
        size_t take = std::min(body_left_, available);
        current_.body.insert(current_.body.end(), buffer_.begin() + offset_,
                             buffer_.begin() + offset_ + take);
        offset_ += take;
        body_left_ -= take;
        if (body_left_ > 0) return HttpParseResult::kNeedMore;
        return Complete(response);
      }
      case State::kChunkSize: {
        if (!TakeLine(kMaxHttpChunkLine, &line, &too_long)) {
          if (too_long) return Fail(HttpParseResult::kError, "chunk size line too long");
          return HttpParseResult::kNeedMore;
        }
        std::string_view digits = Trim(line.substr(0, line.find(';')));
        size_t size = 0;
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), size, 16);
        if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size()) {
          return Fail(HttpParseResult::kError, "bad chunk size");
        }
        if (size > kMaxHttpBody - current_.body.size()) {
          return Fail(HttpParseResult::kError, "chunked body over the limit");
        }
        if (size == 0) {
          state_ = State::kTrailers;
        } else {
          body_left_ = size;
          state_ = State::kChunkData;
        }
        break;
      }
      case State::kChunkData: {
        size_t take = std::min(body_left_, available);
        current_.body.insert(current_.body.end(), buffer_.begin() + offset_,
                             buffer_.begin() + offset_ + take);
        offset_ += take;
        body_left_ -= take;
        if (body_left_ > 0) return HttpParseResult::kNeedMore;
        state_ = State::kChunkEnd;
        break;
      }
      case State::kChunkEnd: {
        // CR LF (or a bare LF) after the chunk data.
        if (available == 0) return HttpParseResult::kNeedMore;
        size_t crlf = buffer_[offset_] == '\r' ? 2 : 1;
        if (crlf == 2 && available < 2) return HttpParseResult::kNeedMore;
        if (buffer_[offset_ + crlf - 1] != '\n') {
          return Fail(HttpParseResult::kError, "chunk not followed by CRLF");
        }
        offset_ += crlf;
        state_ = State::kChunkSize;
        break;
      }
      case State::kTrailers: {
        size_t limit = kMaxHttpHeaderBytes - std::min(header_bytes_, kMaxHttpHeaderBytes);
        if (!TakeLine(limit, &line, &too_long)) {
          if (too_long) return Fail(HttpParseResult::kError, "trailer section too long");
          return HttpParseResult::kNeedMore;
        }
        header_bytes_ += line.size() + 2;
        if (line.empty()) return Complete(response);
        break;
      }
      case State::kUntilClose: {
        if (current_.body.size() + available > kMaxHttpBody) {
          return Fail(HttpParseResult::kError, "body over the limit");
        }
        current_.body.insert(current_.body.end(), buffer_.begin() + offset_, buffer_.end());
        offset_ = buffer_.size();
        return HttpParseResult::kNeedMore;
      }
    }
  }
}

HttpParseResult Http1ResponseParser::Finish(HttpResponse* response) {
  HttpParseResult pending = Next(response);
  if (pending != HttpParseResult::kNeedMore) return pending;
  if (state_ == State::kUntilClose) return Complete(response);
  if (state_ == State::kStatusLine && Buffered() == 0) return HttpParseResult::kNeedMore;
  return Fail(HttpParseResult::kError, "stream closed inside a response");
}

std::string BuildDohRequest(std::string_view path, std::string_view host,
                            std::span<const uint8_t> message) {
  char head[64];
  std::string request;
  request.reserve(path.size() + host.size() + message.size() + 128);
  request.append("POST ").append(path).append(" HTTP/1.1\r\nHost: ").append(host);
  request.append("\r\ncontent-type: application/dns-message\r\n");
  request.append("accept: application/dns-message\r\n");
  int n = snprintf(head, sizeof head, "Content-Length: %zu\r\n\r\n", message.size());
  request.append(head, static_cast<size_t>(n));
  request.append(reinterpret_cast<const char*>(message.data()), message.size());
  return request;
}

}  // namespace zc::dns
