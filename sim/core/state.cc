#include "core/state.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "core/simroot.h"

namespace zsim {
namespace {

thread_local int tLockDepth = 0;
thread_local int tLockFd = -1;

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string ParentOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

}  // namespace

StateLock::StateLock() {
  if (tLockDepth++ > 0) return;
  std::string path = StatePath(".lock");
  MakeDirs(ParentOf(path));
  tLockFd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (tLockFd >= 0) {
    while (flock(tLockFd, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
}

StateLock::~StateLock() {
  if (--tLockDepth > 0) return;
  if (tLockFd >= 0) {
    flock(tLockFd, LOCK_UN);
    close(tLockFd);
    tLockFd = -1;
  }
}

std::string StatePath(const std::string& name) {
  return P("/sim/state/" + name);
}

std::optional<std::string> ReadText(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buf[8192];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return text;
}

bool WriteText(const std::string& path, const std::string& content) {
  MakeDirs(ParentOf(path));
  std::string tmp = path + ".XXXXXX";
  int fd = mkstemp(tmp.data());
  if (fd < 0) return false;
  bool ok = WriteAll(fd, content) && fchmod(fd, 0644) == 0;
  ok = close(fd) == 0 && ok;
  if (ok && rename(tmp.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) unlink(tmp.c_str());
  return ok;
}

bool AppendText(const std::string& path, const std::string& content) {
  MakeDirs(ParentOf(path));
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, content);
  return close(fd) == 0 && ok;
}

bool MakeDirs(const std::string& path) {
  if (path.empty()) return true;
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  MakeDirs(ParentOf(path));
  return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> ListDir(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (!dir) return names;
  while (dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

void RemoveTree(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    for (const auto& name : ListDir(path)) RemoveTree(path + "/" + name);
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

KvMap ParseKv(const std::string& text) {
  KvMap kv;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    kv[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return kv;
}

std::string FormatKv(const KvMap& kv) {
  std::string text;
  for (const auto& [k, v] : kv) text.append(k).append("=").append(v).append("\n");
  return text;
}

KvMap ReadKv(const std::string& path) {
  auto text = ReadText(path);
  return text ? ParseKv(*text) : KvMap{};
}

bool WriteKv(const std::string& path, const KvMap& kv) {
  return WriteText(path, FormatKv(kv));
}

bool ValidValue(const std::string& value) {
  return value.find('\n') == std::string::npos && value.find('\0') == std::string::npos;
}

std::string Knob(const std::string& name, const std::string& fallback) {
  KvMap kv = ReadKv(StatePath("knobs"));
  auto it = kv.find(name);
  return it == kv.end() ? fallback : it->second;
}

long KnobInt(const std::string& name, long fallback) {
  std::string v = Knob(name);
  if (v.empty()) return fallback;
  char* end = nullptr;
  long n = std::strtol(v.c_str(), &end, 0);
  return end && *end == '\0' ? n : fallback;
}

bool SetKnob(const std::string& name, const std::string& value) {
  StateLock lock;
  KvMap kv = ReadKv(StatePath("knobs"));
  kv[name] = value;
  return WriteKv(StatePath("knobs"), kv);
}

bool ConsumeFailure(const std::string& point, int* errnoOut) {
  std::string path = StatePath("fail");
  if (!Exists(path)) return false;
  StateLock lock;
  auto text = ReadText(path);
  if (!text) return false;
  std::istringstream in(*text);
  std::string line, kept;
  bool fired = false;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string name;
    long count = 0;
    int err = 0;
    if (!(fields >> name)) continue;
    fields >> count >> err;
    if (!fired && name == point) {
      fired = true;
      if (errnoOut) *errnoOut = err;
      if (count == 0) {
        kept += line + "\n";
      } else if (count > 1) {
        kept += name + " " + std::to_string(count - 1) + " " + std::to_string(err) + "\n";
      }
      continue;
    }
    kept += line + "\n";
  }
  if (fired) WriteText(path, kept);
  return fired;
}

bool AddFailure(const std::string& point, int times, int err) {
  StateLock lock;
  return AppendText(StatePath("fail"),
                    point + " " + std::to_string(times) + " " + std::to_string(err) + "\n");
}

bool ClearFailures() {
  StateLock lock;
  return WriteText(StatePath("fail"), "");
}

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

double TimeScale() {
  const char* env = std::getenv("ZUNCORE_TIME_SCALE");
  if (!env || !*env) return 1.0;
  double s = std::strtod(env, nullptr);
  return s > 0 ? s : 1.0;
}

void SleepRouterMs(long ms) {
  if (ms <= 0) return;
  long scaled = static_cast<long>(static_cast<double>(ms) * TimeScale());
  std::this_thread::sleep_for(std::chrono::milliseconds(std::max(1L, scaled)));
}

}  // namespace zsim
