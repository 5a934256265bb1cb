// Headless Chromium driven over the DevTools protocol on a pipe (--remote-debugging-pipe: the
// browser reads commands on descriptor 3 and answers on 4, one JSON message per NUL-terminated
// chunk), so a test can load a page, run script in it the way a person's clicks would, read what
// it shows and take a screenshot, with no network port and no helper program. The browser is
// started with the same flags as the page tests always used and stopped by its pid.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

#include "lib/json_util.h"

namespace zctest {

// The browser program: $ZC_CHROMIUM or /usr/bin/chromium.
std::string ChromiumBinary();

class Browser {
 public:
  // profileDir: the browser's own user-data folder (made by the caller, removed with it).
  explicit Browser(const std::string& profileDir, int width = 1400, int height = 1000);
  ~Browser();
  Browser(const Browser&) = delete;
  Browser& operator=(const Browser&) = delete;

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }

  // Loads the page and waits for its load event.
  bool Open(const std::string& url);
  // Runs an expression in the page (a promise is awaited); its value as JSON (nullptr when the
  // expression threw or the browser did not answer; error() says why).
  cloudsim::JsonPtr Eval(const std::string& expression);
  // The value as text (strings as they are, anything else as JSON text; "" on failure).
  std::string EvalText(const std::string& expression);
  // Polls the expression until it is truthy (real time).
  bool WaitTrue(const std::string& expression, std::chrono::milliseconds timeout);
  // The whole page (its full height) as a PNG file.
  bool Screenshot(const std::string& path);

 private:
  cloudsim::JsonPtr Call(const std::string& method, const std::string& paramsJson,
                         bool inPage = true,
                         std::chrono::milliseconds timeout = std::chrono::seconds(30));
  bool Send(const std::string& message);
  // The next complete message, or nullptr by the deadline.
  cloudsim::JsonPtr Receive(std::chrono::steady_clock::time_point deadline);

  pid_t pid_ = -1;
  int toBrowser_ = -1;
  int fromBrowser_ = -1;
  std::string pending_;
  std::string session_;
  int nextId_ = 1;
  int width_;
  std::string error_;
};

}  // namespace zctest
