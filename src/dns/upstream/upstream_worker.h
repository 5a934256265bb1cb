// The upstream client's work thread: owns every upstream socket, TLS object and query in
// flight, runs its own epoll with a wake eventfd and a 100 ms beat, and reports results through
// the deliver function (which posts them to the engine thread).
#pragma once

#include <sys/socket.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "dns/common/dns_handles.h"
#include "dns/upstream/stream_connection.h"
#include "dns/upstream/upstream_client.h"
#include "dns/upstream/upstream_config.h"
#include "dns/upstream/upstream_message.h"

namespace zc::dns {

// Timing of queries and connections (real values; waits go through the time scale).
inline constexpr std::chrono::milliseconds kBeat{100};
inline constexpr std::chrono::milliseconds kRetryInterval{500};
inline constexpr int kRetryBudget = 4;
inline constexpr std::chrono::seconds kProhibitTime{60};
inline constexpr std::chrono::seconds kAliveWindow{5};
inline constexpr std::chrono::seconds kConnectTimeout{5};
inline constexpr std::chrono::seconds kHttpsIdleTimeout{600};
inline constexpr std::chrono::seconds kFailureWindow{600};
inline constexpr std::chrono::seconds kResolveInterval{3};
// UDP queries leave from sockets on source ports the kernel picks at random, each carrying at
// most four queries and living at most a second: an off-path forger has to guess the port as
// well as the ID. (A socket per query costs the miss path about half again as much CPU and
// two thirds of its peak rate; four per port costs nothing measurable.)
inline constexpr uint32_t kQueriesPerUdpPort = 4;
inline constexpr std::chrono::seconds kUdpPortLifetime{1};
// Queries in flight at once; the engine's own cap on live requests stays well below.
inline constexpr size_t kMaxQueriesInFlight = 16384;

// A numeric address and port as a socket address. False when `ip` is not an address literal.
bool MakeSockaddr(std::string_view ip, uint16_t port, sockaddr_storage* address, socklen_t* length);

class UpstreamWorker {
 public:
  // Results of one wake of the thread, in order; delivered together so that a busy thread
  // posts once per wake rather than once per answer.
  using Results = std::vector<std::pair<UpstreamQueryId, UpstreamResult>>;
  using DeliverFn = std::function<void(Results&&)>;
  using TickFn = std::function<void()>;

  // `resolve_tick` (may be empty) runs on the work thread every 3 s.
  UpstreamWorker(const UpstreamClientConfig& config, DeliverFn deliver, TickFn resolve_tick);
  ~UpstreamWorker();
  UpstreamWorker(const UpstreamWorker&) = delete;
  UpstreamWorker& operator=(const UpstreamWorker&) = delete;

  bool Start(std::string* error);
  void Stop();

  // Thread-safe entry points; each queues a command for the work thread.
  void Submit(UpstreamQueryId id, std::vector<uint16_t> servers, std::vector<uint8_t> query);
  void Cancel(UpstreamQueryId id);
  void SetAddress(size_t server, const sockaddr_storage& address, socklen_t length);

  UpstreamCounters Counters() const;

 private:
  using Clock = UpstreamClock;
  struct Server;

  enum class Leg : uint8_t { kIdle, kSent, kAnswered };
  // One server of a query's group.
  struct QueryLeg {
    uint16_t server = 0;
    Leg state = Leg::kIdle;
    bool over_tcp = false;  // the server truncated over UDP: ask it over TCP from now on
    // Tags of the UDP ports its sends went out on: each stays open for a late answer until
    // the leg is over.
    std::array<uint64_t, kRetryBudget> udp_ports{};
  };
  struct Query {
    UpstreamQueryId handle = 0;
    uint16_t caller_id = 0;     // ID of the engine's message, restored in every answer
    std::vector<uint8_t> wire;  // the message with its upstream ID
    DnsQuestionKey key;
    std::vector<QueryLeg> legs;
    Clock::time_point first_send{};
    Clock::time_point last_send{};
    int budget = kRetryBudget;
    size_t answers = 0;
    bool reached_any = false;
  };
  struct Command {
    enum class Kind : uint8_t { kSubmit, kCancel, kAddress } kind = Kind::kSubmit;
    UpstreamQueryId handle = 0;
    std::vector<uint16_t> servers;
    std::vector<uint8_t> wire;
    size_t server = 0;
    sockaddr_storage address{};
    socklen_t address_length = 0;
  };

