#include "dns_prober/prober_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/icmp.h>
#include <netinet/icmp6.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <queue>

#include "dns/prober/probe_packets.h"
#include "dns/prober/probe_sockets.h"
#include "support/netns.h"
#include "utils/exec.h"

namespace probertest {

namespace {

bool gInNetwork = false;

bool WriteFile(const char* path, const std::string& text) {
  int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

using Clock = std::chrono::steady_clock;

}  // namespace

bool RunCommand(const std::vector<std::string>& argv) {
  return ::RunArgv(argv).status == 0;
}

std::string EnterTestNetwork() {
  if (std::string failure = zctest::EnterLoopbackNetwork(); !failure.empty()) return failure;
  std::vector<std::vector<std::string>> steps = {
      {"ip", "addr", "add", "192.0.2.10/32", "dev", "lo"},
      {"ip", "addr", "add", "192.0.2.11/32", "dev", "lo"},
      {"ip", "addr", "add", "192.0.2.12/32", "dev", "lo"},
      {"ip", "addr", "add", "192.0.2.13/32", "dev", "lo"},
      {"ip", "-6", "addr", "add", "2001:db8::10/128", "dev", "lo", "nodad"},
      {"ip", "-6", "addr", "add", "2001:db8::11/128", "dev", "lo", "nodad"},
      {"ip", "link", "add", "pv0", "type", "veth", "peer", "name", "pv1"},
      {"ip", "link", "set", "pv0", "up"},
      {"ip", "link", "set", "pv1", "up"},
      {"ip", "addr", "add", "10.77.0.1/24", "dev", "pv0"},
      {"ip", "neigh", "replace", "10.77.0.2", "lladdr", "02:00:00:00:77:02", "dev", "pv0", "nud",
       "permanent"},
  };
  for (const auto& step : steps) {
    if (!RunCommand(step)) return "step failed: " + step[0] + " " + step[1] + " " + step[2];
  }
  // Echoes are answered by the test's responder only; our own group may use datagram ICMP.
  if (!WriteFile("/proc/sys/net/ipv4/icmp_echo_ignore_all", "1") ||
      !WriteFile("/proc/sys/net/ipv6/icmp/echo_ignore_all", "1") ||
      !WriteFile("/proc/sys/net/ipv4/ping_group_range", "0 0")) {
    return "sysctl failed";
  }
  gInNetwork = true;
  return {};
}

bool InTestNetwork() {
  return gInNetwork;
}

// --- EchoResponder ------------------------------------------------------------------------------

bool EchoResponder::Start(const std::map<std::string, EchoBehaviour>& behaviour) {
  for (const auto& [addr, b] : behaviour) {
    sockaddr_storage local{};
    socklen_t len = 0;
    if (!zc::dns::ParsePeer(addr, 0, &local, &len)) return false;
    int family = local.ss_family;
    int fd = family == AF_INET ? socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP)
                               : socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&local), len) != 0) return false;
    if (family == AF_INET) {
      icmp_filter filter{~(1u << zc::dns::kIcmp4EchoRequest)};
      setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
    } else {
      icmp6_filter filter;
      ICMP6_FILTER_SETBLOCKALL(&filter);
      ICMP6_FILTER_SETPASS(zc::dns::kIcmp6EchoRequest, &filter);
      setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter);
    }
    fds_.push_back(fd);
    families_.push_back(family);
    behaviour_.push_back(b);
  }
  wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  thread_ = std::thread([this] { Loop(); });
  return true;
}

void EchoResponder::Stop() {
  stop_ = true;
  if (thread_.joinable()) {
    uint64_t one = 1;
    if (write(wake_, &one, sizeof one) < 0) perror("EchoResponder wake");
    thread_.join();
  }
  for (int fd : fds_) close(fd);
  fds_.clear();
  if (wake_ >= 0) close(wake_);
  wake_ = -1;
}

