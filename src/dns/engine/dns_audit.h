// The audit log: one line per answered client query, written by a thread of its own so the
// engine never waits on the disk. Files are rotated at a size limit (renamed with a time stamp
// and compressed), and only the newest few are kept.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace zc::dns {

// Lines waiting for the writer; beyond this new lines are dropped (and counted).
inline constexpr size_t kMaxAuditBacklog = 4096;

class AuditLog {
 public:
  AuditLog() = default;
  ~AuditLog() { Close(); }
  AuditLog(const AuditLog&) = delete;
  AuditLog& operator=(const AuditLog&) = delete;

  // real_path is already mapped under the root. max_size 0: never rotate.
  bool Open(const std::string& real_path, int64_t max_size, int max_files);
  // Writes what is queued, then stops the writer.
  void Close();
  // Queues one line (without its newline). Any thread.
  void Write(std::string line);
  uint64_t dropped() const { return dropped_; }

  // "[YYYY-MM-DD hh:mm:ss,mmm] <client> query <domain>, time <ms>ms, type <qtype>, result <r>"
  static std::string FormatLine(const std::string& client, const std::string& domain,
                                long elapsed_ms, int qtype, const std::string& result);
  // Name of the rotated file: "<dir>/<base>-YYYYMMDD-hhmmss<ext>", "-N" before the extension
  // when that name is taken.
  static std::string RotatedName(const std::string& path, time_t when);

 private:
  void Run();
  void Rotate();
  void Prune();

  std::string path_;
  int64_t max_size_ = 0;
  int max_files_ = 0;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::string> queue_;
  bool stop_ = false;
  uint64_t dropped_ = 0;
  std::thread thread_;
};

}  // namespace zc::dns
