#include "utils/netprobe.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "utils/endpoints.h"
#include "utils/log.h"
#include "utils/timescale.h"

namespace {

constexpr char kProbeRequest[] = "GET /index.html HTTP/1.1\r\n\r\n";  // sent with its NUL
constexpr size_t kProbeReplyMax = 256;

// Waits for the socket to become ready for the given events within the deadline.
bool WaitReady(int fd, short events, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd pfd{fd, events, 0};
    int r = poll(&pfd, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    return r > 0;
  }
}

int Fail(int fd, const char* what) {
  LogOut(LL_ERR, "%s: Error %s", "is_internet_online", what);
  if (fd >= 0) close(fd);
  return -1;
}

}  // namespace

int is_internet_online() {
  std::string host = zc::InternetProbeHost();
  std::string port = std::to_string(zc::InternetProbePort());
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int gai = getaddrinfo(host.c_str(), port.c_str(), &hints, &res);
  if (gai != 0 || !res) {
    LogOut(LL_ERR, "%s: unable to resolve %s: %s", "is_internet_online", host.c_str(),
           gai_strerror(gai));
    return -1;
  }
  int fd = socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    freeaddrinfo(res);
    return Fail(-1, "socket()");
  }
  int one = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
    freeaddrinfo(res);
    return Fail(fd, "setsockopt()");
  }
  auto deadline = std::chrono::steady_clock::now() + zc::Scaled(kInternetProbeTimeout);
  int rc = connect(fd, res->ai_addr, res->ai_addrlen);
  freeaddrinfo(res);
  if (rc != 0) {
    int err = errno;
    socklen_t len = sizeof err;
    if (err != EINPROGRESS || !WaitReady(fd, POLLOUT, deadline) ||
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
      return Fail(fd, "connect()");
    }
  }
  ssize_t sent = send(fd, kProbeRequest, sizeof kProbeRequest, MSG_NOSIGNAL);
  if (sent < static_cast<ssize_t>(sizeof kProbeRequest - 1)) return Fail(fd, "write()");
  shutdown(fd, SHUT_WR);
  char reply[kProbeReplyMax];
  if (!WaitReady(fd, POLLIN, deadline)) return Fail(fd, "read()");
  ssize_t n = recv(fd, reply, sizeof reply, 0);
  if (n < 0) return Fail(fd, "read()");
  close(fd);
  LogOut(LL_DEBUG, "%s: internet connection Ok", "is_internet_online");
  return 0;
}
