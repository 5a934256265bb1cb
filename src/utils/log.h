// Process-wide logging: one threshold, standard output with a time prefix, the same message to
// the system log; exact-level channels for DNS and protocol dumps; flow lines tagged with a
// transaction.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

enum LogLevel : int {
  LL_DEBUG = 2,
  LL_DNS = 3,
  LL_PROTO = 4,
  LL_PROFILE = 5,
  LL_FLOW = 6,
  LL_INFO = 7,
  LL_NOTICE = 8,
  LL_WARN = 9,
  LL_ERR = 10,
  LL_CRIT = 11,
};

struct LogLevelDes {
  unsigned char level;
  const char* name;
};
struct ActionDesc {
  unsigned char action;
  const char* name;
};

extern const LogLevelDes gLogLevelDes[12];
extern const ActionDesc gActionDesc[5];

enum LogAction : unsigned char {
  ACTION_BOOTSTRAP = 0,
  ACTION_FW_VALIDATE = 1,
  ACTION_FW_UPGRADE_RESULT = 3,
  ACTION_SIGN_ON = 4,
  ACTION_GET_ZUNCORE = 5,
};

// Prefix of a flow line: level name, trace id, action name, device MAC.
struct LogFlowTag {
  const char* level = "";
  const char* traceId = "";
  const char* action = "";
  const char* mac = "";
};

extern std::atomic<int> g_loglevel;

const char* LogLevelName(int level);
const char* LogActionName(int action);

void LogOpen(const char* ident);
void LogClose();
void LogLevelSet(int level);
void LogOut(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void LogFlow(int level, const LogFlowTag& tag, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void LogDns(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void LogProto(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void LogHex(const char* label, const void* data, size_t length, FILE* stream);

// A value from outside (cloud text, file contents) made safe for one log line: control characters
// are escaped (\n, \r, \t, \xHH) so a value can never start a line that looks like the agent's
// own. The stored value stays as it came; only its logged form changes.
std::string LogText(std::string_view value);

// Lines logged by the calling thread go to standard output only, never to the system log: the
// journal thread reads the system log socket, and its own lines must not come back to it.
void LogThreadStdoutOnly(bool on);

// A second destination for the lines of the threads that carry it (the DNS engine's own log
// file): lines at or above its level go to Line() whatever the process threshold, and the usual
// outputs keep following the process threshold. Line() runs on the logging thread and must not
// log or block.
class LogTap {
 public:
  explicit LogTap(int level) : level_(level) {}
  virtual ~LogTap() = default;
  int level() const { return level_.load(std::memory_order_relaxed); }
  void set_level(int level) { level_.store(level, std::memory_order_relaxed); }
  virtual void Line(int level, const char* message) = 0;

 private:
  std::atomic<int> level_;
};

// Sets (null: clears) the calling thread's tap. A thread started by a tapped thread has none
// until it sets the one it was given (see LogThreadTap()).
void LogSetThreadTap(std::shared_ptr<LogTap> tap);
std::shared_ptr<LogTap> LogThreadTap();
// Whether a LogOut line of this level would go anywhere from the calling thread (for callers
// that skip building costly arguments).
bool LogWants(int level);

// Sets the calling thread's tap for a scope and puts the previous one back.
class LogTapScope {
 public:
  explicit LogTapScope(std::shared_ptr<LogTap> tap) : previous_(LogThreadTap()) {
    LogSetThreadTap(std::move(tap));
  }
  ~LogTapScope() { LogSetThreadTap(std::move(previous_)); }
  LogTapScope(const LogTapScope&) = delete;
  LogTapScope& operator=(const LogTapScope&) = delete;

 private:
  std::shared_ptr<LogTap> previous_;
};

// The text written to the level file for a level.
std::string LogLevelFileText(int level);
