#include "utils/log.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "utils/files.h"
#include "utils/paths.h"

const LogLevelDes gLogLevelDes[12] = {
    {0, "UNKNOWN2"}, {1, "UNKNOWN1"}, {2, "DEBUG"},  {3, "DNS"},
    {4, "PROTO"},    {5, "PROFILE"},  {6, "FLOW"},   {7, "INFO"},
    {8, "NOTICE"},   {9, "WARNING"},  {10, "ERROR"}, {11, "CRITICAL"},
};
const ActionDesc gActionDesc[5] = {
    {0, "BOOTSTRAP"}, {1, "FW_VALIDATE"}, {3, "FW_UPGRADE_RESULT"},
    {4, "SIGN_ON"},   {5, "GET_ZUNCORE"},
};

std::atomic<int> g_loglevel{LL_FLOW};

namespace {

constexpr const char* kLevelFile = "/tmp/zuncore_loglevel";
constexpr size_t kMaxMessage = 4096;

// The system log is reached through our own datagram sender so that the socket sits under the
// router root (the journal binds it there on the simulated router).
struct SyslogSink {
  std::mutex mutex;
  int fd = -1;
  std::string ident = "zuncore";
  std::string path;
};
SyslogSink gSyslog;
thread_local bool tStdoutOnly = false;
// The raw pointer is what the level checks read; the shared pointer keeps the tap alive.
thread_local std::shared_ptr<LogTap> tTapOwner;
thread_local LogTap* tTap = nullptr;

void SendSyslog(int level, const char* message) {
  if (tStdoutOnly) return;
  std::lock_guard lock(gSyslog.mutex);
  if (gSyslog.fd < 0) return;
  // Levels above 7 carry facility bits and go unchanged; lower ones get the daemon facility.
  int pri = (level & LOG_FACMASK) ? level : (level | LOG_DAEMON);
  time_t now = time(nullptr);
  struct tm tmv {};
  localtime_r(&now, &tmv);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &tmv);
  char buf[kMaxMessage + 128];
  int n = snprintf(buf, sizeof buf, "<%d>%s %s[%d]: %s", pri, stamp, gSyslog.ident.c_str(),
                   static_cast<int>(getpid()), message);
  if (n < 0) return;
  size_t len = static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, gSyslog.path.c_str(), sizeof addr.sun_path - 1);
  // A missing or busy log socket must never stall the caller.
  (void)sendto(gSyslog.fd, buf, len, MSG_DONTWAIT | MSG_NOSIGNAL,
               reinterpret_cast<sockaddr*>(&addr), sizeof addr);
}

void EmitMessage(int level, const LogFlowTag* tag, const char* message) {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  char line[kMaxMessage + 256];
  int n;
  if (tag) {
    n = snprintf(line, sizeof line, "%ld.%06ld:%s %s %s %s %s\n",
                 static_cast<long>(tv.tv_sec % 3600), static_cast<long>(tv.tv_usec), tag->level,
                 tag->traceId, tag->action, tag->mac, message);
  } else {
    n = snprintf(line, sizeof line, "%ld.%06ld: %s\n", static_cast<long>(tv.tv_sec % 3600),
                 static_cast<long>(tv.tv_usec), message);
  }
  if (n > 0) {
    size_t len = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
    if (line[len - 1] != '\n') line[len - 1] = '\n';
    fwrite(line, 1, len, stdout);
  }
  SendSyslog(level, message);
}

bool PassesThreshold(int level) {
  return static_cast<unsigned>(level) >= static_cast<unsigned>(g_loglevel.load());
}

bool TapWants(int level) {
  return tTap && static_cast<unsigned>(level) >= static_cast<unsigned>(tTap->level());
}

