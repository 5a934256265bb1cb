// Plain files over HTTP and HTTPS: firmware images, the time service ("/now"), the public
// address ("/ip") and the internet probe page. Routes come from the profile ("routes") and from
// the tests (PUT /v1/http/routes, which replaces the tests' routes and takes precedence).
//
// A route: "path" (exact), "listener" ("http", "https" or any), "status" (200), the body from
// "file" or "body", and how it is served: "delay_ms" (agent time before the answer), "hold"
// (never answered), "rate_kbps" (real KiB per second) or "duration_ms" (the whole body spread
// over that agent time), "close_after" (bytes, then the connection is cut), "stall_after"
// (bytes, then nothing more), "location" (with a 3xx status), "times" (requests it serves, then
// the next matching route applies).
#include <event2/buffer.h>
#include <algorithm>

#include "lib/control.h"
#include "services/services.h"
#include "utils/event_handles.h"
#include "utils/files.h"
#include "utils/timescale.h"

namespace cloudsim {
namespace {

constexpr std::chrono::milliseconds kTick{50};
// A cut connection gets a moment for the bytes already queued to leave.
constexpr std::chrono::milliseconds kCutDelay{50};

struct Route {
  JsonPtr settings;
  std::string path;
  std::string listener;
  int timesLeft = -1;  // -1: unlimited
};

// One body being sent in paced chunks.
struct Transfer {
  WebServer* web;
  evhttp_request* request;
  std::shared_ptr<const bool> open;
  std::string body;
  size_t sent = 0;
  size_t limit = 0;  // bytes to send before cutting or stalling
  size_t perTick = 0;
  bool cut = false;
  std::string path;
};

void RecordEnd(Transfer& t, const char* outcome) {
  JsonPtr r(json_object_new_object());
  json_object_object_add(r.get(), "kind", json_object_new_string("http.end"));
  json_object_object_add(r.get(), "path", json_object_new_string(t.path.c_str()));
  json_object_object_add(r.get(), "sent", json_object_new_int64(static_cast<int64_t>(t.sent)));
  json_object_object_add(r.get(), "outcome", json_object_new_string(outcome));
  t.web->Record(std::move(r));
}

void SendMore(std::shared_ptr<Transfer> t) {
  if (!*t->open) {
    RecordEnd(*t, "client-closed");
    return;
  }
  size_t n = std::min(t->perTick, t->limit - t->sent);
  if (n > 0) {
    zc::ev::BufferPtr chunk(evbuffer_new());
    evbuffer_add(chunk.get(), t->body.data() + t->sent, n);
    evhttp_send_reply_chunk(t->request, chunk.get());
    t->sent += n;
  }
  if (t->sent < t->limit) {
    t->web->loop().Post([t] { SendMore(t); }, kTick);
    return;
  }
  if (t->sent == t->body.size()) {
    evhttp_send_reply_end(t->request);
    RecordEnd(*t, "complete");
  } else if (t->cut) {
    t->web->loop().Post(
        [t] {
          if (*t->open) WebServer::Cut(t->request);
          RecordEnd(*t, "cut");
        },
        kCutDelay);
  } else {
    RecordEnd(*t, "stalled");  // the client gives up and closes
  }
}

class Routes : public HttpService {
 public:
  explicit Routes(WebServer& web) : web_(web) {}

  bool Configure(const json_object* profile, std::string* error) override {
    profileRoutes_.clear();
    return Load(Member(profile, "routes"), &profileRoutes_, error);
  }

