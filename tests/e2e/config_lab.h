// Helpers of the configuration scenarios: a signed-on lab, pushes that wait for their answers,
// and the router state they should (or should not) change.
#pragma once

#include <string>
#include <vector>

#include "e2e/e2e_lab.h"

namespace e2e {

inline constexpr char kDeviceMac[] = "02:5A:00:00:00:01";

// JSON text of a string.
std::string Quote(const std::string& text);

// Starts the agent on the prefetch path and waits until it has signed on and subscribed.
void StartSignedOn(Lab& lab);

struct PushOptions {
  std::string mutate;   // JSON object text of the "mutate" member
  std::string rawB64;   // raw payload instead of the envelope
  size_t answers = 1;   // answers to wait for (0: none)
  std::string transid;  // transaction the answers carry (default: the member's)
};
PushOptions For(const std::string& transid);
PushOptions Mutated(const std::string& mutate, const std::string& transid = "");
PushOptions Raw(const std::string& b64, const std::string& transid);
PushOptions NoAnswer();

// Pushes an envelope (JSON form) to a target and waits for its answers; their err_msg texts in
// order (fewer when they did not all come in time).
std::vector<std::string> Ask(Lab& lab, const std::string& to, const std::string& envelopeJson,
                             const PushOptions& options = {});
// A COMMANDS envelope.
std::string Command(const std::string& transid, const std::string& command,
                    const std::string& data = "");
// CONFIGRESP records with that transaction id so far.
size_t AnswersOf(Lab& lab, const std::string& transid);
// Value of a flash setting of the simulated router ("" when absent).
std::string Flash(Lab& lab, const std::string& name);
// Files under the root whose name starts with "pwned" (created only if a shell ran cloud text).
size_t Pwned(const std::string& root);
// A shell payload that would create root/pwned<n> if a shell ever saw it.
std::string ShellPayload(const std::string& root, int n);

}  // namespace e2e
