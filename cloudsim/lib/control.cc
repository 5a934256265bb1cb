#include "lib/control.h"

#include <arpa/inet.h>
#include <event2/buffer.h>
#include <event2/keyvalq_struct.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "lib/console.h"
#include "lib/mutate.h"
#include "lib/pbjson.h"
#include "lib/profile.h"
#include "lib/request_guard.h"
#include "proto/registry.h"
#include "utils/event_handles.h"
#include "utils/timescale.h"

namespace cloudsim {
namespace {

// How long a push waits for the agent's ACK (real time).
constexpr std::chrono::milliseconds kAckWait{2000};
constexpr int64_t kDefaultWaitMs = 5000;

std::string Body(evhttp_request* request) {
  evbuffer* in = evhttp_request_get_input_buffer(request);
  size_t n = evbuffer_get_length(in);
  std::string out(n, '\0');
  if (n) evbuffer_copyout(in, out.data(), n);
  return out;
}

std::string Path(evhttp_request* request) {
  const evhttp_uri* uri = evhttp_request_get_evhttp_uri(request);
  const char* path = uri ? evhttp_uri_get_path(uri) : nullptr;
  return path ? path : "/";
}

// Query parameters in order (a key may repeat: match).
std::vector<std::pair<std::string, std::string>> Query(evhttp_request* request) {
  std::vector<std::pair<std::string, std::string>> out;
  const evhttp_uri* uri = evhttp_request_get_evhttp_uri(request);
  const char* query = uri ? evhttp_uri_get_query(uri) : nullptr;
  if (!query) return out;
  evkeyvalq kv;
  kv.tqh_first = nullptr;
  kv.tqh_last = &kv.tqh_first;
  if (evhttp_parse_query_str(query, &kv) == 0) {
    for (evkeyval* e = kv.tqh_first; e; e = e->next.tqe_next) out.emplace_back(e->key, e->value);
  }
  evhttp_clear_headers(&kv);
  return out;
}

RecordFilter FilterFrom(const std::vector<std::pair<std::string, std::string>>& query) {
  RecordFilter f;
  for (const auto& [k, v] : query) {
    if (k == "kind") f.kind = v;
    if (k == "subject") f.subject = v;
    if (k == "type") f.type = v;
    if (k == "transid") f.transid = v;
    if (k == "since") f.since = atoll(v.c_str());
    if (k == "match") {
      size_t eq = v.find('=');
      if (eq != std::string::npos) f.match.emplace_back(v.substr(0, eq), v.substr(eq + 1));
    }
  }
  return f;
}

Headers HeadersFrom(const json_object* obj) {
  Headers out;
  if (!obj || !json_object_is_type(obj, json_type_object)) return out;
  json_object_object_foreach(const_cast<json_object*>(obj), key, value) {
    out.emplace_back(key, json_object_get_string(value));
  }
  return out;
}

JsonPtr HeadersJson(const Headers& headers) {
  JsonPtr obj(json_object_new_object());
  for (const auto& [k, v] : headers) {
    json_object_object_add(obj.get(), k.c_str(), json_object_new_string(v.c_str()));
  }
  return obj;
}

// The console's files. The page runs only its own scripts and talks only to this server: a
// value from a device that slipped into the markup could not run as script.
bool ServeConsole(evhttp_request* request, const std::string& path) {
  const ConsoleFile* file = FindConsoleFile(path);
  if (!file) return false;
  evkeyvalq* headers = evhttp_request_get_output_headers(request);
  evhttp_add_header(headers, "Content-Type", file->type);
  evhttp_add_header(headers, "Content-Security-Policy",
                    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
                    "img-src 'self'; form-action 'none'; frame-ancestors 'none'; base-uri 'none'");
  evhttp_add_header(headers, "X-Content-Type-Options", "nosniff");
  evhttp_add_header(headers, "Cache-Control", "no-store");
  zc::ev::BufferPtr out(evbuffer_new());
  evbuffer_add(out.get(), file->body, strlen(file->body));
  evhttp_send_reply(request, 200, "OK", out.get());
  return true;
}

}  // namespace

void SendJson(evhttp_request* request, int code, const json_object* body) {
  evkeyvalq* headers = evhttp_request_get_output_headers(request);
  evhttp_add_header(headers, "Content-Type", "application/json");
  zc::ev::BufferPtr out(evbuffer_new());
  std::string text = body ? JsonText(body) : "{}";
  evbuffer_add(out.get(), text.data(), text.size());
  evhttp_send_reply(request, code, code < 300 ? "OK" : "Error", out.get());
}

void SendError(evhttp_request* request, int code, const std::string& message) {
  JsonPtr body(json_object_new_object());
  json_object_object_add(body.get(), "error", json_object_new_string(message.c_str()));
  SendJson(request, code, body.get());
}

ControlServer::ControlServer(EventLoop& loop, Cloud& cloud, RecordStore& records,
                             const json_object* profile, NatsServerProcess* server)
    : loop_(loop),
      cloud_(cloud),
      records_(records),
      profile_(profile),
      server_(server),
      alive_(std::make_shared<std::atomic<bool>>(true)) {
  // A new record may complete a long-poll: look again on the loop thread.
  std::weak_ptr<std::atomic<bool>> alive = alive_;
  records_.SetListener([this, alive] {
    loop_.Post([this, alive] {
      auto a = alive.lock();
      if (a && *a) CheckWaits();
    });
  });
}

ControlServer::~ControlServer() {
  *alive_ = false;
  records_.SetListener(nullptr);
  std::vector<std::thread> workers;
  {
    std::lock_guard lock(workersMutex_);
    workers.swap(workers_);
  }
  for (std::thread& t : workers) t.join();
  http_.reset();
}

bool ControlServer::Start(int port, std::string* error) {
  http_.reset(evhttp_new(loop_.base()));
  evhttp_set_allowed_methods(http_.get(), EVHTTP_REQ_GET | EVHTTP_REQ_POST | EVHTTP_REQ_PUT);
  evhttp_set_gencb(http_.get(), OnRequest, this);
  // Bound directly: name resolution of "127.0.0.1" fails in a namespace without other addresses.
  int fd = ListenLoopback(port, &port_);
  if (fd < 0 || !evhttp_accept_socket_with_handle(http_.get(), fd)) {
    if (fd >= 0) close(fd);
    *error = "cannot listen on 127.0.0.1:" + std::to_string(port);
    return false;
  }
  return true;
}

bool ControlServer::StartUnix(const std::string& path, std::string* error) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    *error = "control socket path too long: " + path;
    return false;
  }
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  unlink(path.c_str());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(fd, 64) != 0 || !evhttp_accept_socket_with_handle(http_.get(), fd)) {
    if (fd >= 0) close(fd);
    *error = "cannot listen on " + path;
    return false;
  }
  return true;
}

