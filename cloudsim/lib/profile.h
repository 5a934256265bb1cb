// The simulator's profile: which services and sinks exist, on which subjects, with which default
// answers, and the named push targets. A built-in default mirrors the cloud's defaults; a test
// may give its own file.
#pragma once

#include <map>
#include <string>

#include "lib/json_util.h"

namespace cloudsim {

struct ProfileVars {
  std::string mac = "02:5A:00:00:00:01";  // {MAC}; {mac12} is its compact form
  int natsPort = 0;                       // {N}
  int httpsPort = 0;                      // {H}
  int httpPort = 0;                       // {P}
};

const char* DefaultProfileText();
// Replaces {MAC}, {mac12}, {N}, {H}, {P} in the text.
std::string SubstituteVars(const std::string& text, const ProfileVars& vars);
// Parsed profile; nullptr with an error text. A file with "base": "default" lists only what it
// adds to or changes in the default profile.
JsonPtr LoadProfile(const std::string& file, const ProfileVars& vars, std::string* error);
// The subject of a push target ("logicalLocation", "commandGroup:0", "subject:<s>").
std::string ResolveTarget(const json_object* profile, const std::string& to);

}  // namespace cloudsim
