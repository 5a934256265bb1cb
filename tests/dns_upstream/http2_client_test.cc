// The HTTP/2 client session against an in-memory nghttp2 server: answers, error statuses,
// streams the server resets, GOAWAY with streams in flight, cancelled queries, oversize bodies
// and a peer that does not speak HTTP/2. Deterministic: no sockets, bytes handed over by hand.
#include <gtest/gtest.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "dns/upstream/http2_client.h"
#include "dns/upstream/nghttp2_handles.h"

namespace zctest {
namespace {

using zc::dns::Http2Client;
using zc::dns::Http2Event;

// What the fake server does with each request, by the request body's first byte.
enum Reply : uint8_t { kOk = 1, kNotFound = 2, kReset = 3, kHold = 4, kHuge = 5 };

class FakeServer {
 public:
  FakeServer() {
    nghttp2_session_callbacks* raw = nullptr;
    nghttp2_session_callbacks_new(&raw);
    zc::dns::Nghttp2CallbacksPtr callbacks(raw);
    nghttp2_session_callbacks_set_on_data_chunk_recv_callback(
        callbacks.get(),
        [](nghttp2_session*, uint8_t, int32_t id, const uint8_t* data, size_t length, void* user) {
          auto& body = static_cast<FakeServer*>(user)->bodies_[id];
          body.insert(body.end(), data, data + length);
          return 0;
        });
    nghttp2_session_callbacks_set_on_frame_recv_callback(
        callbacks.get(), [](nghttp2_session*, const nghttp2_frame* frame, void* user) {
          if (frame->hd.type == NGHTTP2_DATA && (frame->hd.flags & NGHTTP2_FLAG_END_STREAM)) {
            static_cast<FakeServer*>(user)->Requested(frame->hd.stream_id);
          }
          return 0;
        });
    nghttp2_session* session = nullptr;
    nghttp2_session_server_new(&session, callbacks.get(), this);
    session_.reset(session);
    nghttp2_submit_settings(session_.get(), NGHTTP2_FLAG_NONE, nullptr, 0);
  }

  void Requested(int32_t id) {
    const std::vector<uint8_t>& body = bodies_[id];
    last_stream_ = id;
    Reply reply = body.empty() ? kOk : static_cast<Reply>(body[0]);
    if (reply == kHold) {
      held_.push_back(id);
      return;
    }
    if (reply == kReset) {
      nghttp2_submit_rst_stream(session_.get(), NGHTTP2_FLAG_NONE, id, NGHTTP2_REFUSED_STREAM);
      return;
    }
    Respond(id, reply == kNotFound ? "404" : "200",
            reply == kHuge ? std::vector<uint8_t>(70000, 'x') : body);
  }

  void Respond(int32_t id, const char* status, std::vector<uint8_t> body) {
    responses_[id] = std::move(body);
    nghttp2_nv headers[] = {{(uint8_t*)":status", (uint8_t*)status, 7, 3, NGHTTP2_NV_FLAG_NONE}};
    nghttp2_data_provider data{};
    data.source.ptr = &responses_[id];
    data.read_callback = [](nghttp2_session*, int32_t, uint8_t* buffer, size_t length,
                            uint32_t* flags, nghttp2_data_source* source, void*) -> ssize_t {
      auto* rest = static_cast<std::vector<uint8_t>*>(source->ptr);
      size_t n = std::min(length, rest->size());
      memcpy(buffer, rest->data(), n);
      rest->erase(rest->begin(), rest->begin() + static_cast<long>(n));
      if (rest->empty()) *flags |= NGHTTP2_DATA_FLAG_EOF;
      return static_cast<ssize_t>(n);
    };
    nghttp2_submit_response(session_.get(), id, headers, 1, &data);
  }

  void ReleaseHeld() {
    for (int32_t id : held_) Respond(id, "200", bodies_[id]);
    held_.clear();
  }
  void GoAway(int32_t last_stream) {
    nghttp2_submit_goaway(session_.get(), NGHTTP2_FLAG_NONE, last_stream, NGHTTP2_NO_ERROR, nullptr,
                          0);
  }

  // Moves bytes both ways until neither side has anything to send.
  void Exchange(Http2Client& client) {
    for (int round = 0; round < 16; ++round) {
      std::string to_server;
      ASSERT_TRUE(client.Produce(&to_server));
      nghttp2_session_mem_recv(session_.get(), reinterpret_cast<const uint8_t*>(to_server.data()),
                               to_server.size());
      std::string to_client;
      const uint8_t* data = nullptr;
      for (ssize_t n; (n = nghttp2_session_mem_send(session_.get(), &data)) > 0;) {
        to_client.append(reinterpret_cast<const char*>(data), static_cast<size_t>(n));
      }
      if (to_server.empty() && to_client.empty()) return;
      ASSERT_TRUE(
          client.Receive({reinterpret_cast<const uint8_t*>(to_client.data()), to_client.size()}));
    }
  }

  int32_t last_stream() const { return last_stream_; }
  size_t requests() const { return bodies_.size(); }