void EchoResponder::Loop() {
  struct Pending {
    Clock::time_point due;
    size_t socket;
    std::vector<uint8_t> message;
    sockaddr_storage to;
    socklen_t to_len;
    bool operator>(const Pending& o) const { return due > o.due; }
  };
  std::priority_queue<Pending, std::vector<Pending>, std::greater<>> queue;
  while (!stop_) {
    std::vector<pollfd> polls;
    for (int fd : fds_) polls.push_back({fd, POLLIN, 0});
    polls.push_back({wake_, POLLIN, 0});
    int wait = -1;
    if (!queue.empty()) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(queue.top().due - Clock::now());
      wait = static_cast<int>(std::max<long long>(0, left.count()));
    }
    poll(polls.data(), polls.size(), wait);
    for (size_t i = 0; i < fds_.size(); i++) {
      if (!(polls[i].revents & POLLIN)) continue;
      uint8_t buf[1500];
      sockaddr_storage from{};
      socklen_t from_len = sizeof from;
      ssize_t n = recvfrom(fds_[i], buf, sizeof buf, MSG_DONTWAIT,
                           reinterpret_cast<sockaddr*>(&from), &from_len);
      if (n <= 0) continue;
      size_t offset = families_[i] == AF_INET ? static_cast<size_t>(buf[0] & 0x0F) * 4 : 0;
      if (static_cast<size_t>(n) < offset + zc::dns::kIcmpHeaderLength) continue;
      std::vector<uint8_t> msg(buf + offset, buf + n);
      uint8_t want =
          families_[i] == AF_INET ? zc::dns::kIcmp4EchoRequest : zc::dns::kIcmp6EchoRequest;
      if (msg[0] != want) continue;
      requests_++;
      msg[0] = families_[i] == AF_INET ? zc::dns::kIcmp4EchoReply : zc::dns::kIcmp6EchoReply;
      if (behaviour_[i].corrupt && msg.size() > 9) msg[9] ^= 0xFF;
      if (families_[i] == AF_INET) {
        msg[2] = msg[3] = 0;
        uint16_t sum = zc::dns::InternetChecksum(msg.data(), msg.size());
        msg[2] = static_cast<uint8_t>(sum >> 8);
        msg[3] = static_cast<uint8_t>(sum);
      } else {
        msg[2] = msg[3] = 0;  // the kernel fills in the ICMPv6 checksum
      }
      queue.push({Clock::now() + behaviour_[i].delay, i, std::move(msg), from, from_len});
    }
    if (polls.back().revents & POLLIN) {
      uint64_t count;
      if (read(wake_, &count, sizeof count) < 0) continue;
    }
    while (!queue.empty() && queue.top().due <= Clock::now()) {
      const Pending& p = queue.top();
      sendto(fds_[p.socket], p.message.data(), p.message.size(), 0,
             reinterpret_cast<const sockaddr*>(&p.to), p.to_len);
      queue.pop();
    }
  }
}

// --- Listener -----------------------------------------------------------------------------------

Listener::~Listener() {
  stop_ = true;
  if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
  if (thread_.joinable()) thread_.join();
  if (fd_ >= 0) close(fd_);
}

namespace {

int BoundSocket(const std::string& addr, uint16_t port, int type, uint16_t* bound) {
  sockaddr_storage local{};
  socklen_t len = 0;
  if (!zc::dns::ParsePeer(addr, port, &local, &len)) return -1;
  int fd = socket(local.ss_family, type | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&local), len) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);
  *bound = zc::dns::PortOf(local);
  return fd;
}

}  // namespace

bool Listener::Tcp(const std::string& addr, uint16_t port) {
  fd_ = BoundSocket(addr, port, SOCK_STREAM, &port_);
  if (fd_ < 0 || listen(fd_, 64) != 0) return false;
  thread_ = std::thread([this] {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (c >= 0) close(c);
    }
  });
  return true;
}

bool Listener::UdpEcho(const std::string& addr, uint16_t port) {
  fd_ = BoundSocket(addr, port, SOCK_DGRAM, &port_);
  if (fd_ < 0) return false;
  thread_ = std::thread([this] {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      uint8_t buf[512];
      sockaddr_storage from{};
      socklen_t len = sizeof from;
      ssize_t n =
          recvfrom(fd_, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
      if (n > 0) sendto(fd_, buf, n, 0, reinterpret_cast<sockaddr*>(&from), len);
    }
  });
  return true;
}

uint16_t ClosedPort(const std::string& addr) {
  uint16_t port = 0;
  int fd = BoundSocket(addr, 0, SOCK_STREAM, &port);
  if (fd >= 0) close(fd);
  return port;
}

// --- Recorder -----------------------------------------------------------------------------------

zc::dns::PingCallback Recorder::Callback() {
  return [this](const zc::dns::PingResult& r) {
    std::lock_guard lock(mutex_);
    events_[r.handle].push_back(r);
    cv_.notify_all();
  };
}

std::vector<zc::dns::PingResult> Recorder::WaitEnd(uint64_t handle,
                                                   std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  cv_.wait_for(lock, timeout, [&] {
    auto it = events_.find(handle);
    return it != events_.end() && it->second.back().event == zc::dns::PingEvent::kEnd;
  });
  return events_[handle];
}

size_t Recorder::total() const {
  std::lock_guard lock(mutex_);
  size_t n = 0;
  for (const auto& [h, v] : events_) n += v.size();
  return n;
}

zc::dns::PingRequest Request(zc::dns::ProbeKind kind, const std::string& addr, uint16_t port,
                             std::chrono::milliseconds timeout, zc::dns::PingCallback cb) {
  zc::dns::PingRequest r;
  r.kind = kind;
  zc::dns::ParsePeer(addr, port, &r.peer, &r.peer_len);
  r.timeout = timeout;
  r.callback = std::move(cb);
  return r;
}

}  // namespace probertest
