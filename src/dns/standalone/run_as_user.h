// The `user` option of the standalone engine: the process becomes that user before the engine
// starts, keeping only the capabilities a resolver needs (binding port 53, raw sockets for ping
// probes, network administration). Inside the agent the option is ignored: the agent's
// credentials are not the DNS engine's to change.
#pragma once

#include <string>

namespace zc::dns {

// Switches the process (no other thread may be running yet) to `user` and its group. Already
// that user: nothing to do. False with *error when the user is unknown or the switch failed;
// the caller must not go on with the old credentials then.
bool RunAsUser(const std::string& user, std::string* error);

}  // namespace zc::dns
