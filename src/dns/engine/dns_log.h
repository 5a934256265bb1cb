// The engine's own log: the lines logged by the engine's threads (its loop, its upstream client
// and prober, its start and stop) at or above the option file's `log-level`, written to
// `log-file` (default /tmp/zundns.log, under the root) and rotated at `log-size` keeping
// `log-num` old files, as the standalone executable and the agent both run it. The process's
// usual outputs (standard output, the system log) go on as before.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "dns/engine/dns_log_writer.h"
#include "utils/log.h"

namespace zc::dns {

inline constexpr const char* kDefaultEngineLogFile = "/tmp/zundns.log";

class EngineLog : public LogTap {
 public:
  explicit EngineLog(int level) : LogTap(level) {}
  ~EngineLog() override { writer_.Close(); }

  // real_path is already mapped under the root. False (errno set) when it cannot be opened.
  bool Open(const std::string& real_path, int64_t max_size, int max_files);
  void Close() { writer_.Close(); }
  void Flush() { writer_.Flush(); }
  // "[YYYY-MM-DD hh:mm:ss,mmm][LEVEL] message"; control characters escaped.
  void Line(int level, const char* message) override;
  static std::string FormatLine(int level, const char* message);

 private:
  LogFileWriter writer_;
};

}  // namespace zc::dns
