// The engine (zuncore-dns, its own process) against a silent upstream and hostile LAN hosts:
// queued upstream sends never reach another socket, and clients that vanish with replies pending
// cost no CPU.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "dns_peers/peer_support.h"

namespace dnspeer {
namespace {

using Clock = std::chrono::steady_clock;

std::string EngineProgram() {
  return BuildDir() + "/src/dns/standalone/zuncore-dns";
}

// A UDP socket bound to a free port that never reads: an upstream that has gone silent.
class SilentUpstream {
 public:
  SilentUpstream() {
    port_ = FreePort();
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port_);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~SilentUpstream() { close(fd_); }
  bool ok() const { return bound_; }
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  bool bound_ = false;
};

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return to;
}

class DnsHostile : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InPrivateNetwork()) GTEST_SKIP() << "no private network namespace";
    struct stat st {};
    if (stat(EngineProgram().c_str(), &st) != 0) GTEST_SKIP() << "zuncore-dns is not built";
    port_ = FreePort();
  }
  void TearDown() override {
    engine_.Stop();
    unsetenv("ZUNCORE_TIME_SCALE");
  }

  // Starts zuncore-dns with UDP and TCP listeners on port_ plus `more`.
  bool StartEngine(const std::string& more) {
    std::string p = std::to_string(port_);
    root_.Write("/tmp/zundns.conf", "bind 127.0.0.1:" + p + "\nbind-tcp 127.0.0.1:" + p +
                                        "\nspeed-check-mode none\nlog-level warn\n" + more);
    log_ = root_("/engine.log");
    if (!engine_.Start({EngineProgram()}, log_)) return false;
    return WaitForDns("127.0.0.1", port_, "ready.local.test", 10s);
  }
  std::string Log() const {
    std::ifstream in(log_);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  zctest::TempRoot root_;
  Process engine_;
  std::string log_;
  uint16_t port_ = 0;
};

// A WAN outage under load: every query goes out again and again on fresh source ports while LAN
// hosts keep connecting over TCP. Not one upstream datagram may land on a LAN connection, and no
// queued send may find its descriptor closed.
TEST_F(DnsHostile, SilentUpstreamNeverLeaksQueriesToLanConnections) {
  SilentUpstream upstream;
  ASSERT_TRUE(upstream.ok());
  // Three more TCP listeners: room for 256 LAN connections (64 each) before any is evicted.
  std::string more =
      "server 127.0.0.1:" + std::to_string(upstream.port()) + "\naddress /local.test/192.0.2.7\n";
  std::vector<uint16_t> tcp_ports = {port_};
  for (int i = 0; i < 3; i++) {
    tcp_ports.push_back(FreePort());
    more += "bind-tcp 127.0.0.1:" + std::to_string(tcp_ports.back()) + "\n";
  }
  ASSERT_TRUE(StartEngine(more));

  constexpr auto kStorm = 4s;
  constexpr int kQueriesPerSecond = 1500;
  std::atomic<bool> stop{false};
  std::atomic<long> leaked_bytes{0}, connections{0};

  // LAN hosts: connect, send nothing, and watch every connection for a single byte. Connections
  // the engine evicts (64 per listener) end with EOF and are replaced.
  std::thread lan([&] {
    std::vector<pollfd> open;
    size_t next_port = 0;
    while (!stop) {
      if (open.size() < 400) {
        int fd = ConnectTcp("127.0.0.1", tcp_ports[next_port++ % tcp_ports.size()]);
        if (fd >= 0) {
          open.push_back({fd, POLLIN, 0});
          connections++;
        }
      }
      if (poll(open.data(), open.size(), open.size() < 400 ? 0 : 5) <= 0) continue;
      for (size_t i = 0; i < open.size();) {
        if (open[i].revents == 0) {
          i++;
          continue;
        }
        uint8_t buf[512];
        ssize_t n = recv(open[i].fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
          leaked_bytes += n;
          i++;
          continue;
        }
        if (n < 0 && errno == EAGAIN) {
          i++;
          continue;
        }
        close(open[i].fd);  // evicted by the engine
        open[i] = open.back();
        open.pop_back();
      }
    }
    for (pollfd& p : open) close(p.fd);
  });

  // Unique names at a steady rate; answers (SERVFAIL, late) are read and dropped.
  int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in to = Loopback(port_);
  auto start = Clock::now();
  long sent = 0;
  while (Clock::now() - start < kStorm) {
    long due = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count() *
               kQueriesPerSecond / 1000;
    for (; sent < due; sent++) {
      QueryOptions o;
      o.id = static_cast<uint16_t>(sent);
      auto q = BuildQuery("n" + std::to_string(sent) + ".outage.example", DNS_T_A, o);
      sendto(udp, q.data(), q.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    uint8_t buf[512];
    while (recv(udp, buf, sizeof buf, 0) > 0) {
    }
    std::this_thread::sleep_for(2ms);
  }
  // The last queries' retries are still going out: keep watching until they are over.
  std::this_thread::sleep_for(3s);
  stop = true;
  lan.join();
  close(udp);

  EXPECT_GT(connections.load(), 256);
  EXPECT_EQ(leaked_bytes.load(), 0) << "upstream queries reached LAN TCP connections";
  std::string log = Log();
  EXPECT_EQ(log.find("Bad file descriptor"), std::string::npos) << log.substr(0, 4000);
  // The engine is still there and answers what it can answer itself.
  EXPECT_EQ(QueryUdp("127.0.0.1", port_, "after.local.test", DNS_T_A).a,
            std::vector<std::string>{"192.0.2.7"});
}

}  // namespace
}  // namespace dnspeer
