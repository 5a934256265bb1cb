#include "dns/upstream/http2_client.h"

#include <string.h>

#include <algorithm>
#include <string_view>

namespace zc::dns {

struct Http2Client::Stream {
  uint16_t dns_id = 0;
  std::vector<uint8_t> request;
  size_t sent = 0;
  int status = 0;
  std::vector<uint8_t> body;
  bool forgotten = false;
  bool too_big = false;
};

namespace {

nghttp2_nv Header(std::string_view name, std::string_view value) {
  // nghttp2 copies names and values before nghttp2_submit_request returns.
  return nghttp2_nv{reinterpret_cast<uint8_t*>(const_cast<char*>(name.data())),
                    reinterpret_cast<uint8_t*>(const_cast<char*>(value.data())), name.size(),
                    value.size(), NGHTTP2_NV_FLAG_NONE};
}

}  // namespace

Http2Client::Http2Client(std::string authority, std::string path)
    : authority_(std::move(authority)), path_(std::move(path)) {}

// The session refers to the streams through its stream user data: it goes first.
Http2Client::~Http2Client() {
  session_.reset();
}

bool Http2Client::Start(std::string* error) {
  nghttp2_session_callbacks* raw_callbacks = nullptr;
  if (nghttp2_session_callbacks_new(&raw_callbacks) != 0) {
    *error = "nghttp2 callbacks: out of memory";
    return false;
  }
  Nghttp2CallbacksPtr callbacks(raw_callbacks);
  nghttp2_session_callbacks_set_on_header_callback(callbacks.get(), &OnHeader);
  nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks.get(), &OnDataChunk);
  nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks.get(), &OnFrame);
  nghttp2_session_callbacks_set_on_stream_close_callback(callbacks.get(), &OnStreamClose);
  nghttp2_option* raw_option = nullptr;
  if (nghttp2_option_new(&raw_option) != 0) {
    *error = "nghttp2 option: out of memory";
    return false;
  }
  Nghttp2OptionPtr option(raw_option);
  // Until the server's SETTINGS arrive, assume the common limit rather than none: a burst of
  // queries on a new connection is then queued here instead of refused there.
  nghttp2_option_set_peer_max_concurrent_streams(option.get(), kAssumedServerStreams);
  nghttp2_session* raw_session = nullptr;
  if (nghttp2_session_client_new2(&raw_session, callbacks.get(), this, option.get()) != 0) {
    *error = "nghttp2 session: out of memory";
    return false;
  }
  session_.reset(raw_session);
  // No server push: a DNS client has no use for it.
  nghttp2_settings_entry settings[] = {{NGHTTP2_SETTINGS_ENABLE_PUSH, 0}};
  int rv = nghttp2_submit_settings(session_.get(), NGHTTP2_FLAG_NONE, settings,
                                   sizeof settings / sizeof settings[0]);
  if (rv != 0) {
    *error = std::string("nghttp2 settings: ") + nghttp2_strerror(rv);
    return false;
  }
  return true;
}

bool Http2Client::Submit(std::span<const uint8_t> message, uint16_t dns_id) {
  if (!accepting() || streams_.size() >= kMaxHttp2Streams) return false;
  auto stream = std::make_unique<Stream>();
  stream->dns_id = dns_id;
  stream->request.assign(message.begin(), message.end());
  std::string length = std::to_string(message.size());
  const nghttp2_nv headers[] = {
      Header(":method", "POST"),
      Header(":scheme", "https"),
      Header(":authority", authority_),
      Header(":path", path_),
      Header("content-type", "application/dns-message"),
      Header("accept", "application/dns-message"),
      Header("content-length", length),
  };
  nghttp2_data_provider body{};
  body.source.ptr = stream.get();
  body.read_callback = &ReadBody;
  int32_t id = nghttp2_submit_request(session_.get(), nullptr, headers,
                                      sizeof headers / sizeof headers[0], &body, stream.get());
  if (id < 0) {
    if (id == NGHTTP2_ERR_STREAM_ID_NOT_AVAILABLE) exhausted_ = true;
    return false;
  }
  streams_.emplace(id, std::move(stream));
  return true;
}

void Http2Client::Forget(uint16_t dns_id) {
  for (auto& [id, stream] : streams_) {
    if (stream->dns_id != dns_id || stream->forgotten) continue;
    stream->forgotten = true;
    // The server may stop working on it; the stream closes (and leaves the table) later.
    nghttp2_submit_rst_stream(session_.get(), NGHTTP2_FLAG_NONE, id, NGHTTP2_CANCEL);
  }
}

