#include "utils/ports.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <set>

namespace zc {
namespace {

constexpr int kPortAttempts = 50;

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

}  // namespace

int FreeLoopbackPort() {
  static std::mutex mutex;
  static std::set<int> given;
  std::lock_guard lock(mutex);
  for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
    int tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    bool bound = tcp >= 0 && bind(tcp, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                 getsockname(tcp, reinterpret_cast<sockaddr*>(&a), &len) == 0;
    int udp = bound ? socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0) : -1;
    bool ok = udp >= 0 && bind(udp, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (udp >= 0) close(udp);
    if (tcp >= 0) close(tcp);
    int port = ntohs(a.sin_port);
    if (ok && given.insert(port).second) return port;
  }
  return -1;
}

}  // namespace zc
