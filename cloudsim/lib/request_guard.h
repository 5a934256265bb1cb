// The control API is reached by tests, curl and the console page in a browser on the same
// machine. A browser also runs other sites' scripts: those may send requests to 127.0.0.1 (a
// form or fetch aimed at the port) or reach it under their own name (DNS rebinding). Both are
// refused here, so that only the console page itself, served from this port, can push.
#pragma once

#include <string>

namespace cloudsim {

// Whether a request may go on: its Host (when given) names this machine's loopback or the
// control socket's "cloudsim", and a request that changes something (not GET or HEAD) coming
// from a page (an Origin header) comes from a page of this same server. why says what was wrong.
bool ControlRequestAllowed(bool changes, const char* host, const char* origin, std::string* why);

}  // namespace cloudsim