void ControlServer::OnRequest(evhttp_request* request, void* self) {
  static_cast<ControlServer*>(self)->Route(request);
}

void ControlServer::Route(evhttp_request* request) {
  const std::string path = Path(request);
  const evhttp_cmd_type method = evhttp_request_get_command(request);
  std::string parseError;
  JsonPtr body;
  std::string text = Body(request);
  if (!text.empty()) {
    body = ParseJson(text, &parseError);
    if (!body) return SendError(request, 400, "body is not JSON: " + parseError);
  }
  auto query = Query(request);
  {
    evkeyvalq* in = evhttp_request_get_input_headers(request);
    std::string why;
    if (!ControlRequestAllowed(method != EVHTTP_REQ_GET && method != EVHTTP_REQ_HEAD,
                               evhttp_find_header(in, "Host"), evhttp_find_header(in, "Origin"),
                               &why)) {
      return SendError(request, 403, why);
    }
  }

  if (method == EVHTTP_REQ_GET && ServeConsole(request, path)) return;
  if (path == "/v1/console" && method == EVHTTP_REQ_GET) {
    JsonPtr connz = server_ ? FetchConnz(server_->monitorPort()) : nullptr;
    JsonPtr summary = ConsoleSummary(records_, connz.get());
    json_object_object_add(summary.get(), "actions", ConsoleActions(profile_).release());
    return SendJson(request, 200, summary.get());
  }
  if (path == "/v1/console/device" && method == EVHTTP_REQ_GET) {
    std::string id;
    for (const auto& [k, v] : query) {
      if (k == "id") id = DeviceId(v);
    }
    if (id.empty()) return SendError(request, 400, "id (a device MAC) needed");
    JsonPtr device = ConsoleDevice(records_, id);
    return SendJson(request, 200, device.get());
  }
  if (path == "/v1/ready") {
    if (!cloud_.Connected()) return SendError(request, 503, "NATS not connected");
    JsonPtr ok(json_object_new_object());
    json_object_object_add(ok.get(), "ready", json_object_new_boolean(1));
    return SendJson(request, 200, ok.get());
  }
  if (path == "/v1/reset" && method == EVHTTP_REQ_POST) {
    cloud_.Reset();
    if (web_) web_->Reset();
    if (BoolMember(body.get(), "records", false)) records_.Clear();
    return SendJson(request, 200, nullptr);
  }
  if (path == "/v1/services" && method == EVHTTP_REQ_GET) {
    JsonPtr list(json_object_new_object());
    for (const std::string& name : cloud_.ServiceNames()) {
      ModeSettings m = cloud_.Mode(name);
      JsonPtr entry(json_object_new_object());
      json_object_object_add(entry.get(), "mode", json_object_new_string(ReplyModeName(m.mode)));
      json_object_object_add(entry.get(), "count", json_object_new_int(m.count));
      if (Service* service = cloud_.FindService(name)) {
        json_object_object_add(
            entry.get(), "queued",
            json_object_new_int64(static_cast<int64_t>(service->QueuedReplies())));
      }
      json_object_object_add(list.get(), name.c_str(), entry.release());
    }
    return SendJson(request, 200, list.get());
  }
  if (path.rfind("/v1/services/", 0) == 0 && method == EVHTTP_REQ_PUT) {
    return HandleServices(request, path.substr(13), body.get());
  }
  if (path == "/v1/push" && method == EVHTTP_REQ_POST) return HandlePush(request, body.get());
  if (path == "/v1/publish" && method == EVHTTP_REQ_POST) {
    auto subject = StringMember(body.get(), "subject");
    auto payload = Base64Decode(StringMember(body.get(), "payload_b64").value_or(""));
    if (!subject || !payload) return SendError(request, 400, "subject and payload_b64 needed");
    natsStatus s = cloud_.Publish(*subject, StringMember(body.get(), "reply").value_or(""),
                                  *payload, HeadersFrom(Member(body.get(), "headers")));
    if (s != NATS_OK) return SendError(request, 502, natsStatus_GetText(s));
    return SendJson(request, 200, nullptr);
  }
  if (path == "/v1/records" && method == EVHTTP_REQ_GET) {
    JsonPtr list = records_.Query(FilterFrom(query));
    return SendJson(request, 200, list.get());
  }
  if (path == "/v1/wait" && method == EVHTTP_REQ_GET) {
    size_t count = 1;
    int64_t timeoutMs = kDefaultWaitMs;
    for (const auto& [k, v] : query) {
      if (k == "count") count = static_cast<size_t>(std::max(1LL, atoll(v.c_str())));
      if (k == "timeout_ms") timeoutMs = atoll(v.c_str());
    }
    return HandleWait(request, FilterFrom(query), count, timeoutMs);
  }
  if (path.rfind("/v1/transactions/", 0) == 0 && method == EVHTTP_REQ_GET) {
    RecordFilter f;
    f.type = "CONFIGRESP";
    f.transid = path.substr(17);
    JsonPtr list = records_.Query(f);
    return SendJson(request, 200, list.get());
  }
  if (path.rfind("/v1/nats/", 0) == 0 && method == EVHTTP_REQ_POST) {
    return HandleNats(request, path.substr(9), body.get());
  }
  if (method == EVHTTP_REQ_PUT &&
      (path == "/v1/signon" || path == "/v1/fwvalidate" || path == "/v1/fwresult")) {
    Service* service = cloud_.FindService(path.substr(4));
    if (!service) return SendError(request, 404, "no service " + path.substr(4));
    std::string error;
    if (!service->MergeReply(body.get(), &error)) return SendError(request, 400, error);
    return SendJson(request, 200, nullptr);
  }
  if (web_ && web_->Control(request, method, path, body.get())) return;
  SendError(request, 404, "no such endpoint: " + path);
}

