// The upstream client: sends each forwarded query to every server of a group at once over UDP,
// TCP, DNS over TLS or DNS over HTTPS, and hands each server's answer back to the engine.
//
// Threads: the client owns one work thread with its own epoll; it alone touches upstream
// sockets and TLS objects. Query(), Cancel(), Server() and Stop() are called on the engine
// thread only. Results reach the engine through the `post` function given at construction, so
// every callback runs on the engine thread; a callback never runs after Cancel() of its query or
// after Stop().
//
// Per query: zero or more kAnswer results (one per server that answered), then exactly one
// kDone. A query is over when every server it reached has answered, at the next retry point
// after its first answer, or when its retries are used up (four sends, 500 ms apart).
//
// What the client checks before it delivers an answer: it came on the socket of that server
// (UDP sockets are connected), it is a response, its ID is the random ID the client sent and its
// question equals the query's (name compared ignoring ASCII case, type, class). A truncated
// (TC=1) UDP answer is not delivered: the same query goes to that server over TCP and that
// answer is delivered instead.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dns/upstream/upstream_config.h"

namespace zc::dns {

using UpstreamQueryId = uint64_t;  // 0: no query

// A server as the answer checks and log lines of the engine see it.
struct UpstreamServerInfo {
  std::string name;     // display name: the host as configured
  std::string address;  // numeric address text; empty while a host name is unresolved
  uint16_t port = 0;
  UpstreamType type = UpstreamType::kUdp;
  uint32_t flags = 0;  // kServerFlag*
};

enum class UpstreamEvent : uint8_t {
  kAnswer,  // one server's answer
  kDone,    // the query is over; always the last result of a query
};

struct UpstreamResult {
  UpstreamEvent event = UpstreamEvent::kDone;
  // kAnswer: the server (index for UpstreamClient::Server()), its flags, the answer message as
  // received with its ID set back to the ID of the caller's query, and the time from the
  // query's first send to this answer.
  size_t server = 0;
  uint32_t server_flags = 0;
  std::vector<uint8_t> packet;
  std::chrono::microseconds rtt{0};
  // kDone: answers delivered before, and whether no server could be reached at all.
  size_t answers = 0;
  bool unreachable = false;
};

using UpstreamCallback = std::function<void(UpstreamResult&&)>;

// Counters for logs and tests; monotonic over the client's life.
struct UpstreamCounters {
  uint64_t sent = 0;       // messages sent to servers (every transport, retries included)
  uint64_t answers = 0;    // answers delivered
  uint64_t dropped = 0;    // received messages that matched no query (forged, late, malformed)
  uint64_t truncated = 0;  // TC=1 answers retried over TCP
  uint64_t failed = 0;     // queries that ended without an answer
};

class UpstreamClient {
 public:
  // Runs a task on the engine thread; callable from any thread.
  using PostFn = std::function<void(std::function<void()>)>;
  // Resolves a host name through the engine itself (A = 1, then AAAA = 28). Called on the engine
  // thread; `done` is called on the engine thread with a numeric address, or empty on failure.
  using ResolveFn = std::function<void(const std::string& host, uint16_t qtype,
                                       std::function<void(std::string address)> done)>;

  UpstreamClient(UpstreamClientConfig config, PostFn post, ResolveFn resolve = {});
  ~UpstreamClient();  // Stop()
  UpstreamClient(const UpstreamClient&) = delete;
  UpstreamClient& operator=(const UpstreamClient&) = delete;

  // Builds the groups, the TLS context and the work thread. False with *error when the epoll,
  // the TLS context or the thread cannot be created (a trust store that cannot be read is only
  // logged: TLS servers then fail their checks, the others work). Servers given by host name
  // are resolved through the engine, at once and then every 3 s until they resolve.
  bool Start(std::string* error);

  // Sends `query` (a complete DNS message built by the engine: one question, RD, its EDNS and
  // client-subnet options) to every server of `group`; an unknown or empty group (or one whose
  // servers are all unresolved) falls back to "default". The message's ID is replaced by a
  // random one on the wire. Returns 0 without any callback when the message is malformed or
  // too large (4095 bytes or more), or no server is available.
  UpstreamQueryId Query(std::string_view group, std::span<const uint8_t> query,
                        UpstreamCallback callback);

  // Forgets the query: no callback of it runs after this returns.
  void Cancel(UpstreamQueryId id);

  // Stops and joins the work thread, closes every socket and TLS session, drops every query
  // without callbacks. Idempotent.
  void Stop();

  size_t ServerCount() const;
  const UpstreamServerInfo& Server(size_t index) const;
  UpstreamCounters Counters() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zc::dns
