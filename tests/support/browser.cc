#include "support/browser.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>

#include <cstdlib>
#include <fstream>
#include <thread>
#include <vector>

#include "support/wait.h"

namespace zctest {
namespace {

using cloudsim::JsonPtr;
using cloudsim::JsonText;

constexpr auto kStartWait = std::chrono::seconds(60);
constexpr auto kCloseWait = std::chrono::seconds(5);
constexpr size_t kMaxMessage = 64 * 1024 * 1024;

JsonPtr Object() {
  return JsonPtr(json_object_new_object());
}
void Put(json_object* o, const char* key, const std::string& value) {
  json_object_object_add(o, key, json_object_new_string(value.c_str()));
}
void PutInt(json_object* o, const char* key, int64_t value) {
  json_object_object_add(o, key, json_object_new_int64(value));
}
void PutBool(json_object* o, const char* key, bool value) {
  json_object_object_add(o, key, json_object_new_boolean(value));
}

}  // namespace

std::string ChromiumBinary() {
  if (const char* given = getenv("ZC_CHROMIUM")) return given;
  return "/usr/bin/chromium";
}

Browser::Browser(const std::string& profileDir, int width, int height) : width_(width) {
  mkdir(profileDir.c_str(), 0700);
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    error_ = "socketpair failed";
    return;
  }
  const std::vector<std::string> argv = {
      ChromiumBinary(),
      "--headless",
      "--no-sandbox",
      "--disable-gpu",
      "--disable-quic",
      "--no-first-run",
      "--disable-background-networking",
      "--disable-component-update",
      "--disable-sync",
      "--disable-dev-shm-usage",
      "--user-data-dir=" + profileDir,
      "--window-size=" + std::to_string(width) + "," + std::to_string(height),
      "--remote-debugging-pipe",
      "about:blank"};
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const std::string log = profileDir + "/chromium.log";
  sigset_t none;
  sigemptyset(&none);
  pid_t pid = fork();
  if (pid < 0) {
    close(pair[0]);
    close(pair[1]);
    error_ = "fork failed";
    return;
  }
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // no browser left behind by a test that died
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // The browser's end becomes both 3 (commands in) and 4 (answers out).
    int end = fcntl(pair[1], F_DUPFD, 10);
    dup2(end, 3);
    dup2(end, 4);
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (out >= 0) {
      dup2(out, 1);
      dup2(out, 2);
    }
    int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, 0);
    execv(args[0], args.data());
    _exit(127);
  }
  close(pair[1]);
  pid_ = pid;
  toBrowser_ = pair[0];
  fromBrowser_ = pair[0];

  JsonPtr params = Object();
  Put(params.get(), "url", "about:blank");
  JsonPtr target = Call("Target.createTarget", JsonText(params.get()), false, kStartWait);
  auto targetId = cloudsim::StringMember(target.get(), "targetId");
  if (!targetId) {
    if (error_.empty()) error_ = "no page from the browser";
    return;
  }
  params = Object();
  Put(params.get(), "targetId", *targetId);
  PutBool(params.get(), "flatten", true);
  JsonPtr attached = Call("Target.attachToTarget", JsonText(params.get()), false);
  session_ = cloudsim::StringMember(attached.get(), "sessionId").value_or("");
  if (session_.empty()) {
    if (error_.empty()) error_ = "cannot attach to the page";
    return;
  }
  params = Object();
  PutInt(params.get(), "width", width);
  PutInt(params.get(), "height", height);
  PutInt(params.get(), "deviceScaleFactor", 1);
  PutBool(params.get(), "mobile", false);
  Call("Emulation.setDeviceMetricsOverride", JsonText(params.get()));
}

