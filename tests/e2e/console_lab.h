// Helpers of the console scenarios: the page's address, what a hostile router sends, and a
// router's own NATS client that publishes as a router would.
#pragma once

#include <nats/nats.h>
#include <unistd.h>

#include <string>

#include "e2e/e2e_lab.h"
#include "support/browser.h"
#include "support/netns.h"
#include "support/requires.h"

namespace e2e {

// What a hostile router or LAN client could send: markup that would run, and both quotes.
inline constexpr const char* kHostile =
    R"(<script>document.body.dataset.pwned=1</script><img src=x onerror='document.body.dataset.pwned=2'>" &amp;)";
// The same without double quotes, for a NATS client name (sent inside the CONNECT JSON).
inline constexpr const char* kHostileName = R"(<script>x=1</script><b onclick='y()'>&amp;)";

// The page's own elements: the scripts it loads and nothing a value could have added.
inline constexpr const char* kUntouched =
    "document.querySelectorAll('script').length === 3 && !document.querySelector('img, [onclick], "
    "[onerror]') && document.body.dataset.pwned === undefined";

// The console's address on the simulator's control port.
std::string ConsoleUrl(Lab& lab);

// A router's own NATS client (the simulator does not hear its own publishes): a connection
// under a name, as a router's connection appears to the server, that publishes as a router.
class Router {
 public:
  Router(const std::string& url, const std::string& caFile, const std::string& name);
  ~Router();
  Router(const Router&) = delete;
  Router& operator=(const Router&) = delete;
  bool ok() const { return nc_ != nullptr; }
  const char* status() const { return natsStatus_GetText(status_); }

  // Publishes bytes as they are (the JSON event of a diagnostic).
  bool PublishRaw(const std::string& subject, const std::string& payload);
  // Publishes a message given in JSON form, encoded with the agent's schema.
  bool Publish(const std::string& subject, const std::string& type, const std::string& json);

 private:
  natsConnection* nc_ = nullptr;
  natsStatus status_ = NATS_ERR;
};

}  // namespace e2e

// The page tests need the router namespace and the browser.
#define ZC_NEEDS_PAGE()                                                          \
  if (!zctest::InPrivateNetwork()) ZC_MISSING() << "needs the router namespace"; \
  if (access(zctest::ChromiumBinary().c_str(), X_OK) != 0) {                     \
    ZC_MISSING() << "chromium (" << zctest::ChromiumBinary() << ")";             \
  }
