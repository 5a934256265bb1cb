#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "utils/netprobe.h"
#include "utils/timescale.h"
#include "utils/timesync.h"

namespace {

// A loopback TCP listener; answers each connection with `reply` unless silent.
class Listener {
 public:
  explicit Listener(bool silent) : silent_(silent) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    listen(fd_, 4);
    thread_ = std::thread([this] {
      int c = accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      char buf[64];
      (void)!read(c, buf, sizeof buf);
      if (!silent_) (void)!write(c, "HTTP/1.1 200 OK\r\n\r\n", 19);
      std::this_thread::sleep_for(std::chrono::milliseconds(600));
      close(c);
    });
  }
  ~Listener() {
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    thread_.join();
  }
  int port() const { return port_; }

 private:
  bool silent_;
  int fd_;
  int port_;
  std::thread thread_;
};

class ProbeTest : public ::testing::Test {
 protected:
  void SetUp() override { zc::SetTimeScaleForTest(0.02); }  // 10 s -> 200 ms
  void TearDown() override {
    zc::SetTimeScaleForTest(1);
    unsetenv("ZUNCORE_PROBE_HOST");
    unsetenv("ZUNCORE_PROBE_PORT");
    unsetenv("ZUNCORE_TIME_URL");
  }
};

TEST_F(ProbeTest, AnsweringHostIsOnlineSilentHostTimesOut) {
  setenv("ZUNCORE_PROBE_HOST", "127.0.0.1", 1);
  {
    Listener answering(false);
    setenv("ZUNCORE_PROBE_PORT", std::to_string(answering.port()).c_str(), 1);
    EXPECT_EQ(is_internet_online(), 0);
  }
  Listener silent(true);
  setenv("ZUNCORE_PROBE_PORT", std::to_string(silent.port()).c_str(), 1);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(is_internet_online(), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(550));
}

TEST_F(ProbeTest, SilentTimeServiceFailsWithinTheBound) {
  Listener silent(true);
  setenv("ZUNCORE_TIME_URL", ("http://127.0.0.1:" + std::to_string(silent.port()) + "/now").c_str(),
         1);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(xsettimeofday(), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(580));
}

}  // namespace
