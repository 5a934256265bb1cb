// The HTTPS bootstrap endpoint: POST <prefix>/device/register, answered from a queue the test
// sets (PUT /v1/bootstrap {"answers": [...], "then": {...}}), else with the profile's answer.
//
// An answer: {"status": 200, "body": {...}} or {"raw": "text"} for the body, "delay_ms" (agent
// time before answering), "close": true (the connection is dropped without an answer), "tls":
// "rogue" (the next TLS handshake is made with a certificate of an unknown CA, so the request
// never arrives). Every request is recorded with the prefix of its path.
#include <deque>

#include "lib/control.h"
#include "lib/process.h"
#include "services/services.h"
#include "utils/timescale.h"

namespace cloudsim {
namespace {

constexpr char kRegisterSuffix[] = "/device/register";

bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

JsonPtr Copy(const json_object* j) {
  return JsonCopy(j);
}

class BootstrapEndpoint : public HttpService {
 public:
  explicit BootstrapEndpoint(WebServer& web) : web_(web) {}

  bool Configure(const json_object* profile, std::string*) override {
    profileAnswer_ = Copy(Member(Member(profile, "bootstrap"), "answer"));
    return true;
  }

  bool Handle(const WebRequest& r) override {
    if (r.method != "POST" || !EndsWith(r.path, kRegisterSuffix)) return false;
    JsonPtr answer = TakeAnswer();
    const int status = static_cast<int>(IntMember(answer.get(), "status").value_or(200));
    const bool close = BoolMember(answer.get(), "close", false);
    JsonPtr record = WebServer::RecordOf(r, close ? 0 : status);
    json_object_object_add(record.get(), "service", json_object_new_string("bootstrap"));
    std::string prefix = r.path.substr(0, r.path.size() - (sizeof kRegisterSuffix - 1));
    json_object_object_add(record.get(), "prefix", json_object_new_string(prefix.c_str()));
    json_object_object_add(record.get(), "answer", json_object_get(answer.get()));
    web_.Record(std::move(record));
    if (close) {
      WebServer::Drop(r.request);
      return true;
    }
    std::string body;
    if (auto raw = StringMember(answer.get(), "raw")) {
      body = *raw;
    } else if (json_object* b = Member(answer.get(), "body")) {
      body = JsonText(b);
    }
    int64_t delayMs = IntMember(answer.get(), "delay_ms").value_or(0);
    if (delayMs <= 0) {
      WebServer::Reply(r, status, body, "application/json");
      return true;
    }
    auto open = web_.Watch(r.request);
    evhttp_request* request = r.request;
    web_.loop().Post(
        [open, request, status, body] {
          if (!*open) return;
          WebRequest later;
          later.request = request;
          WebServer::Reply(later, status, body, "application/json");
        },
        zc::Scaled(std::chrono::milliseconds(delayMs)));
    return true;
  }

  bool Control(evhttp_request* request, evhttp_cmd_type method, const std::string& path,
               const json_object* body) override {
    if (path != "/v1/bootstrap") return false;
    if (method == EVHTTP_REQ_GET) {
      JsonPtr out(json_object_new_object());
      json_object_object_add(out.get(), "queued",
                             json_object_new_int(static_cast<int>(queue_.size())));
      SendJson(request, 200, out.get());
      return true;
    }
    if (method != EVHTTP_REQ_PUT) {
      SendError(request, 405, "PUT or GET");
      return true;
    }
    std::deque<JsonPtr> queue;
    json_object* answers = Member(body, "answers");
    for (size_t i = 0; answers && i < json_object_array_length(answers); ++i) {
      queue.push_back(Copy(json_object_array_get_idx(answers, i)));
    }
    std::string error;
    for (const JsonPtr& a : queue) {
      if (!PrepareCertificate(a.get(), &error)) {
        SendError(request, 500, error);
        return true;
      }
    }
    queue_ = std::move(queue);
    then_ = Copy(Member(body, "then"));
    SendJson(request, 200, nullptr);
    return true;
  }

  void Reset() override {
    queue_.clear();
    then_.reset();
  }

  std::string TakeTlsCertificate() override {
    if (queue_.empty()) return "";
    auto tls = StringMember(queue_.front().get(), "tls");
    if (!tls) return "";
    // That request never arrives: its answer is used up by the handshake.
    queue_.pop_front();
    return *tls;
  }

 private:
  JsonPtr TakeAnswer() {
    if (!queue_.empty()) {
      JsonPtr a = std::move(queue_.front());
      queue_.pop_front();
      return a;
    }
    if (then_) return Copy(then_.get());
    if (profileAnswer_) return Copy(profileAnswer_.get());
    return ParseJson(R"({"status": 500, "raw": "no bootstrap answer configured"})");
  }

  // A certificate of an unknown CA, made once when a test first asks for it.
  bool PrepareCertificate(const json_object* answer, std::string* error) {
    auto tls = StringMember(answer, "tls");
    if (!tls || web_.HasCertificate(*tls)) return true;
    if (*tls != "rogue") {
      *error = "unknown tls certificate " + *tls;
      return false;
    }
    std::string dir = web_.workDir() + "/pki-rogue";
    return MakeTestPki(dir, error) &&
           web_.AddCertificate(*tls, dir + "/server.pem", dir + "/server.key", error);
  }

  WebServer& web_;
  JsonPtr profileAnswer_;
  std::deque<JsonPtr> queue_;
  JsonPtr then_;
};

}  // namespace

std::unique_ptr<HttpService> MakeBootstrapEndpoint(WebServer& web) {
  return std::make_unique<BootstrapEndpoint>(web);
}

}  // namespace cloudsim