void ControlServer::HandleServices(evhttp_request* request, const std::string& name,
                                   const json_object* body) {
  Service* service = cloud_.FindService(name);
  if (!service) return SendError(request, 404, "no service " + name);
  std::string error;
  // "reply" merges over the profile's answer, as PUT /v1/signon does.
  if (json_object* reply = Member(body, "reply")) {
    if (!service->MergeReply(reply, &error)) return SendError(request, 400, error);
  }
  if (json_object* replies = Member(body, "replies")) {
    if (!service->QueueReplies(replies, &error)) return SendError(request, 400, error);
  }
  // Only answers given: the mode stays as it is.
  if (!Member(body, "mode") && (Member(body, "reply") || Member(body, "replies"))) {
    return SendJson(request, 200, nullptr);
  }
  ModeSettings m;
  std::string mode = StringMember(body, "mode").value_or("reply");
  if (!ParseReplyMode(mode, &m.mode)) return SendError(request, 400, "unknown mode " + mode);
  m.delayMs = IntMember(body, "delay_ms").value_or(0);
  m.count = static_cast<int>(IntMember(body, "count").value_or(-1));
  if (auto raw = StringMember(body, "raw_b64")) {
    auto bytes = Base64Decode(*raw);
    if (!bytes) return SendError(request, 400, "bad raw_b64");
    m.raw = *bytes;
  }
  if (!cloud_.SetMode(name, m, &error)) return SendError(request, 400, error);
  SendJson(request, 200, nullptr);
}