bool Http2Client::Receive(std::span<const uint8_t> data) {
  if (!session_) return false;
  ssize_t used = nghttp2_session_mem_recv(session_.get(), data.data(), data.size());
  if (used < 0) {
    error_ = std::string("HTTP/2 error, ") + nghttp2_strerror(static_cast<int>(used));
    return false;
  }
  return true;
}

bool Http2Client::Produce(std::string* out) {
  if (!session_) return false;
  while (true) {
    const uint8_t* data = nullptr;
    ssize_t length = nghttp2_session_mem_send(session_.get(), &data);
    if (length < 0) {
      error_ = std::string("HTTP/2 error, ") + nghttp2_strerror(static_cast<int>(length));
      return false;
    }
    if (length == 0) return true;
    out->append(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
  }
}

std::vector<Http2Event> Http2Client::TakeEvents() {
  std::vector<Http2Event> events;
  events.swap(events_);
  return events;
}

bool Http2Client::done() const {
  return !session_ || (!nghttp2_session_want_read(session_.get()) &&
                       !nghttp2_session_want_write(session_.get()));
}

int Http2Client::OnHeader(nghttp2_session*, const nghttp2_frame* frame, const uint8_t* name,
                          size_t name_length, const uint8_t* value, size_t value_length, uint8_t,
                          void* user) {
  auto* self = static_cast<Http2Client*>(user);
  if (frame->hd.type != NGHTTP2_HEADERS) return 0;
  auto found = self->streams_.find(frame->hd.stream_id);
  if (found == self->streams_.end()) return 0;
  std::string_view field(reinterpret_cast<const char*>(name), name_length);
  if (field == ":status") {
    int status = 0;
    for (size_t i = 0; i < value_length && i < 3; ++i) {
      if (value[i] < '0' || value[i] > '9') return 0;
      status = status * 10 + (value[i] - '0');
    }
    found->second->status = status;
  }
  return 0;
}

int Http2Client::OnDataChunk(nghttp2_session* session, uint8_t, int32_t stream_id,
                             const uint8_t* data, size_t length, void* user) {
  auto* self = static_cast<Http2Client*>(user);
  auto found = self->streams_.find(stream_id);
  if (found == self->streams_.end()) return 0;
  Stream& stream = *found->second;
  if (stream.too_big || stream.forgotten) return 0;
  if (stream.body.size() + length > kMaxHttp2Body) {
    stream.too_big = true;
    nghttp2_submit_rst_stream(session, NGHTTP2_FLAG_NONE, stream_id, NGHTTP2_CANCEL);
    return 0;
  }
  stream.body.insert(stream.body.end(), data, data + length);
  return 0;
}

int Http2Client::OnFrame(nghttp2_session*, const nghttp2_frame* frame, void* user) {
  auto* self = static_cast<Http2Client*>(user);
  ++self->frames_received_;
  if (frame->hd.type == NGHTTP2_GOAWAY) self->goaway_ = true;
  return 0;
}

int Http2Client::OnStreamClose(nghttp2_session*, int32_t stream_id, uint32_t error_code,
                               void* user) {
  auto* self = static_cast<Http2Client*>(user);
  auto found = self->streams_.find(stream_id);
  if (found == self->streams_.end()) return 0;
  std::unique_ptr<Stream> stream = std::move(found->second);
  self->streams_.erase(found);
  if (stream->forgotten) return 0;
  Http2Event event;
  event.id = stream->dns_id;
  event.status = stream->status;
  event.error_code = error_code;
  if (error_code != NGHTTP2_NO_ERROR || stream->too_big || stream->status == 0) {
    event.kind = Http2Event::Kind::kReset;
    if (error_code == NGHTTP2_NO_ERROR && stream->too_big) event.error_code = NGHTTP2_CANCEL;
  } else if (stream->status != 200) {
    event.kind = Http2Event::Kind::kHttpError;
  } else {
    event.kind = Http2Event::Kind::kAnswer;
    event.body = std::move(stream->body);
  }
  self->events_.push_back(std::move(event));
  return 0;
}

ssize_t Http2Client::ReadBody(nghttp2_session*, int32_t, uint8_t* buffer, size_t length,
                              uint32_t* flags, nghttp2_data_source* source, void*) {
  auto* stream = static_cast<Stream*>(source->ptr);
  size_t n = std::min(length, stream->request.size() - stream->sent);
  if (n > 0) memcpy(buffer, stream->request.data() + stream->sent, n);
  stream->sent += n;
  if (stream->sent == stream->request.size()) *flags |= NGHTTP2_DATA_FLAG_EOF;
  return static_cast<ssize_t>(n);
}

}  // namespace zc::dns
