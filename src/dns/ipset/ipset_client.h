// Adds addresses to the kernel's ipsets from any thread without waiting on the kernel: entries
// are queued, and a thread of its own sends them in batches over one netfilter netlink socket
// and logs what the kernel refused.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "dns/ipset/ipset_message.h"

struct mnl_socket;

namespace zc::dns {

// Entries waiting to be sent; beyond this new ones are dropped (and counted).
inline constexpr size_t kMaxIpsetBacklog = 4096;
// Failure lines written per minute at most; the rest are counted in the next line.
inline constexpr int kMaxIpsetLogLines = 10;

struct IpsetStats {
  uint64_t sent = 0;     // messages handed to the kernel
  uint64_t refused = 0;  // messages the kernel answered with an error
  uint64_t dropped = 0;  // entries never sent (queue full, no socket)
};

class IpsetClient {
 public:
  IpsetClient();
  ~IpsetClient();  // Stop()
  IpsetClient(const IpsetClient&) = delete;
  IpsetClient& operator=(const IpsetClient&) = delete;

  // Opens the netlink socket and starts the sender. False (with *error) when the socket cannot
  // be opened; entries given later are then dropped.
  bool Start(std::string* error);
  // Sends what is queued, then stops the sender.
  void Stop();
  // Queues one entry. Any thread; never blocks on the kernel. False when dropped.
  bool Add(IpsetEntry entry);
  // Waits until every entry queued before the call has been sent and the kernel's answers read.
  bool Flush(std::chrono::milliseconds timeout);
  IpsetStats stats() const;

 private:
  struct SocketClose {
    void operator()(mnl_socket* s) const;
  };
  void Run();
  void SendBatch(std::deque<IpsetEntry>& batch);
  void ReadErrors();
  // Whether another failure line may be written now (at most kMaxIpsetLogLines a minute).
  bool MayLog();

  std::unique_ptr<mnl_socket, SocketClose> socket_;
  uint32_t port_id_ = 0;
  uint32_t seq_ = 0;
  // Entries of the batch in flight, by sequence number, for the log line of a refusal.
  std::deque<std::pair<uint32_t, IpsetEntry>> in_flight_;
  // Refusals logged in the current window: a kernel without ipset, or a set removed, would
  // otherwise write a line for every answer.
  std::chrono::steady_clock::time_point log_window_{};
  int logged_in_window_ = 0;
  uint64_t unlogged_ = 0;

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::condition_variable flushed_cv_;
  std::deque<IpsetEntry> queue_;
  uint64_t queued_total_ = 0;  // entries ever queued
  uint64_t done_total_ = 0;    // entries sent (or given up on)
  IpsetStats stats_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace zc::dns