void ControlServer::HandlePush(evhttp_request* request, const json_object* body) {
  std::string to = StringMember(body, "to").value_or("");
  std::string subject = ResolveTarget(profile_, to);
  if (subject.empty()) return SendError(request, 400, "unknown target '" + to + "'");
  std::string typeName = StringMember(body, "type").value_or("PLATFORMCONFIG");
  const ProtobufCMessageDescriptor* type = zc::pb::FindWireType(typeName);
  std::string payload, error;
  if (auto raw = StringMember(body, "raw_b64")) {
    auto bytes = Base64Decode(*raw);
    if (!bytes) return SendError(request, 400, "bad raw_b64");
    payload = *bytes;
  } else if (json_object* envelope = Member(body, "envelope")) {
    if (!type) return SendError(request, 400, "unknown type " + typeName);
    if (!EncodeFromJson(*type, envelope, &payload, &error)) return SendError(request, 400, error);
  } else {
    return SendError(request, 400, "envelope or raw_b64 needed");
  }
  if (!MutatePayload(type, Member(body, "mutate"), &payload, &error)) {
    return SendError(request, 400, error);
  }
  const bool asRequest = BoolMember(body, "request", true);
  Headers headers = HeadersFrom(Member(body, "headers"));

  JsonPtr record(json_object_new_object());
  json_object_object_add(record.get(), "kind", json_object_new_string("sim.push"));
  json_object_object_add(record.get(), "subject", json_object_new_string(subject.c_str()));
  json_object_object_add(record.get(), "type", json_object_new_string(typeName.c_str()));
  json_object_object_add(record.get(), "size", json_object_new_int64(payload.size()));
  json_object_object_add(record.get(), "request", json_object_new_boolean(asRequest));
  json_object_object_add(record.get(), "headers", HeadersJson(headers).release());
  json_object_object_add(record.get(), "payload_b64",
                         json_object_new_string(Base64Encode(payload).c_str()));
  if (json_object* envelope = Member(body, "envelope")) {
    json_object_object_add(record.get(), "decoded", json_object_get(envelope));
  }
  int64_t seq = records_.Add(std::move(record));

  // "await": the push also waits for the transaction's CONFIGRESP (the member's transid unless
  // given) and returns it: {"transid", "count", "timeout_ms" (agent time)}.
  std::string awaitTransid;
  size_t awaitCount = 0;
  std::chrono::milliseconds awaitTimeout{0};
  if (json_object* await = Member(body, "await")) {
    awaitTransid = StringMember(await, "transid").value_or("");
    if (awaitTransid.empty()) {
      if (json_object* envelope = Member(body, "envelope")) {
        json_object_object_foreach(envelope, member, value) {
          (void)member;
          if (auto t = StringMember(value, "transid")) awaitTransid = *t;
        }
      }
    }
    awaitCount = static_cast<size_t>(std::max<int64_t>(1, IntMember(await, "count").value_or(1)));
    awaitTimeout = zc::Scaled(
        std::chrono::milliseconds(IntMember(await, "timeout_ms").value_or(kDefaultWaitMs)));
  }

  // The wait for the ACK runs off the loop; the answer is sent from the loop.
  std::weak_ptr<std::atomic<bool>> alive = alive_;
  std::lock_guard lock(workersMutex_);
  workers_.emplace_back([this, alive, request, subject, payload, headers, asRequest, seq,
                         awaitTransid, awaitCount, awaitTimeout] {
    Cloud::PushResult result = cloud_.Push(subject, payload, headers, asRequest, kAckWait);
    std::shared_ptr<JsonPtr> responses;
    // Nobody listens on the subject: no answer can come.
    if (awaitCount > 0 && result.status == NATS_NO_RESPONDERS) {
      responses = std::make_shared<JsonPtr>(json_object_new_array());
    } else if (awaitCount > 0) {
      RecordFilter f;
      f.type = "CONFIGRESP";
      f.transid = awaitTransid;
      f.since = seq;
      auto deadline = std::chrono::steady_clock::now() + awaitTimeout;
      while (records_.Count(f) < awaitCount && std::chrono::steady_clock::now() < deadline) {
        auto a = alive.lock();
        if (!a || !*a) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      responses = std::make_shared<JsonPtr>(records_.Query(f));
    }
    loop_.Post([this, alive, request, subject, result, seq, responses] {
      auto a = alive.lock();
      if (!a || !*a) return;
      JsonPtr out(json_object_new_object());
      json_object_object_add(out.get(), "seq", json_object_new_int64(seq));
      json_object_object_add(out.get(), "status",
                             json_object_new_string(natsStatus_GetText(result.status)));
      if (result.answered) {
        json_object_object_add(out.get(), "ack_b64",
                               json_object_new_string(Base64Encode(result.reply).c_str()));
        json_object_object_add(out.get(), "ack_headers",
                               HeadersJson(result.replyHeaders).release());
        JsonPtr ack(json_object_new_object());
        json_object_object_add(ack.get(), "kind", json_object_new_string("nats.ack"));
        json_object_object_add(ack.get(), "subject", json_object_new_string(subject.c_str()));
        json_object_object_add(ack.get(), "push_seq", json_object_new_int64(seq));
        json_object_object_add(ack.get(), "headers", HeadersJson(result.replyHeaders).release());
        json_object_object_add(ack.get(), "payload_b64",
                               json_object_new_string(Base64Encode(result.reply).c_str()));
        records_.Add(std::move(ack));
      } else {
        json_object_object_add(out.get(), "ack_b64", nullptr);
        json_object_object_add(out.get(), "ack_headers", nullptr);
      }
      if (responses) {
        json_object_object_add(out.get(), "responses", json_object_get(responses->get()));
      }
      bool failed = result.status != NATS_OK && result.status != NATS_TIMEOUT &&
                    result.status != NATS_NO_RESPONDERS;
      SendJson(request, failed ? 502 : 200, out.get());
    });
  });
}

void ControlServer::HandleWait(evhttp_request* request, const RecordFilter& filter, size_t count,
                               int64_t timeoutMs) {
  uint64_t id = nextWaitId_++;
  waits_.push_back(Wait{id, request, filter, count});
  CheckWaits();
  std::weak_ptr<std::atomic<bool>> alive = alive_;
  loop_.Post(
      [this, alive, id] {
        auto a = alive.lock();
        if (!a || !*a) return;
        for (auto it = waits_.begin(); it != waits_.end(); ++it) {
          if (it->id != id) continue;
          JsonPtr partial = records_.Query(it->filter, it->count);
          JsonPtr body(json_object_new_object());
          json_object_object_add(body.get(), "error", json_object_new_string("timeout"));
          json_object_object_add(body.get(), "records", partial.release());
          SendJson(it->request, 408, body.get());
          waits_.erase(it);
          return;
        }
      },
      zc::Scaled(std::chrono::milliseconds(timeoutMs)));
}

void ControlServer::CheckWaits() {
  for (auto it = waits_.begin(); it != waits_.end();) {
    if (records_.Count(it->filter) >= it->count) {
      JsonPtr list = records_.Query(it->filter, it->count);
      SendJson(it->request, 200, list.get());
      it = waits_.erase(it);
    } else {
      ++it;
    }
  }
}

void ControlServer::HandleNats(evhttp_request* request, const std::string& action,
                               const json_object* body) {
  if (!server_) return SendError(request, 409, "the NATS server is not run by the simulator");
  auto note = [this](const char* event) {
    JsonPtr r(json_object_new_object());
    json_object_object_add(r.get(), "kind", json_object_new_string("nats.server"));
    json_object_object_add(r.get(), "event", json_object_new_string(event));
    records_.Add(std::move(r));
  };
  std::string error;
  if (action == "stop") {
    server_->Stop();
    note("stop");
  } else if (action == "start") {
    if (!server_->Start(&error)) return SendError(request, 500, error);
    note("start");
  } else if (action == "restart") {
    int64_t downMs = IntMember(body, "down_ms").value_or(0);
    server_->Stop();
    note("stop");
    // Answered now; the server comes back after the pause (real time).
    loop_.Post(
        [this, note] {
          std::string err;
          if (server_->Start(&err)) note("start");
        },
        std::chrono::milliseconds(downMs));
  } else {
    return SendError(request, 404, "unknown action " + action);
  }
  SendJson(request, 200, nullptr);
}

}  // namespace cloudsim