 private:
  zc::dns::Nghttp2SessionPtr session_;
  std::map<int32_t, std::vector<uint8_t>> bodies_;
  std::map<int32_t, std::vector<uint8_t>> responses_;
  std::vector<int32_t> held_;
  int32_t last_stream_ = 0;
};

std::vector<uint8_t> Message(Reply reply, uint16_t id) {
  return {reply, static_cast<uint8_t>(id), 0, 0, 0, 0};
}

std::map<uint16_t, Http2Event> ById(std::vector<Http2Event> events) {
  std::map<uint16_t, Http2Event> by_id;
  for (Http2Event& e : events) by_id[e.id] = std::move(e);
  return by_id;
}

TEST(Http2Client, ManyStreamsOnOneSessionEachEndsOnce) {
  Http2Client client("doh.test", "/dns-query");
  std::string error;
  ASSERT_TRUE(client.Start(&error)) << error;
  FakeServer server;
  for (uint16_t id = 0; id < 30; ++id) ASSERT_TRUE(client.Submit(Message(kOk, id), id));
  ASSERT_TRUE(client.Submit(Message(kNotFound, 100), 100));
  ASSERT_TRUE(client.Submit(Message(kReset, 101), 101));
  ASSERT_TRUE(client.Submit(Message(kHuge, 102), 102));
  server.Exchange(client);
  std::vector<Http2Event> events = client.TakeEvents();
  ASSERT_EQ(events.size(), 33u);
  auto by_id = ById(std::move(events));
  for (uint16_t id = 0; id < 30; ++id) {
    ASSERT_EQ(by_id[id].kind, Http2Event::Kind::kAnswer) << id;
    EXPECT_EQ(by_id[id].body, Message(kOk, id));  // the fake server echoes the query
  }
  EXPECT_EQ(by_id[100].kind, Http2Event::Kind::kHttpError);
  EXPECT_EQ(by_id[100].status, 404);
  EXPECT_EQ(by_id[101].kind, Http2Event::Kind::kReset);
  EXPECT_EQ(by_id[101].error_code, static_cast<uint32_t>(NGHTTP2_REFUSED_STREAM));
  EXPECT_EQ(by_id[102].kind, Http2Event::Kind::kReset);  // over 65535 bytes
  EXPECT_EQ(client.open_streams(), 0u);
  EXPECT_TRUE(client.accepting());
  EXPECT_FALSE(client.done());
}

// GOAWAY naming the last stream the server will serve: that one is still answered, the later
// ones end as reset (to be sent again elsewhere), no new stream is opened, and the session is
// done once the last answer is in.
TEST(Http2Client, GoawayServesEarlierStreamsRefusesLaterOnes) {
  Http2Client client("doh.test", "/");
  std::string error;
  ASSERT_TRUE(client.Start(&error)) << error;
  FakeServer server;
  ASSERT_TRUE(client.Submit(Message(kHold, 1), 1));
  server.Exchange(client);
  int32_t served = server.last_stream();
  ASSERT_TRUE(client.Submit(Message(kHold, 2), 2));
  ASSERT_TRUE(client.Submit(Message(kHold, 3), 3));
  server.Exchange(client);
  server.GoAway(served);
  server.Exchange(client);
  EXPECT_TRUE(client.goaway());
  EXPECT_FALSE(client.accepting());
  EXPECT_FALSE(client.Submit(Message(kOk, 4), 4));
  auto refused = ById(client.TakeEvents());
  ASSERT_EQ(refused.size(), 2u);
  EXPECT_EQ(refused[2].kind, Http2Event::Kind::kReset);
  EXPECT_EQ(refused[3].kind, Http2Event::Kind::kReset);
  EXPECT_FALSE(client.done());
  server.ReleaseHeld();
  server.Exchange(client);
  auto answered = ById(client.TakeEvents());
  ASSERT_EQ(answered.size(), 1u);
  EXPECT_EQ(answered[1].kind, Http2Event::Kind::kAnswer);
  EXPECT_TRUE(client.done());
}

// A forgotten query's stream is cancelled: no event, even if the answer was on its way.
TEST(Http2Client, ForgottenQueriesAreCancelledSilently) {
  Http2Client client("doh.test", "/");
  std::string error;
  ASSERT_TRUE(client.Start(&error)) << error;
  FakeServer server;
  ASSERT_TRUE(client.Submit(Message(kHold, 7), 7));
  ASSERT_TRUE(client.Submit(Message(kOk, 8), 8));
  server.Exchange(client);
  client.TakeEvents();
  client.Forget(7);
  server.ReleaseHeld();
  server.Exchange(client);
  EXPECT_TRUE(client.TakeEvents().empty());
  EXPECT_EQ(client.open_streams(), 0u);
}

// Bytes that are not HTTP/2 (an HTTP/1.1 response): the session ends before any valid frame.
TEST(Http2Client, AnHttp11AnswerEndsTheSessionWithoutAFrame) {
  Http2Client client("doh.test", "/");
  std::string error;
  ASSERT_TRUE(client.Start(&error)) << error;
  ASSERT_TRUE(client.Submit(Message(kOk, 1), 1));
  std::string out;
  ASSERT_TRUE(client.Produce(&out));
  const std::string reply = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
  bool ok = client.Receive({reinterpret_cast<const uint8_t*>(reply.data()), reply.size()});
  if (ok) ok = client.Produce(&out);
  EXPECT_TRUE(!ok || client.done());
  EXPECT_FALSE(client.heard_from_server());
}

}  // namespace
}  // namespace zctest
