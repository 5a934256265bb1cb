// The engine (zuncore-dns, its own process) against a silent upstream and hostile LAN hosts:
// queued upstream sends never reach another socket, and clients that vanish with replies pending
// cost no CPU.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "dns_peers/peer_support.h"
#include "support/requires.h"
#include "utils/timescale.h"

namespace dnspeer {
namespace {

using Clock = std::chrono::steady_clock;

std::string EngineProgram() {
  return BuildDir() + "/src/dns/standalone/zuncore-dns";
}

// CPU time (user + system) of a process, in clock ticks.
long CpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; fields >> field; ++i) {  // field 3 is the state
    if (i == 14) utime = std::stol(field);
    if (i == 15) {
      stime = std::stol(field);
      break;
    }
  }
  return utime + stime;
}

// Time the threads of a process ran or waited to run, in seconds: a thread that never blocks
// counts the whole wall time however busy the machine is, one that mostly waits counts little.
double CpuDemand(pid_t pid) {
  double total = 0;
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator(dir, ec)) {
    std::ifstream in(task.path() / "schedstat");
    uint64_t on_cpu = 0, waiting = 0;
    if (in >> on_cpu >> waiting) total += static_cast<double>(on_cpu + waiting) / 1e9;
  }
  return total;
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

std::vector<uint8_t> Framed(const std::vector<uint8_t>& q) {
  std::vector<uint8_t> out = {static_cast<uint8_t>(q.size() >> 8), static_cast<uint8_t>(q.size())};
  out.insert(out.end(), q.begin(), q.end());
  return out;
}

class DnsHostile : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InPrivateNetwork()) ZC_MISSING() << "no private network namespace";
    struct stat st {};
    if (stat(EngineProgram().c_str(), &st) != 0) ZC_MISSING() << "zuncore-dns is not built";
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

// A LAN host pipelines two queries, shuts its sending side, then resets the connection while the
// answers are still pending: ten such clients a second must not keep the engine busy, and other
// clients still get their answers.
TEST_F(DnsHostile, ResetClientsWithRepliesPendingCostNoCpu) {
  SilentUpstream upstream;  // the answers stay pending until the queries fail
  ASSERT_TRUE(upstream.ok());
  ASSERT_TRUE(StartEngine("server 127.0.0.1:" + std::to_string(upstream.port()) +
                          "\naddress /local.test/192.0.2.7\n"));
  long ticks_per_second = sysconf(_SC_CLK_TCK);
  constexpr auto kWindow = 3s;

  std::atomic<bool> stop{false};
  std::atomic<int> hostile{0};
  std::thread attacker([&] {
    for (int i = 0; !stop; i++) {
      int fd = ConnectTcp("127.0.0.1", port_);
      if (fd < 0) continue;
      std::vector<uint8_t> both =
          Framed(BuildQuery("a" + std::to_string(i) + ".gone.example", DNS_T_A));
      std::vector<uint8_t> second =
          Framed(BuildQuery("b" + std::to_string(i) + ".gone.example", DNS_T_A));
      both.insert(both.end(), second.begin(), second.end());
      SendAll(fd, both);
      shutdown(fd, SHUT_WR);
      // Let the engine see the end of the stream before the reset arrives.
      std::this_thread::sleep_for(30ms);
      linger hard{1, 0};
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
      close(fd);  // RST
      hostile++;
      std::this_thread::sleep_for(70ms);  // ten a second
    }
  });
  // Wait for the first few resets to be in place, then measure the engine's CPU over the window
  // while another client asks.
  while (hostile < 5) std::this_thread::sleep_for(10ms);
  long before = CpuTicks(engine_.pid());
  double demand_before = CpuDemand(engine_.pid());
  auto start = Clock::now();
  int answered = 0, asked = 0;
  while (Clock::now() - start < kWindow) {
    asked++;
    Reply r =
        QueryUdp("127.0.0.1", port_, "q" + std::to_string(asked) + ".local.test", DNS_T_A, {}, 1s);
    if (r.a == std::vector<std::string>{"192.0.2.7"}) answered++;
    std::this_thread::sleep_for(50ms);
  }
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  long used = CpuTicks(engine_.pid()) - before;
  double demand = (CpuDemand(engine_.pid()) - demand_before) / seconds;
  stop = true;
  attacker.join();

  ASSERT_GE(before, 0);
  double share = static_cast<double>(used) / ticks_per_second / seconds;
  // A spinning engine thread wants a whole core all the time (run or wait to run, however busy
  // the machine is); the real work here is a few queries a second.
  EXPECT_LT(demand, 0.5) << "engine threads ran or waited to run " << demand
                         << " of the time (CPU share " << share << ") with " << hostile.load()
                         << " reset clients";
  std::printf("engine CPU share %.3f, run-or-wait share %.3f\n", share, demand);
  EXPECT_EQ(answered, asked);
}

