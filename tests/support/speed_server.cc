#include "support/speed_server.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace zctest {

namespace {
constexpr size_t kChunk = 16 * 1024;
constexpr int kReceiveBuffer = 16 * 1024;

bool SendAll(int fd, const char* data, size_t n) {
  while (n > 0) {
    ssize_t k = send(fd, data, n, MSG_NOSIGNAL);
    if (k <= 0) return false;
    data += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}
}  // namespace

SpeedServer::SpeedServer(uint64_t bytesPerSecond, Stall stall)
    : rate_(bytesPerSecond), stall_(stall) {
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  // Small receive buffers when throttled: what the client counts as sent is close to what was
  // taken.
  int receiveBuffer = kReceiveBuffer;
  if (rate_ > 0) setsockopt(listenFd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      listen(listenFd_, 64) != 0 ||
      getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    close(listenFd_);
    listenFd_ = -1;
    return;
  }
  port_ = ntohs(a.sin_port);
  acceptor_ = std::thread([this] {
    while (!stop_.load()) {
      pollfd p{listenFd_, POLLIN, 0};
      if (poll(&p, 1, 50) != 1) continue;
      int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::lock_guard lock(mutex_);
      fds_.push_back(fd);
      workers_.emplace_back([this, fd] { Serve(fd); });
    }
  });
}

SpeedServer::~SpeedServer() {
  stop_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  {
    std::lock_guard lock(mutex_);
    for (int fd : fds_) shutdown(fd, SHUT_RDWR);
  }
  for (std::thread& t : workers_) t.join();
  for (int fd : fds_) close(fd);
  if (listenFd_ >= 0) close(listenFd_);
}

void SpeedServer::Pace(uint64_t n) {
  if (rate_ == 0) return;
  std::chrono::steady_clock::time_point due;
  {
    std::lock_guard lock(paceMutex_);
    if (!paceStarted_) {
      paceStarted_ = true;
      paceStart_ = std::chrono::steady_clock::now();
      paced_ = 0;
    }
    paced_ += n;
    due = paceStart_ + std::chrono::nanoseconds(static_cast<int64_t>(
                           static_cast<double>(paced_) / static_cast<double>(rate_) * 1e9));
  }
  std::this_thread::sleep_until(due);
}

void SpeedServer::Serve(int fd) {
  auto wait = [&](short events) {
    while (!stop_.load()) {
      pollfd p{fd, events, 0};
      int r = poll(&p, 1, 50);
      if (r == 1) return true;
      if (r < 0) return false;
    }
    return false;
  };
  if (stall_ == Stall::kAll) {
    while (wait(0)) {
    }
    return;
  }
  std::string head;
  char buffer[kChunk];
  size_t end;
  while ((end = head.find("\r\n\r\n")) == std::string::npos) {
    if (!wait(POLLIN)) return;
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return;
    head.append(buffer, static_cast<size_t>(n));
  }
  size_t bodyStart = end + 4;
  if (head.rfind("GET /ping", 0) == 0) {
    ++pings_;
    const char answer[] = "HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nok\n";
    SendAll(fd, answer, sizeof answer - 1);
    shutdown(fd, SHUT_WR);
    return;
  }
  bool upload = head.rfind("POST /up", 0) == 0;
  bool download = head.rfind("GET /down", 0) == 0;
  if (!upload && !download) {
    const char answer[] = "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n";
    SendAll(fd, answer, sizeof answer - 1);
    shutdown(fd, SHUT_WR);
    return;
  }
  if (upload && stall_ == Stall::kUpload) {
    while (wait(0)) {
    }
    return;
  }
  {
    std::lock_guard lock(paceMutex_);
    ++transfers_;
  }
  if (download) {
    const char answer[] = "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n";
    if (SendAll(fd, answer, sizeof answer - 1)) {
      static const char zeros[kChunk] = {};
      while (!stop_.load()) {
        Pace(kChunk);
        if (!SendAll(fd, zeros, kChunk)) break;
      }
    }
  } else {
    uint64_t length = 0;
    size_t at = head.find("Content-Length: ");
    if (at != std::string::npos) length = strtoull(head.c_str() + at + 16, nullptr, 10);
    uint64_t got = head.size() - bodyStart;
    Pace(got);
    while (got < length && wait(POLLIN)) {
      ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      got += static_cast<uint64_t>(n);
      Pace(static_cast<uint64_t>(n));
    }
    const char answer[] = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";
    SendAll(fd, answer, sizeof answer - 1);
    shutdown(fd, SHUT_WR);
  }
  std::lock_guard lock(paceMutex_);
  if (--transfers_ == 0) paceStarted_ = false;  // the next phase starts its own pacing
}

}  // namespace zctest