  bool Handle(const WebRequest& r) override {
    Route* route = Find(r, &testRoutes_);
    if (!route) route = Find(r, &profileRoutes_);
    if (!route) return false;
    if (route->timesLeft > 0) --route->timesLeft;
    const json_object* settings = route->settings.get();
    const int status = static_cast<int>(IntMember(settings, "status").value_or(200));
    JsonPtr record = WebServer::RecordOf(r, status);
    json_object_object_add(record.get(), "service", json_object_new_string("routes"));
    json_object_object_add(record.get(), "route", json_object_get(route->settings.get()));
    web_.Record(std::move(record));
    if (BoolMember(settings, "hold", false)) return true;  // never answered

    auto t = std::make_shared<Transfer>();
    t->web = &web_;
    t->request = r.request;
    t->open = web_.Watch(r.request);
    t->path = r.path;
    if (auto file = StringMember(settings, "file")) {
      t->body = zc::ReadFile(*file).value_or("");
    } else {
      t->body = StringMember(settings, "body").value_or("");
    }
    t->limit = t->body.size();
    if (auto n = IntMember(settings, "close_after")) {
      t->limit = std::min<size_t>(t->limit, static_cast<size_t>(*n));
      t->cut = true;
    } else if (auto n = IntMember(settings, "stall_after")) {
      t->limit = std::min<size_t>(t->limit, static_cast<size_t>(*n));
    }
    t->perTick = PerTick(settings, t->body.size());
    auto location = StringMember(settings, "location");
    auto start = [t, status, location] {
      if (!*t->open) return;
      evkeyvalq* headers = evhttp_request_get_output_headers(t->request);
      evhttp_add_header(headers, "Content-Type", "application/octet-stream");
      evhttp_add_header(headers, "Content-Length", std::to_string(t->body.size()).c_str());
      if (location) evhttp_add_header(headers, "Location", location->c_str());
      evhttp_send_reply_start(t->request, status, status < 400 ? "OK" : "Error");
      SendMore(t);
    };
    int64_t delayMs = IntMember(settings, "delay_ms").value_or(0);
    if (delayMs > 0) {
      web_.loop().Post(start, zc::Scaled(std::chrono::milliseconds(delayMs)));
    } else {
      start();
    }
    return true;
  }

  bool Control(evhttp_request* request, evhttp_cmd_type method, const std::string& path,
               const json_object* body) override {
    if (path != "/v1/http/routes") return false;
    if (method != EVHTTP_REQ_PUT) {
      SendError(request, 405, "PUT a list of routes");
      return true;
    }
    std::vector<Route> routes;
    std::string error;
    if (!Load(body, &routes, &error)) {
      SendError(request, 400, error);
      return true;
    }
    testRoutes_ = std::move(routes);
    SendJson(request, 200, nullptr);
    return true;
  }

  void Reset() override { testRoutes_.clear(); }

 private:
  static bool Load(const json_object* list, std::vector<Route>* out, std::string* error) {
    if (!list) return true;
    if (!json_object_is_type(list, json_type_array)) {
      *error = "routes must be a list";
      return false;
    }
    for (size_t i = 0; i < json_object_array_length(list); ++i) {
      json_object* settings = json_object_array_get_idx(list, i);
      Route route;
      route.path = StringMember(settings, "path").value_or("");
      if (route.path.empty()) {
        *error = "a route needs a path";
        return false;
      }
      route.listener = StringMember(settings, "listener").value_or("");
      route.timesLeft = static_cast<int>(IntMember(settings, "times").value_or(-1));
      route.settings = JsonRef(settings);
      out->push_back(std::move(route));
    }
    return true;
  }

  static Route* Find(const WebRequest& r, std::vector<Route>* routes) {
    for (Route& route : *routes) {
      if (route.path != r.path || route.timesLeft == 0) continue;
      if (!route.listener.empty() && route.listener != r.listener) continue;
      return &route;
    }
    return nullptr;
  }

  // Bytes per tick of the pacing: a real rate, or the body spread over an agent duration.
  static size_t PerTick(const json_object* settings, size_t size) {
    if (auto kbps = IntMember(settings, "rate_kbps"); kbps && *kbps > 0) {
      return std::max<size_t>(1, static_cast<size_t>(*kbps) * 1024 * kTick.count() / 1000);
    }
    if (auto ms = IntMember(settings, "duration_ms"); ms && *ms > 0) {
      auto real = zc::Scaled(std::chrono::milliseconds(*ms));
      size_t ticks = std::max<size_t>(1, static_cast<size_t>(real.count() / kTick.count()));
      return std::max<size_t>(1, (size + ticks - 1) / ticks);
    }
    return std::max<size_t>(1, size);  // not paced: all at once
  }

  WebServer& web_;
  std::vector<Route> profileRoutes_;
  std::vector<Route> testRoutes_;
};

}  // namespace

std::unique_ptr<HttpService> MakeRoutes(WebServer& web) {
  return std::make_unique<Routes>(web);
}

}  // namespace cloudsim