// A host that opens connection after connection fills the listener's 64 places: the idle ones
// make room, and a client still waiting for its answer keeps its connection and gets it.
TEST_F(DnsHostile, ConnectionFloodSparesClientsWaitingForAnswers) {
  SilentUpstream upstream;  // the answer (SERVFAIL) comes when the upstream query gives up
  ASSERT_TRUE(upstream.ok());
  ASSERT_TRUE(StartEngine("server 127.0.0.1:" + std::to_string(upstream.port()) +
                          "\naddress /local.test/192.0.2.7\n"));
  int waiting = ConnectTcp("127.0.0.1", port_);
  ASSERT_GE(waiting, 0);
  ASSERT_TRUE(SendAll(waiting, Framed(BuildQuery("pending.flood.example", DNS_T_A))));
  std::this_thread::sleep_for(100ms);  // the query is in; its answer is seconds away
  std::vector<int> flood;
  for (int i = 0; i < 80; i++) {
    int fd = ConnectTcp("127.0.0.1", port_);
    if (fd >= 0) flood.push_back(fd);
  }
  EXPECT_EQ(flood.size(), 80u);
  auto answer = ReadFramed(waiting, 8s);
  ASSERT_TRUE(answer.has_value()) << "the waiting client lost its connection";
  EXPECT_EQ(ParseReply(*answer).rcode, DNS_RC_SERVFAIL);
  close(waiting);
  for (int fd : flood) close(fd);
}

// A storm of unique names against a silent upstream fills the engine's 4096 live requests: the
// queries beyond are answered SERVFAIL at once, every query gets exactly one answer, and once the
// upstream queries give up the engine is empty again and answers as before.
TEST(DnsOverload, TheLiveRequestCapRefusesCleanlyAndRecovers) {
  if (!InPrivateNetwork()) ZC_MISSING() << "no private network namespace";
  SilentUpstream upstream;
  ASSERT_TRUE(upstream.ok());
  uint16_t port = FreePort();
  // Silent queries live twice as long (about 5 s): the cap is reached even when a busy machine
  // slows the sender down.
  zc::SetTimeScaleForTest(2.0);
  struct RestoreScale {
    ~RestoreScale() { zc::SetTimeScaleForTest(1.0); }
  } restore;
  Engine e;
  ASSERT_EQ(e.Start("bind 127.0.0.1:" + std::to_string(port) +
                    "\nserver 127.0.0.1:" + std::to_string(upstream.port()) +
                    "\nspeed-check-mode none\nlog-level error\naddress /local.test/192.0.2.7\n"),
            "");
  constexpr int kQueries = 5000;
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  int buffer = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  sockaddr_in to = Loopback(port);
  std::vector<int> replies(kQueries, 0);
  int servfail = 0, received = 0;
  auto drain = [&] {
    uint8_t buf[1024];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, 0)) >= 12) {
      uint16_t id = static_cast<uint16_t>(buf[0] << 8 | buf[1]);
      if (id < kQueries) replies[id]++;
      servfail += (buf[3] & 0x0f) == DNS_RC_SERVFAIL;
      received++;
    }
  };
  for (int i = 0; i < kQueries; i++) {
    QueryOptions o;
    o.id = static_cast<uint16_t>(i);
    auto q = BuildQuery("s" + std::to_string(i) + ".storm.example", DNS_T_A, o);
    sendto(fd, q.data(), q.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    if (i % 32 == 31) {
      // About 3000 a second: more than the cap within the seconds a silent query lives, in
      // bursts the engine's receive buffer holds.
      drain();
      std::this_thread::sleep_for(10ms);
    }
  }
  auto deadline = Clock::now() + 20s;
  while (received < kQueries && Clock::now() < deadline) {
    drain();
    std::this_thread::sleep_for(10ms);
  }
  close(fd);
  zc::dns::DnsEngineStats stats = e.engine().Stats();
  EXPECT_GT(stats.overload, 0u) << "the cap was never reached";
  EXPECT_EQ(received, kQueries);
  EXPECT_EQ(servfail, kQueries);
  EXPECT_EQ(std::count(replies.begin(), replies.end(), 1), kQueries) << "one answer each";
  // Recovered: nothing live, and answers come as before.
  deadline = Clock::now() + 10s;
  while (e.engine().Stats().live_requests > 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(e.engine().Stats().live_requests, 0u);
  EXPECT_EQ(QueryUdp("127.0.0.1", port, "after.local.test", DNS_T_A).a,
            std::vector<std::string>{"192.0.2.7"});
}

}  // namespace
}  // namespace dnspeer
