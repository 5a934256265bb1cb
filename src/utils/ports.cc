#include "utils/ports.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <random>
#include <set>
#include <string>

namespace zc {
namespace {

constexpr int kPortAttempts = 200;
constexpr const char* kLockDirName = "zuncore-ports";

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

bool Bindable(int type, int port) {
  int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in a = Loopback(static_cast<uint16_t>(port));
  bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

std::string LockDir() {
  std::error_code ec;
  std::filesystem::path dir = std::filesystem::temp_directory_path(ec) / kLockDirName;
  if (ec) return {};
  if (std::filesystem::create_directory(dir, ec)) {
    // Every user of the machine shares the ports, so every one may add a reservation.
    std::filesystem::permissions(
        dir, std::filesystem::perms::all | std::filesystem::perms::sticky_bit, ec);
  }
  return std::filesystem::is_directory(dir, ec) ? dir.string() : std::string();
}

// Serialises the pickers of the machine while one looks at and writes reservations.
class DirectoryLock {
 public:
  explicit DirectoryLock(const std::string& dir) {
    if (dir.empty()) return;
    fd_ = open((dir + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ >= 0 && flock(fd_, LOCK_EX) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~DirectoryLock() {
    if (fd_ >= 0) close(fd_);
  }
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

bool Alive(pid_t pid) {
  return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

// A reservation is a file named after the port holding the picker's pid; it lapses when that
// process is gone. No descriptor stays open for it. Called under the directory lock; false when
// a live process holds the port.
bool Reserve(const std::string& dir, int port) {
  std::string file = dir + "/" + std::to_string(port);
  if (FILE* f = fopen(file.c_str(), "re")) {
    long holder = 0;
    bool read = fscanf(f, "%ld", &holder) == 1;
    fclose(f);
    if (read && Alive(static_cast<pid_t>(holder))) return false;
  }
  int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return true;  // another user's file we may not write: the bind check still holds
  std::string pid = std::to_string(getpid()) + "\n";
  // A short write leaves a reservation that names no live process: it lapses, it never blocks.
  [[maybe_unused]] bool written =
      write(fd, pid.data(), pid.size()) == static_cast<ssize_t>(pid.size());
  close(fd);
  return true;
}

}  // namespace

int FreeLoopbackPort() {
  static std::mutex mutex;
  static std::set<int> given;
  static const std::string dir = LockDir();
  std::lock_guard lock(mutex);
  DirectoryLock machine(dir);
  constexpr int span = kReservedPortLast - kReservedPortFirst + 1;
  std::minstd_rand random(std::random_device{}());
  int start = static_cast<int>(random() % span);
  for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
    int port = kReservedPortFirst + (start + attempt * 7919) % span;
    if (given.count(port)) continue;
    if (!Bindable(SOCK_STREAM, port) || !Bindable(SOCK_DGRAM, port)) continue;
    if (machine.held() && !Reserve(dir, port)) continue;
    given.insert(port);
    return port;
  }
  return -1;
}

}  // namespace zc
