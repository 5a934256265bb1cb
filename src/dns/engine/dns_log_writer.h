// A log file written by a thread of its own, so no engine thread ever waits on the disk. At a
// size limit the file is renamed with a time stamp ("<dir>/<base>-YYYYMMDD-hhmmss<ext>", "-N"
// before the extension when that name is taken), compressed with zlib into "<that>.gz", and only
// the newest few of those are kept. The engine's own log and the audit log both use it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zc::dns {

// Lines waiting for the writer; beyond this new lines are dropped (and counted).
inline constexpr size_t kMaxLogBacklog = 4096;

class LogFileWriter {
 public:
  LogFileWriter() = default;
  virtual ~LogFileWriter() { Close(); }
  LogFileWriter(const LogFileWriter&) = delete;
  LogFileWriter& operator=(const LogFileWriter&) = delete;

  // real_path is already mapped under the root. max_size 0: never rotate; max_files: rotated
  // files kept. False (errno set) when the file cannot be opened as a regular file of ours.
  bool Open(const std::string& real_path, int64_t max_size, int max_files);
  // Writes what is queued, then stops the writer.
  void Close();
  // Queues one line (without its newline). Any thread; never waits on the disk.
  void Write(std::string line);
  // Waits until every line queued before the call is in the file (tests).
  void Flush();
  uint64_t dropped() const;

  // Name of the rotated file (before compression).
  static std::string RotatedName(const std::string& path, time_t when);
  // The rotated files of a log, oldest first.
  static std::vector<std::string> RotatedFiles(const std::string& path);
  // Compresses `from` into `to` (created new, 0600, never through a link). False on failure,
  // with nothing left at `to`.
  static bool Compress(const std::string& from, const std::string& to);

 private:
  void Run();
  void Rotate();
  void Prune();

  std::string path_;
  int64_t max_size_ = 0;
  int max_files_ = 0;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::condition_variable flushed_cv_;
  std::deque<std::string> queue_;
  uint64_t queued_total_ = 0;
  uint64_t written_total_ = 0;
  bool stop_ = false;
  uint64_t dropped_ = 0;
  std::thread thread_;
};

}  // namespace zc::dns