  void Run();
  void Wake();
  void DrainCommands(Clock::time_point now);
  void OnBeat(Clock::time_point now);
  void HandleEvent(uint64_t tag, uint32_t events, Clock::time_point now);

  void StartQuery(Command& command, Clock::time_point now);
  size_t SendRound(Query& query, Clock::time_point now);
  bool SendTo(Server& server, Query& query, bool over_tcp, bool leg_was_sent,
              Clock::time_point now);
  bool SendUdp(Server& server, const Query& query, bool leg_was_sent, Clock::time_point now,
               int* error);
  // Sends the UDP datagrams queued in this wake, one system call per socket for many queries;
  // a datagram the kernel refuses fails its leg as a failed send would have.
  void FlushUdp();
  bool SendStream(Server& server, const std::vector<uint8_t>& wire, Clock::time_point now,
                  int* error);
  void NoteSendFailure(Server& server, int error);
  bool Skipped(Server& server, Clock::time_point now);
  // Marks a failing server; `logged`: the caller already wrote the log line.
  void Prohibit(Server& server, Clock::time_point now, const char* why, bool logged);

  // `udp` is held by the caller for the whole call, whatever happens to the port meanwhile.
  void OnUdpReadable(Server& server, const UniqueFd& udp, uint64_t tag, Clock::time_point now);
  // ICMP errors queued on the port: the queries they name end for this server at once.
  void OnUdpErrors(Server& server, const UniqueFd& udp, uint64_t tag, Clock::time_point now);
  void OnMessage(Server& server, std::vector<uint8_t>&& message, bool over_udp,
                 Clock::time_point now);
  void Finish(uint16_t upstream_id);
  void Emit(UpstreamQueryId handle, UpstreamResult&& result) {
    outbox_.emplace_back(handle, std::move(result));
  }
  void CloseStream(Server& server, Clock::time_point now);
  // Closes one connection of the server (its live one or a draining one): logs, marks the
  // server on failure, moves an HTTPS server between HTTP/1.1 and HTTP/2 on a protocol
  // mismatch, and lets the queries that waited there go out again.
  void CloseConnection(Server& server, std::unique_ptr<StreamConnection>& slot,
                       Clock::time_point now);
  // Sends at once, on the server's new protocol, the queries its HTTP/1.1 connection held when
  // the server turned out to speak only HTTP/2 (rather than at their next retry).
  void ResendAfterSwitch(Clock::time_point now);
  // Closes the draining connections that ended or have nothing left to wait for.
  void SweepDraining(Server& server, Clock::time_point now, bool idle_check);
  void RetireUdp(Server& server, Clock::time_point now);
  void ReleaseUdpPort(Server& server, uint64_t tag);
  void HoldUdpPort(Server& server, QueryLeg& leg);
  void ReleaseUdpPorts(Server& server, QueryLeg& leg);
  void ReleaseLegs(Query& query);
  uint16_t NewUpstreamId();
  Server* ServerFor(uint64_t tag);

  const UpstreamClientConfig& config_;
  DeliverFn deliver_;
  Results outbox_;  // results of the current wake
  TickFn resolve_tick_;
  UniqueFd epoll_;
  UniqueFd wake_;
  UniqueFd timer_;
  SslCtxPtr ssl_ctx_;
  std::vector<std::unique_ptr<Server>> servers_;
  std::unordered_map<uint16_t, Query> queries_;  // by upstream message ID
  // UDP datagrams queued in the current wake, flushed before the wake ends and before anything
  // could release their query.
  struct PendingUdp {
    std::shared_ptr<const UniqueFd> socket;  // keeps the descriptor open until it is sent
    uint16_t query_id = 0;
    uint16_t server = 0;
    bool leg_was_sent = false;  // the leg had been sent before: a failure leaves it sent
  };
  std::vector<PendingUdp> pending_udp_;
  std::vector<std::pair<size_t, uint16_t>> resend_;  // (server, upstream ID), see above
  std::unordered_map<UpstreamQueryId, uint16_t> by_handle_;
  uint64_t next_serial_ = 1;
  uint64_t beats_ = 0;
  std::vector<uint8_t> random_pool_;
  size_t random_used_ = 0;

  std::mutex commands_mutex_;
  std::vector<Command> commands_;
  std::atomic<bool> stop_{false};
  std::thread thread_;

  std::atomic<uint64_t> sent_{0}, answers_{0}, dropped_{0}, truncated_{0}, failed_{0};
};

}  // namespace zc::dns
