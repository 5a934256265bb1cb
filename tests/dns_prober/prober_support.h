// Helpers of the prober tests. The test process runs in its own network namespace where the
// kernel does not answer echoes: an EchoResponder answers them instead, per address with a
// chosen delay, not at all, or with a damaged payload. Addresses on lo: 192.0.2.10-.13 and
// 2001:db8::10-11. A silent host, 10.77.0.2, swallows everything (its frames leave through a
// veth whose other end has no address).
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dns/prober/fast_ping.h"

namespace probertest {

using namespace std::chrono_literals;

inline constexpr const char* kFast = "192.0.2.10";
inline constexpr const char* kSlow = "192.0.2.11";
inline constexpr const char* kQuiet = "192.0.2.12";  // assigned, never answers echoes
inline constexpr const char* kOther = "192.0.2.13";
inline constexpr const char* kFast6 = "2001:db8::10";
inline constexpr const char* kSlow6 = "2001:db8::11";
inline constexpr const char* kSilentHost = "10.77.0.2";
inline constexpr const char* kNoRoute = "198.51.100.1";

// Builds the namespace (before any thread starts); empty string or the reason it failed.
std::string EnterTestNetwork();
bool InTestNetwork();
// Runs a command (argv, no shell); true on exit status 0.
bool RunCommand(const std::vector<std::string>& argv);

// What the responder does with echoes to one address.
struct EchoBehaviour {
  std::chrono::milliseconds delay{0};
  bool corrupt = false;  // answer with a damaged payload
};

class EchoResponder {
 public:
  EchoResponder() = default;
  ~EchoResponder() { Stop(); }
  // Answers echoes to each listed address (others stay unanswered).
  bool Start(const std::map<std::string, EchoBehaviour>& behaviour);
  void Stop();
  int requests() const { return requests_; }

 private:
  void Loop();
  std::vector<int> fds_;
  std::vector<int> families_;
  std::vector<EchoBehaviour> behaviour_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  int wake_ = -1;
};

// A TCP listener (or UDP echo server) on addr:port; port 0 picks one.
class Listener {
 public:
  ~Listener();
  bool Tcp(const std::string& addr, uint16_t port = 0);
  bool UdpEcho(const std::string& addr, uint16_t port = 0);
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
};

// A port on `addr` where nothing listens (TCP and UDP).
uint16_t ClosedPort(const std::string& addr);

// Collects prober callbacks and lets the test wait for them.
class Recorder {
 public:
  zc::dns::PingCallback Callback();
  // Waits until the probe `handle` got its kEnd; its events in order.
  std::vector<zc::dns::PingResult> WaitEnd(uint64_t handle, std::chrono::milliseconds timeout = 3s);
  size_t total() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::map<uint64_t, std::vector<zc::dns::PingResult>> events_;
};

zc::dns::PingRequest Request(zc::dns::ProbeKind kind, const std::string& addr, uint16_t port,
                             std::chrono::milliseconds timeout, zc::dns::PingCallback cb);

}  // namespace probertest
