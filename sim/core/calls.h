// The call journal of the simulated router ($ROOT/sim/log/calls.log): one line per stand-in
// call, driver request, platform-library call or guard event:
//   SEQ MS PID KIND NAME JSON rc=N
#pragma once

#include <string>
#include <vector>

namespace zsim {

std::string JsonString(const std::string& text);
std::string JsonArray(const std::vector<std::string>& items);

// Appends one line; SEQ is a counter shared by every process of the root.
void LogCall(const std::string& kind, const std::string& name, const std::string& json, int rc);
inline void LogExec(const std::string& program, const std::vector<std::string>& args, int rc) {
  LogCall("exec", program, JsonArray(args), rc);
}

// One parsed line of calls.log.
struct CallRecord {
  long seq = 0;
  long long ms = 0;
  long pid = 0;
  std::string kind;
  std::string name;
  std::string json;
  int rc = 0;
};
bool ParseCallLine(const std::string& line, CallRecord* out);
std::vector<CallRecord> ReadCalls(long sinceSeq = 0);

}  // namespace zsim
