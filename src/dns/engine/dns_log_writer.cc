#include "dns/engine/dns_log_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <tuple>

#include "dns/common/dns_handles.h"
#include "utils/files.h"
#include "utils/log.h"

namespace zc::dns {

namespace {

// "gzip -1": fast, and a log compresses well even so.
constexpr const char* kGzipMode = "wb1";
constexpr size_t kCopyChunk = 64 * 1024;

struct PathParts {
  std::string dir;
  std::string base;
  std::string ext;
};

PathParts Split(const std::string& path) {
  PathParts p;
  size_t slash = path.rfind('/');
  p.dir = slash == std::string::npos ? "." : path.substr(0, slash);
  std::string file = slash == std::string::npos ? path : path.substr(slash + 1);
  size_t dot = file.rfind('.');
  if (dot == std::string::npos || dot == 0) {
    p.base = file;
  } else {
    p.base = file.substr(0, dot);
    p.ext = file.substr(dot);
  }
  return p;
}

// Whether `name` is a rotated file of the log split into `p`: base, "-YYYYMMDD-hhmmss", an
// optional "-N", the extension, an optional ".gz". On a match, *stamp and *n order the files.
// Nothing else in the folder matches (another log sharing the base's prefix, say).
bool RotatedOf(const PathParts& p, const std::string& name, std::string* stamp, long* n) {
  std::string rest = name;
  if (rest.size() > 3 && rest.ends_with(".gz")) rest.resize(rest.size() - 3);
  if (!rest.starts_with(p.base + "-") || !rest.ends_with(p.ext)) return false;
  rest = rest.substr(p.base.size() + 1, rest.size() - p.base.size() - 1 - p.ext.size());
  // YYYYMMDD-hhmmss
  if (rest.size() < 15 || rest[8] != '-') return false;
  for (size_t i = 0; i < 15; i++) {
    if (i != 8 && !std::isdigit(static_cast<unsigned char>(rest[i]))) return false;
  }
  *stamp = rest.substr(0, 15);
  *n = 0;
  if (rest.size() == 15) return true;
  if (rest[15] != '-' || rest.size() == 16 || rest.size() > 25) return false;
  for (size_t i = 16; i < rest.size(); i++) {
    if (!std::isdigit(static_cast<unsigned char>(rest[i]))) return false;
  }
  *n = std::stol(rest.substr(16));
  return true;
}

// Opens the log for appending: never through a link, created for the engine alone, and only a
// regular file (a FIFO or a device planted at the path is refused, without waiting on it).
UniqueFd OpenForAppend(const std::string& path) {
  UniqueFd fd(open(path.c_str(),
                   O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  if (!fd.valid()) return fd;
  struct stat st {};
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return UniqueFd();
  }
  return fd;
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

}  // namespace

std::string LogFileWriter::RotatedName(const std::string& path, time_t when) {
  PathParts p = Split(path);
  struct tm tmv {};
  localtime_r(&when, &tmv);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%.4d%.2d%.2d-%.2d%.2d%.2d", tmv.tm_year + 1900,
                tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
  // Within one second the names are numbered past every kept file of that second, so a new
  // file never takes the name (and so the place in the order) of one already pruned.
  long last = -1;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(p.dir, ec)) {
    std::string other;
    long n = 0;
    if (RotatedOf(p, entry.path().filename().string(), &other, &n) && other == stamp) {
      last = std::max(last, n);
    }
  }
  for (long n = last + 1;; n++) {
    std::string candidate =
        p.dir + "/" + p.base + "-" + stamp + (n > 0 ? "-" + std::to_string(n) : "") + p.ext;
    if (!Exists(candidate) && !Exists(candidate + ".gz")) return candidate;
  }
}

std::vector<std::string> LogFileWriter::RotatedFiles(const std::string& path) {
  PathParts p = Split(path);
  std::vector<std::tuple<std::string, long, std::string>> found;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(p.dir, ec)) {
    std::string stamp;
    long n = 0;
    if (RotatedOf(p, entry.path().filename().string(), &stamp, &n)) {
      found.emplace_back(stamp, n, entry.path().string());
    }
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> out;
  for (auto& f : found) out.push_back(std::move(std::get<2>(f)));
  return out;
}

bool LogFileWriter::Compress(const std::string& from, const std::string& to) {
  UniqueFd in(open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!in.valid() || fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (out < 0) return false;
  gzFile gz = gzdopen(out, kGzipMode);  // owns `out` from here, also when it fails
  if (!gz) {
    close(out);
    unlink(to.c_str());
    return false;
  }
  std::vector<char> chunk(kCopyChunk);
  bool ok = true;
  for (;;) {
    ssize_t n = read(in.get(), chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    if (gzwrite(gz, chunk.data(), static_cast<unsigned>(n)) != n) {
      ok = false;
      break;
    }
  }
  if (gzclose(gz) != Z_OK) ok = false;
  if (!ok) unlink(to.c_str());
  return ok;
}

bool LogFileWriter::Open(const std::string& real_path, int64_t max_size, int max_files) {
  Close();
  path_ = real_path;
  max_size_ = max_size;
  max_files_ = max_files;
  zc::MakeParentDirs(path_);
  if (!OpenForAppend(path_).valid()) return false;
  std::lock_guard lock(mutex_);
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void LogFileWriter::Close() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  cv_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void LogFileWriter::Write(std::string line) {
  {
    std::lock_guard lock(mutex_);
    if (!thread_.joinable() || stop_) return;
    if (queue_.size() >= kMaxLogBacklog) {
      dropped_++;
      return;
    }
    queue_.push_back(std::move(line));
    queued_total_++;
  }
  cv_.notify_one();
}

void LogFileWriter::Flush() {
  std::unique_lock lock(mutex_);
  uint64_t target = queued_total_;
  flushed_cv_.wait(lock, [&] { return written_total_ >= target; });
}

uint64_t LogFileWriter::dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

void LogFileWriter::Run() {
  // Lines this thread logs itself (a failed write) must not come back to it.
  LogSetThreadTap(nullptr);
  std::unique_lock lock(mutex_);
  for (;;) {
    cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (queue_.empty() && stop_) break;
    std::deque<std::string> batch;
    batch.swap(queue_);
    lock.unlock();
    std::string text;
    for (const std::string& l : batch) text += l + "\n";
    struct stat st {};
    if (max_size_ > 0 && lstat(path_.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        st.st_size + static_cast<int64_t>(text.size()) > max_size_ && st.st_size > 0) {
      Rotate();
    }
    if (UniqueFd fd = OpenForAppend(path_); fd.valid()) {
      if (!WriteAll(fd.get(), text)) {
        LogOut(LL_ERR, "%s: write to %s failed: %s", __func__, path_.c_str(), std::strerror(errno));
      }
    } else {
      LogOut(LL_ERR, "%s: cannot open %s: %s", __func__, path_.c_str(), std::strerror(errno));
    }
    lock.lock();
    written_total_ += batch.size();
    flushed_cv_.notify_all();
  }
  flushed_cv_.notify_all();
}

void LogFileWriter::Rotate() {
  std::string rotated = RotatedName(path_, time(nullptr));
  if (std::rename(path_.c_str(), rotated.c_str()) != 0) {
    LogOut(LL_ERR, "%s: rename %s failed: %s", __func__, path_.c_str(), std::strerror(errno));
    return;
  }
  // A file that cannot be compressed stays as it is, and still counts towards the limit.
  if (Compress(rotated, rotated + ".gz")) {
    unlink(rotated.c_str());
  } else {
    LogOut(LL_WARN, "%s: compressing %s failed", __func__, rotated.c_str());
  }
  Prune();
}

void LogFileWriter::Prune() {
  std::vector<std::string> old = RotatedFiles(path_);
  std::error_code ec;
  for (size_t i = 0; i + static_cast<size_t>(std::max(max_files_, 0)) < old.size(); i++) {
    std::filesystem::remove(old[i], ec);
  }
}

}  // namespace zc::dns
