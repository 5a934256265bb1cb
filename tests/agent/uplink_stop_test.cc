// Entering the idle state stops the uplink thread while its probe may be blocked on a slow peer:
// the probe finishes, the thread ends without another health report, and a new thread can start.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "main/uplink.h"
#include "support/temp_root.h"
#include "utils/kvp.h"
#include "utils/monitor.h"
#include "utils/timescale.h"

namespace {

// A peer that accepts the probe's connection and never answers.
class SilentPeer {
 public:
  SilentPeer() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(fd_, 8) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      ADD_FAILURE() << "listener";
    }
    port_ = ntohs(a.sin_port);
  }
  ~SilentPeer() { close(fd_); }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pred();
}

TEST(UplinkStop, StopDuringASlowProbeEndsTheThreadWithoutAnotherReport) {
  zctest::TempRoot root;
  InitKVP();
  SilentPeer peer;
  setenv("ZUNCORE_PROBE_HOST", "127.0.0.1", 1);
  setenv("ZUNCORE_PROBE_PORT", std::to_string(peer.port()).c_str(), 1);
  // Probe time-out 10 s -> 0.5 s; the first report would come after 6 probe periods (18 s).
  zc::SetTimeScaleForTest(0.05);
  zctest::StdoutCapture out;
  uint32_t before = gUplinkThreadMonitor.count.load();
  CheckUplink();
  ASSERT_TRUE(UplinkThreadRunning());
  ASSERT_TRUE(WaitUntil([&] { return gUplinkThreadMonitor.count.load() != before; },
                        std::chrono::seconds(5)));
  // The probe is now waiting on the silent peer; the idle state stops the thread.
  StopUplinkThread();
  EXPECT_FALSE(UplinkThreadRunning());
  uint32_t stoppedAt = gUplinkThreadMonitor.count.load();
  // Longer than the probe's time-out and several probe periods: the thread has ended.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_EQ(gUplinkThreadMonitor.count.load(), stoppedAt);
  EXPECT_EQ(out.Text().find("Zuncore Task Health"), std::string::npos);
  // A later start works as the first did.
  CheckUplink();
  EXPECT_TRUE(UplinkThreadRunning());
  ASSERT_TRUE(WaitUntil([&] { return gUplinkThreadMonitor.count.load() != stoppedAt; },
                        std::chrono::seconds(5)));
  StopUplinkThread();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  zc::SetTimeScaleForTest(1.0);
}

}  // namespace