Browser::~Browser() {
  if (pid_ > 0) {
    if (toBrowser_ >= 0) Send(R"({"id":999999,"method":"Browser.close"})");
    auto deadline = std::chrono::steady_clock::now() + kCloseWait;
    int status;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  if (toBrowser_ >= 0) close(toBrowser_);
}

bool Browser::Send(const std::string& message) {
  std::string data = message;
  data.push_back('\0');
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(toBrowser_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

JsonPtr Browser::Receive(std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    size_t end = pending_.find('\0');
    if (end != std::string::npos) {
      std::string message = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return cloudsim::ParseJson(message);
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || pending_.size() > kMaxMessage) return nullptr;
    pollfd p{fromBrowser_, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return nullptr;
    char buf[65536];
    ssize_t n = read(fromBrowser_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return nullptr;  // the browser went away
    pending_.append(buf, static_cast<size_t>(n));
  }
}

JsonPtr Browser::Call(const std::string& method, const std::string& paramsJson, bool inPage,
                      std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return nullptr;
  const int id = nextId_++;
  std::string message = "{\"id\":" + std::to_string(id) + ",\"method\":\"" + method +
                        "\",\"params\":" + (paramsJson.empty() ? "{}" : paramsJson);
  if (inPage && !session_.empty()) message += ",\"sessionId\":\"" + session_ + "\"";
  message += "}";
  if (!Send(message)) {
    error_ = method + ": the browser does not listen";
    return nullptr;
  }
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    JsonPtr answer = Receive(deadline);
    if (!answer) {
      error_ = method + ": no answer from the browser";
      return nullptr;
    }
    // Events and late answers to earlier calls pass by.
    if (cloudsim::IntMember(answer.get(), "id").value_or(-1) != id) continue;
    if (json_object* e = cloudsim::Member(answer.get(), "error")) {
      error_ = method + ": " + cloudsim::JsonText(e);
      return nullptr;
    }
    return cloudsim::JsonRef(cloudsim::Member(answer.get(), "result"));
  }
}

bool Browser::Open(const std::string& url) {
  JsonPtr params = Object();
  Put(params.get(), "url", url);
  JsonPtr r = Call("Page.navigate", JsonText(params.get()));
  if (!r) return false;
  if (auto failed = cloudsim::StringMember(r.get(), "errorText")) {
    error_ = "cannot open " + url + ": " + *failed;
    return false;
  }
  return WaitTrue("document.readyState === 'complete' && location.href !== 'about:blank'",
                  std::chrono::seconds(30));
}

JsonPtr Browser::Eval(const std::string& expression) {
  JsonPtr params = Object();
  Put(params.get(), "expression", expression);
  PutBool(params.get(), "awaitPromise", true);
  PutBool(params.get(), "returnByValue", true);
  JsonPtr r = Call("Runtime.evaluate", JsonText(params.get()));
  if (!r) return nullptr;
  if (json_object* e = cloudsim::Member(r.get(), "exceptionDetails")) {
    error_ = "script failed: " + cloudsim::JsonText(e);
    return nullptr;
  }
  return cloudsim::JsonRef(cloudsim::PathGet(r.get(), "result.value"));
}

std::string Browser::EvalText(const std::string& expression) {
  JsonPtr v = Eval(expression);
  return v ? cloudsim::ScalarText(v.get()) : "";
}

bool Browser::WaitTrue(const std::string& expression, std::chrono::milliseconds timeout) {
  return WaitFor(
      [&] {
        JsonPtr v = Eval("!!(" + expression + ")");
        return v && json_object_get_boolean(v.get());
      },
      timeout, std::chrono::milliseconds(100));
}

bool Browser::Screenshot(const std::string& path) {
  JsonPtr h = Eval("Math.ceil(document.documentElement.scrollHeight)");
  const int64_t height = h ? json_object_get_int64(h.get()) : 0;
  if (height <= 0) return false;
  JsonPtr params = Object();
  PutInt(params.get(), "width", width_);
  PutInt(params.get(), "height", height);
  PutInt(params.get(), "deviceScaleFactor", 1);
  PutBool(params.get(), "mobile", false);
  if (!Call("Emulation.setDeviceMetricsOverride", JsonText(params.get()))) return false;
  params = Object();
  Put(params.get(), "format", "png");
  JsonPtr shot = Call("Page.captureScreenshot", JsonText(params.get()));
  auto png = cloudsim::Base64Decode(cloudsim::StringMember(shot.get(), "data").value_or(""));
  if (!png || png->empty()) return false;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(png->data(), static_cast<std::streamsize>(png->size()));
  return static_cast<bool>(out);
}

}  // namespace zctest
