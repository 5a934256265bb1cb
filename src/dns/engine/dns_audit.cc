#include "dns/engine/dns_audit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "dns/common/dns_handles.h"
#include "utils/exec.h"
#include "utils/files.h"
#include "utils/log.h"

namespace zc::dns {

namespace {

constexpr std::chrono::seconds kCompressTimeout{60};

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

}  // namespace

std::string AuditLog::FormatLine(const std::string& client, const std::string& domain,
                                 long elapsed_ms, int qtype, const std::string& result) {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  struct tm tmv {};
  time_t secs = tv.tv_sec;
  localtime_r(&secs, &tmv);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "[%.4d-%.2d-%.2d %.2d:%.2d:%.2d,%.3d]", tmv.tm_year + 1900,
                tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec,
                static_cast<int>(tv.tv_usec / 1000));
  std::string line = stamp;
  line += " " + client + " query " + domain + ", time " + std::to_string(elapsed_ms) + "ms, type " +
          std::to_string(qtype) + ", result " + result;
  return line;
}

std::string AuditLog::RotatedName(const std::string& path, time_t when) {
  PathParts p = Split(path);
  struct tm tmv {};
  localtime_r(&when, &tmv);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%.4d%.2d%.2d-%.2d%.2d%.2d", tmv.tm_year + 1900,
                tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
  std::string name = p.dir + "/" + p.base + "-" + stamp + p.ext;
  for (int n = 1; access(name.c_str(), F_OK) == 0 || access((name + ".gz").c_str(), F_OK) == 0;
       n++) {
    name = p.dir + "/" + p.base + "-" + stamp + "-" + std::to_string(n) + p.ext;
  }
  return name;
}

bool AuditLog::Open(const std::string& real_path, int64_t max_size, int max_files) {
  Close();
  path_ = real_path;
  max_size_ = max_size;
  max_files_ = max_files;
  zc::MakeParentDirs(path_);
  if (!OpenForAppend(path_).valid()) {
    LogOut(LL_ERR, "AuditLog::Open: %s: %s", path_.c_str(), std::strerror(errno));
    LogOut(LL_ERR, "init audit failed.");
    return false;
  }
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void AuditLog::Close() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  cv_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void AuditLog::Write(std::string line) {
  {
    std::lock_guard lock(mutex_);
    if (!thread_.joinable() || stop_) return;
    if (queue_.size() >= kMaxAuditBacklog) {
      dropped_++;
      return;
    }
    queue_.push_back(std::move(line));
  }
  cv_.notify_one();
}

void AuditLog::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (queue_.empty() && stop_) return;
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
  }
}

void AuditLog::Rotate() {
  std::string rotated = RotatedName(path_, time(nullptr));
  if (std::rename(path_.c_str(), rotated.c_str()) != 0) {
    LogOut(LL_ERR, "%s: rename %s failed: %s", __func__, path_.c_str(), std::strerror(errno));
    return;
  }
  // Compressed by argument list, so no file name ever reaches a shell.
  ExecResult r = RunArgv({"gzip", "-1", rotated}, kCompressTimeout);
  if (r.status != 0) LogOut(LL_WARN, "%s: gzip -1 %s failed", __func__, rotated.c_str());
  Prune();
}

void AuditLog::Prune() {
  PathParts p = Split(path_);
  std::vector<std::string> old;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(p.dir, ec)) {
    std::string name = entry.path().filename().string();
    if (name.rfind(p.base + "-", 0) == 0 && name != p.base + p.ext) old.push_back(entry.path());
  }
  // Oldest first: by modification time, then by name.
  std::sort(old.begin(), old.end(), [](const std::string& a, const std::string& b) {
    std::error_code e1, e2;
    auto ta = std::filesystem::last_write_time(a, e1);
    auto tb = std::filesystem::last_write_time(b, e2);
    return ta != tb ? ta < tb : a < b;
  });
  while (static_cast<int>(old.size()) > max_files_) {
    std::filesystem::remove(old.front(), ec);
    old.erase(old.begin());
  }
}

}  // namespace zc::dns
