// The DNS engine: listeners towards LAN clients, one epoll loop thread that owns every request,
// connection and table, and the upstream client it forwards through.
//
// Start() loads the option file, binds every listener (retrying a port still held by a dying
// resolver), starts the upstream client and the loop, and returns only once the engine listens
// or has failed. Stop() clears the run flag, wakes the loop through its eventfd, joins the loop
// and the upstream client, and closes every socket; Start() may then run again in the same
// process. The engine installs no signal handlers and never changes the process credentials.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "dns/common/engine_seams.h"

namespace zc::dns {

struct DnsEngineOptions {
  std::string conf_path = "/tmp/zundns.conf";  // router path, mapped under the root
  VerdictHook* verdict = nullptr;              // null: every verdict "allowed"
  AnswerCache* cache = nullptr;                // null: the engine's own (cache-size 0: none)
  SpeedChecker* speed = nullptr;               // null: the engine's own prober
  // Set by the standalone executable: the option file's log-level becomes the process level.
  bool apply_log_level = false;
  // Set by the standalone executable once it runs as the option file's `user`.
  bool user_applied = false;
};

struct DnsEngineStats {
  uint64_t queries = 0;           // client messages taken in
  uint64_t replies = 0;           // replies sent to clients
  uint64_t upstream_queries = 0;  // queries handed to the upstream client
  uint64_t merged = 0;            // requests that joined another request's upstream query
  uint64_t truncated = 0;         // UDP replies cut to header + question
  uint64_t dropped = 0;           // malformed or unanswerable messages
  uint64_t overload = 0;          // SERVFAIL for lack of room
  size_t live_requests = 0;
  size_t tcp_clients = 0;
};

class DnsEngine {
 public:
  explicit DnsEngine(DnsEngineOptions options = {});
  ~DnsEngine();  // Stop()
  DnsEngine(const DnsEngine&) = delete;
  DnsEngine& operator=(const DnsEngine&) = delete;

  // False with *error ("<file>:<line>: <reason>", or the listener that could not be bound).
  bool Start(std::string* error);
  void Stop();
  bool running() const;

  // The filter's verdict for a request it answered kVerdictPending for. Any thread.
  void PostVerdict(DnsRequestHandle handle, DnsVerdict verdict);

  // An internal query through the whole pipeline (no client). `done` runs on the engine thread
  // with the rcode and the first answer address as text (empty when none). Any thread.
  void Query(const std::string& domain, uint16_t qtype,
             std::function<void(int rcode, std::string address)> done);

  // Runs a task on the engine thread. Any thread; dropped when the engine is not running.
  void Post(std::function<void()> task);

  // Addresses the listeners are bound to (port 0 in the option file gives the real port).
  std::vector<sockaddr_storage> BoundAddresses() const;
  DnsEngineStats Stats() const;
  uint64_t generation() const;

  struct Core;

 private:
  DnsEngineOptions options_;
  // Guards core_ and generation_: other threads post while the owner may stop the engine.
  mutable std::mutex core_mutex_;
  std::unique_ptr<Core> core_;
  uint64_t generation_ = 0;
};

}  // namespace zc::dns
