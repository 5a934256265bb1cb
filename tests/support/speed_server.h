// A speed-test server on loopback: "/ping" answers "ok", "/down" streams zeros and "/up" reads
// and discards, both paced to a total rate shared by all connections (0: as fast as loopback
// goes). A stalling server accepts and never reads nor answers.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace zctest {

class SpeedServer {
 public:
  enum class Stall { kNone, kUpload, kAll };
  // bytesPerSecond: total rate of each direction. kUpload: an upload's body is never read;
  // kAll: connections are accepted and never read nor answered.
  explicit SpeedServer(uint64_t bytesPerSecond, Stall stall = Stall::kNone);
  ~SpeedServer();
  SpeedServer(const SpeedServer&) = delete;
  SpeedServer& operator=(const SpeedServer&) = delete;
  int port() const { return port_; }
  int pings() const { return pings_.load(); }

 private:
  void Serve(int fd);
  // Waits until n more bytes fit the shared rate.
  void Pace(uint64_t n);
  uint64_t rate_;
  Stall stall_;
  int transfers_ = 0;  // under paceMutex_
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> pings_{0};
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<std::thread> workers_;
  std::vector<int> fds_;
  // Pacing: bytes allowed since the first transfer began.
  std::mutex paceMutex_;
  bool paceStarted_ = false;
  std::chrono::steady_clock::time_point paceStart_;
  uint64_t paced_ = 0;
};

}  // namespace zctest
