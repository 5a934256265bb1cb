#include "utils/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace zc {
namespace {

int WriteAll(int fd, std::string_view text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace

int AppendToFile(const std::string& path, std::string_view text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return -1;
  int rc = WriteAll(fd, text);
  if (close(fd) != 0) rc = -1;
  return rc;
}

int AppendLine(const std::string& path, std::string_view line) {
  std::string text(line);
  text.push_back('\n');
  return AppendToFile(path, text);
}

int WriteFileAtomic(const std::string& path, std::string_view content) {
  std::string tmp = path + ".XXXXXX";
  int fd = mkstemp(tmp.data());
  if (fd < 0) return -1;
  int rc = WriteAll(fd, content);
  if (rc == 0 && fchmod(fd, 0644) != 0) rc = -1;
  if (close(fd) != 0) rc = -1;
  if (rc == 0 && rename(tmp.c_str(), path.c_str()) != 0) rc = -1;
  if (rc != 0) unlink(tmp.c_str());
  return rc;
}

int ResetOomAdj() {
  int fd = open("/proc/self/oom_adj", O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return -1;
  bool written = write(fd, "0\n", 2) == 2;
  return close(fd) == 0 && written ? 0 : -1;
}

int TruncateFile(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return -1;
  return close(fd) == 0 ? 0 : -1;
}

long CountLines(const std::string& path) {
  FILE* f = fopen(path.c_str(), "re");
  if (!f) return -1;
  long lines = 0;
  int c, last = '\n';
  while ((c = fgetc(f)) != EOF) {
    if (c == '\n') ++lines;
    last = c;
  }
  if (last != '\n') ++lines;
  fclose(f);
  return lines;
}

void TrimLogFile(const std::string& path, int maxLines) {
  long lines = CountLines(path);
  if (lines > maxLines) (void)TruncateFile(path);
}

std::optional<std::string> ReadFile(const std::string& path, size_t maxBytes) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string data;
  char buf[4096];
  while (data.size() < maxBytes) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  if (data.size() > maxBytes) data.resize(maxBytes);
  return data;
}

std::optional<std::string> ReadFirstLine(const std::string& path, size_t maxChars) {
  auto data = ReadFile(path, maxChars + 1);
  if (!data) return std::nullopt;
  auto nl = data->find('\n');
  if (nl != std::string::npos) data->resize(nl);
  if (data->size() > maxChars) data->resize(maxChars);
  return data;
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

int RemoveFile(const std::string& path) {
  if (unlink(path.c_str()) == 0 || errno == ENOENT) return 0;
  return -1;
}

int MakeParentDirs(const std::string& path) {
  for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
    std::string dir = path.substr(0, pos);
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return -1;
  }
  return 0;
}

}  // namespace zc
