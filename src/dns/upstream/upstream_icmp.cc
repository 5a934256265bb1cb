// ICMP errors for upstream UDP queries: a server whose port is closed answers "port
// unreachable", a router on the way "host/network unreachable". The UDP ports ask the kernel to
// queue those errors with the datagram they refer to (IP_RECVERR), so the query they belong to
// ends at once instead of after every retry has timed out.
#include <errno.h>
#include <time.h>  // before errqueue.h, which needs struct timespec
// clang-format off
#include <linux/errqueue.h>
// clang-format on
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>

#include <algorithm>

#include "dns/upstream/upstream_worker_internal.h"
#include "utils/log.h"

namespace zc::dns {
namespace {

// Errors that say the server cannot be reached at this address now; anything else (a local
// EMSGSIZE, say) leaves the query to its retries.
bool ServerUnreachable(int error) {
  switch (error) {
    case ECONNREFUSED:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EHOSTDOWN:
    case ENONET:
    case EACCES:
    case EPERM:
      return true;
    default:
      return false;
  }
}

}  // namespace

bool EnableIcmpErrors(int fd, int family) {
  int on = 1;
  if (family == AF_INET6) {
    return setsockopt(fd, IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on) == 0;
  }
  return setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on) == 0;
}

void UpstreamWorker::OnUdpErrors(Server& server, const UniqueFd& udp, uint64_t tag,
                                 Clock::time_point now) {
  struct Failure {
    int id;  // upstream message ID, or -1 when the error quoted too little of the datagram
    int error;
  };
  std::vector<Failure> failures;
  for (int i = 0; i < kMaxIcmpErrorsPerEvent; ++i) {
    uint8_t quoted[16];
    alignas(cmsghdr) char control[256];
    iovec iov{quoted, sizeof quoted};
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n = recvmsg(udp.get(), &message, MSG_ERRQUEUE | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;  // EAGAIN: the queue is empty
    }
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      bool v4 = c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR;
      bool v6 = c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_RECVERR;
      if (!v4 && !v6) continue;
      sock_extended_err error;
      memcpy(&error, CMSG_DATA(c), sizeof error);
      bool from_icmp = error.ee_origin == SO_EE_ORIGIN_ICMP ||
                       error.ee_origin == SO_EE_ORIGIN_ICMP6 ||
                       error.ee_origin == SO_EE_ORIGIN_LOCAL;
      if (!from_icmp || !ServerUnreachable(static_cast<int>(error.ee_errno))) continue;
      int id = n >= 2 ? (quoted[0] << 8 | quoted[1]) : -1;
      failures.push_back({id, static_cast<int>(error.ee_errno)});
    }
  }
  if (failures.empty()) return;
  LogOut(LL_WARN, "server %s unreachable, %s", server.display.c_str(),
         strerror(failures.front().error));
  Prohibit(server, now, strerror(failures.front().error), true);

  // The legs sent through this port that the errors name (all of them when an error quoted no
  // ID) are over for this server; a query with nothing else in flight ends now.
  std::vector<uint16_t> ended;
  auto fail_leg = [&](uint16_t id, Query& query) {
    for (QueryLeg& leg : query.legs) {
      if (leg.server != server.index || leg.state != Leg::kSent) continue;
      if (std::find(leg.udp_ports.begin(), leg.udp_ports.end(), tag) == leg.udp_ports.end()) {
        continue;
      }
      leg.state = Leg::kIdle;
      ReleaseUdpPorts(server, leg);
      bool waiting = std::any_of(query.legs.begin(), query.legs.end(),
                                 [](const QueryLeg& l) { return l.state == Leg::kSent; });
      if (!waiting) ended.push_back(id);
    }
  };
  for (const Failure& failure : failures) {
    if (failure.id >= 0) {
      auto found = queries_.find(static_cast<uint16_t>(failure.id));
      if (found != queries_.end()) fail_leg(found->first, found->second);
    } else {
      for (auto& [id, query] : queries_) fail_leg(id, query);
    }
  }
  for (uint16_t id : ended) {
    auto found = queries_.find(id);
    if (found == queries_.end()) continue;
    if (found->second.answers == 0) found->second.reached_any = false;
    Finish(id);
  }
}

}  // namespace zc::dns
