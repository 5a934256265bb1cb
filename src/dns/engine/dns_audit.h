// The audit log: one line per answered client query, written through the engine's rotating
// log writer (a thread of its own, so the engine never waits on the disk; rotated at a size
// limit into time-stamped compressed files, only the newest few kept).
#pragma once

#include <cstdint>
#include <string>

#include "dns/engine/dns_log_writer.h"

namespace zc::dns {

class AuditLog : public LogFileWriter {
 public:
  // real_path is already mapped under the root. max_size 0: never rotate.
  bool Open(const std::string& real_path, int64_t max_size, int max_files);

  // "[YYYY-MM-DD hh:mm:ss,mmm] <client> query <domain>, time <ms>ms, type <qtype>, result <r>"
  static std::string FormatLine(const std::string& client, const std::string& domain,
                                long elapsed_ms, int qtype, const std::string& result);
};

}  // namespace zc::dns