// Formats once; the usual outputs when `out` says so, the thread's tap when it wants the level.
__attribute__((format(printf, 4, 0))) void Emit(int level, const LogFlowTag* tag, bool out,
                                                const char* format, va_list ap) {
  char message[kMaxMessage];
  vsnprintf(message, sizeof message, format, ap);
  if (out) EmitMessage(level, tag, message);
  if (TapWants(level)) tTap->Line(level, message);
}

}  // namespace

const char* LogLevelName(int level) {
  if (level < 0 || level > 11) return "UNKNOWN";
  return gLogLevelDes[level].name;
}

const char* LogActionName(int action) {
  for (const auto& a : gActionDesc) {
    if (a.action == action) return a.name;
  }
  return "UNKNOWN";
}

void LogOpen(const char* ident) {
  std::lock_guard lock(gSyslog.mutex);
  if (gSyslog.fd < 0) gSyslog.fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  gSyslog.ident = ident ? ident : "zuncore";
  gSyslog.path = zc::RootPath("/dev/log");
}

void LogSetThreadTap(std::shared_ptr<LogTap> tap) {
  tTap = tap.get();
  tTapOwner = std::move(tap);
}

std::shared_ptr<LogTap> LogThreadTap() {
  return tTapOwner;
}

bool LogWants(int level) {
  return PassesThreshold(level) || TapWants(level);
}

void LogThreadStdoutOnly(bool on) {
  tStdoutOnly = on;
}

void LogClose() {
  std::lock_guard lock(gSyslog.mutex);
  if (gSyslog.fd >= 0) close(gSyslog.fd);
  gSyslog.fd = -1;
}

std::string LogText(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u != 0x7f) {
      out.push_back(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out.push_back(kHex[u >> 4]);
      out.push_back(kHex[u & 0xf]);
    }
  }
  return out;
}

std::string LogLevelFileText(int level) {
  char text[256];
  snprintf(text, sizeof text,
           "zuncore current-log-level :%d [ level info LL_CRIT=11, LL_ERR=10, LL_WARN=9, "
           "LL_NOTICE=8, LL_INFO=7, LL_FLOW=6, LL_PROFILE=5, LL_PROTO=4, LL_DNS=3, LL_DEBUG=2 ]\n",
           level);
  return text;
}

void LogLevelSet(int level) {
  g_loglevel.store(level);
  if (zc::WriteFileAtomic(zc::RootPath(kLevelFile), LogLevelFileText(level)) != 0) {
    fprintf(stderr, "LogLevelSet: unable to write %s\n", kLevelFile);
  }
}

void LogOut(int level, const char* format, ...) {
  bool out = PassesThreshold(level);
  if (!out && !TapWants(level)) return;
  va_list ap;
  va_start(ap, format);
  Emit(level, nullptr, out, format, ap);
  va_end(ap);
}

void LogFlow(int level, const LogFlowTag& tag, const char* format, ...) {
  bool out = PassesThreshold(level);
  if (!out && !TapWants(level)) return;
  va_list ap;
  va_start(ap, format);
  Emit(level, &tag, out, format, ap);
  va_end(ap);
}

void LogDns(int level, const char* format, ...) {
  bool out = level == g_loglevel.load();
  if (!out && !TapWants(level)) return;
  va_list ap;
  va_start(ap, format);
  Emit(level, nullptr, out, format, ap);
  va_end(ap);
}

void LogProto(int level, const char* format, ...) {
  bool out = level == g_loglevel.load();
  if (!out && !TapWants(level)) return;
  va_list ap;
  va_start(ap, format);
  Emit(level, nullptr, out, format, ap);
  va_end(ap);
}

void LogHex(const char* label, const void* data, size_t length, FILE* stream) {
  std::string out;
  char part[32];
  snprintf(part, sizeof part, "%zd:", static_cast<ssize_t>(length));
  out.append(label ? label : "").append(" ").append(part);
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < length; ++i) {
    snprintf(part, sizeof part, " %02X", bytes[i]);
    out.append(part);
  }
  out.push_back('\n');
  fwrite(out.data(), 1, out.size(), stream);
}
