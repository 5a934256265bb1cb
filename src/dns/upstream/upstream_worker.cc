#include "dns/upstream/upstream_worker.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/timerfd.h>

#include <algorithm>

#include "utils/log.h"
#include "utils/timescale.h"
#include "utils/uuid.h"

namespace zc::dns {

namespace {

// Epoll tags: kind in the top byte, server index below it, a serial in the low 40 bits so an
// event for a socket that was replaced in the same wake is recognised as stale.
enum TagKind : uint64_t { kTagWake = 1, kTagTimer = 2, kTagUdp = 3, kTagStream = 4 };
constexpr uint64_t kSerialMask = (uint64_t{1} << 40) - 1;

uint64_t MakeTag(TagKind kind, size_t server, uint64_t serial) {
  return (static_cast<uint64_t>(kind) << 56) | (static_cast<uint64_t>(server & 0xffff) << 40) |
         (serial & kSerialMask);
}
TagKind KindOf(uint64_t tag) {
  return static_cast<TagKind>(tag >> 56);
}
size_t ServerOf(uint64_t tag) {
  return static_cast<size_t>((tag >> 40) & 0xffff);
}

constexpr size_t kMaxEvents = 64;
constexpr size_t kUdpReceiveBuffer = 65535;
constexpr int kMaxUdpReadsPerEvent = 32;
// Retired UDP ports kept per server for late answers; beyond it the oldest closes.
constexpr size_t kMaxRetiredPorts = 64;
constexpr size_t kRandomPool = 512;

StreamKind StreamKindFor(UpstreamType type) {
  switch (type) {
    case UpstreamType::kTls:
      return StreamKind::kTls;
    case UpstreamType::kHttps:
      return StreamKind::kHttps;
    default:
      return StreamKind::kTcp;  // TCP servers, and the TCP retry of UDP servers
  }
}

bool IsFailure(StreamEnd why) {
  return why != StreamEnd::kPeerClosed && why != StreamEnd::kIdle;
}

}  // namespace

bool MakeSockaddr(std::string_view ip, uint16_t port, sockaddr_storage* address,
                  socklen_t* length) {
  std::string text(ip);
  *address = sockaddr_storage{};
  auto* v4 = reinterpret_cast<sockaddr_in*>(address);
  if (inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    *length = sizeof(sockaddr_in);
    return true;
  }
  auto* v6 = reinterpret_cast<sockaddr_in6*>(address);
  if (inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    *length = sizeof(sockaddr_in6);
    return true;
  }
  return false;
}

struct UpstreamWorker::Server {
  struct UdpPort {
    UniqueFd fd;
    uint64_t tag = 0;
    uint32_t sent = 0;
    uint32_t outstanding = 0;  // query legs whose last send went through this port
    Clock::time_point opened{};
    Clock::time_point close_at{};
  };

  size_t index = 0;
  const UpstreamServerConfig* config = nullptr;
  std::string display;
  bool resolved = false;
  sockaddr_storage address{};
  socklen_t address_length = 0;
  TlsPeerSettings tls;
  std::string doh_host;
  bool prohibited = false;
  Clock::time_point prohibited_at{};
  Clock::time_point last_send{};
  Clock::time_point last_receive{};
  UdpPort udp;
  std::vector<UdpPort> retired;
  std::unique_ptr<StreamConnection> stream;
  SslSessionPtr session;
};

UpstreamWorker::UpstreamWorker(const UpstreamClientConfig& config, DeliverFn deliver,
                               TickFn resolve_tick)
    : config_(config), deliver_(std::move(deliver)), resolve_tick_(std::move(resolve_tick)) {}

UpstreamWorker::~UpstreamWorker() {
  Stop();
  servers_.clear();  // streams unregister from epoll_ before it closes
}

bool UpstreamWorker::Start(std::string* error) {
  epoll_.Reset(epoll_create1(EPOLL_CLOEXEC));
  wake_.Reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  timer_.Reset(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
  if (!epoll_.valid() || !wake_.valid() || !timer_.valid()) {
    *error = std::string("create client epoll failed, ") + strerror(errno);
    return false;
  }
  long beat_ns = static_cast<long>(zc::Scaled(kBeat).count()) * 1000000L;
  itimerspec period{};
  period.it_interval.tv_sec = beat_ns / 1000000000L;
  period.it_interval.tv_nsec = beat_ns % 1000000000L;
  period.it_value = period.it_interval;
  if (timerfd_settime(timer_.get(), 0, &period, nullptr) != 0) {
    *error = std::string("start client timer failed, ") + strerror(errno);
    return false;
  }
  for (auto [fd, kind] : {std::pair{wake_.get(), kTagWake}, std::pair{timer_.get(), kTagTimer}}) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = MakeTag(kind, 0, 0);
    if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) != 0) {
      *error = std::string("epoll ctl failed, ") + strerror(errno);
      return false;
    }
  }

  bool needs_tls = false;
  for (size_t i = 0; i < config_.servers.size(); ++i) {
    const UpstreamServerConfig& record = config_.servers[i];
    auto server = std::make_unique<Server>();
    server->index = i;
    server->config = &record;
    server->display = record.host;
    uint16_t port = record.port ? record.port : UpstreamDefaultPort(record.type);
    server->resolved = MakeSockaddr(record.host, port, &server->address, &server->address_length);
    server->tls = MakeTlsPeerSettings(record);
    server->doh_host = DohHostHeader(record, port);
    needs_tls |= record.type == UpstreamType::kTls || record.type == UpstreamType::kHttps;
    servers_.push_back(std::move(server));
  }
  if (needs_tls) {
    std::string warning;
    ssl_ctx_ = CreateClientContext(config_.ca_file, config_.ca_path, &warning);
    if (!ssl_ctx_) {
      *error = warning;
      return false;
    }
    if (!warning.empty()) LogOut(LL_ERR, "UpstreamWorker::Start: %s", warning.c_str());
    SSL_CTX_sess_set_new_cb(ssl_ctx_.get(), &StreamConnection::NewSessionCallback);
  }
  random_pool_.resize(kRandomPool);
  random_used_ = kRandomPool;
  try {
    thread_ = std::thread(&UpstreamWorker::Run, this);
  } catch (const std::system_error& e) {
    *error = std::string("create client work thread failed, ") + e.what();
    return false;
  }
  return true;
}

void UpstreamWorker::Stop() {
  if (!thread_.joinable()) return;
  stop_.store(true);
  Wake();
  thread_.join();
  queries_.clear();
  by_handle_.clear();
  for (auto& server : servers_) {
    server->stream.reset();
    server->udp = Server::UdpPort();
    server->retired.clear();
  }
}

void UpstreamWorker::Wake() {
  uint64_t one = 1;
  if (write(wake_.get(), &one, sizeof one) < 0 && errno != EAGAIN) {
    LogOut(LL_ERR, "UpstreamWorker::Wake: eventfd write failed, %s", strerror(errno));
  }
}

void UpstreamWorker::Submit(UpstreamQueryId id, std::vector<uint16_t> servers,
                            std::vector<uint8_t> query) {
  Command command;
  command.kind = Command::Kind::kSubmit;
  command.handle = id;
  command.servers = std::move(servers);
  command.wire = std::move(query);
  std::lock_guard lock(commands_mutex_);
  bool was_empty = commands_.empty();
  commands_.push_back(std::move(command));
  if (was_empty) Wake();
}

void UpstreamWorker::Cancel(UpstreamQueryId id) {
  Command command;
  command.kind = Command::Kind::kCancel;
  command.handle = id;
  std::lock_guard lock(commands_mutex_);
  bool was_empty = commands_.empty();
  commands_.push_back(std::move(command));
  if (was_empty) Wake();
}

void UpstreamWorker::SetAddress(size_t server, const sockaddr_storage& address, socklen_t length) {
  Command command;
  command.kind = Command::Kind::kAddress;
  command.server = server;
  command.address = address;
  command.address_length = length;
  std::lock_guard lock(commands_mutex_);
  bool was_empty = commands_.empty();
  commands_.push_back(std::move(command));
  if (was_empty) Wake();
}

UpstreamCounters UpstreamWorker::Counters() const {
  return {sent_.load(), answers_.load(), dropped_.load(), truncated_.load(), failed_.load()};
}

void UpstreamWorker::Run() {
  // OpenSSL writes with write(2), not send(MSG_NOSIGNAL): a peer that closed must give EPIPE on
  // this thread, never a process-wide SIGPIPE, whatever the process does with the signal.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  epoll_event events[kMaxEvents];
  while (!stop_.load()) {
    int n = epoll_wait(epoll_.get(), events, kMaxEvents, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      LogOut(LL_ERR, "UpstreamWorker::Run: epoll_wait failed, %s", strerror(errno));
      zc::SleepScaled(kBeat);
      continue;
    }
    Clock::time_point now = Clock::now();
    for (int i = 0; i < n && !stop_.load(); ++i)
      HandleEvent(events[i].data.u64, events[i].events, now);
  }
}

UpstreamWorker::Server* UpstreamWorker::ServerFor(uint64_t tag) {
  size_t index = ServerOf(tag);
  return index < servers_.size() ? servers_[index].get() : nullptr;
}

void UpstreamWorker::HandleEvent(uint64_t tag, uint32_t events, Clock::time_point now) {
  switch (KindOf(tag)) {
    case kTagWake: {
      uint64_t count;
      while (read(wake_.get(), &count, sizeof count) > 0) {
      }
      DrainCommands(now);
      return;
    }
    case kTagTimer: {
      uint64_t expirations;
      while (read(timer_.get(), &expirations, sizeof expirations) > 0) {
      }
      OnBeat(now);
      return;
    }
    case kTagUdp: {
      Server* server = ServerFor(tag);
      if (server == nullptr) return;
      if (server->udp.tag == tag && server->udp.fd.valid()) {
        OnUdpReadable(*server, server->udp.fd.get(), now);
        return;
      }
      for (auto& port : server->retired) {
        if (port.tag == tag) {
          OnUdpReadable(*server, port.fd.get(), now);
          return;
        }
      }
      return;  // a port closed earlier in this wake
    }
    case kTagStream: {
      Server* server = ServerFor(tag);
      if (server == nullptr || !server->stream || server->stream->epoll_tag() != tag) return;
      server->stream->OnEvent(events, now);
      if (server->stream && server->stream->ended()) CloseStream(*server, now);
      return;
    }
  }
}

void UpstreamWorker::DrainCommands(Clock::time_point now) {
  std::vector<Command> commands;
  {
    std::lock_guard lock(commands_mutex_);
    commands.swap(commands_);
  }
  for (Command& command : commands) {
    switch (command.kind) {
      case Command::Kind::kSubmit:
        StartQuery(command, now);
        break;
      case Command::Kind::kCancel: {
        auto handle = by_handle_.find(command.handle);
        if (handle == by_handle_.end()) break;
        auto query = queries_.find(handle->second);
        if (query != queries_.end()) {
          ReleaseLegs(query->second);
          queries_.erase(query);
        }
        by_handle_.erase(handle);
        break;
      }
      case Command::Kind::kAddress: {
        if (command.server >= servers_.size()) break;
        Server& server = *servers_[command.server];
        server.address = command.address;
        server.address_length = command.address_length;
        server.resolved = true;
        break;
      }
    }
  }
}

uint16_t UpstreamWorker::NewUpstreamId() {
  while (true) {
    if (random_used_ + 2 > random_pool_.size()) {
      ssize_t got = getrandom(random_pool_.data(), random_pool_.size(), 0);
      if (got != static_cast<ssize_t>(random_pool_.size())) {
        // getrandom does not fail for small requests once the kernel pool is ready; should it
        // anyway, the agent's seeded generator still beats a predictable sequence.
        for (size_t i = 0; i + sizeof(uint64_t) <= random_pool_.size(); i += sizeof(uint64_t)) {
          uint64_t value = RandomU64();
          memcpy(random_pool_.data() + i, &value, sizeof value);
        }
      }
      random_used_ = 0;
    }
    uint16_t id =
        static_cast<uint16_t>(random_pool_[random_used_] << 8 | random_pool_[random_used_ + 1]);
    random_used_ += 2;
    if (queries_.find(id) == queries_.end()) return id;
  }
}

void UpstreamWorker::StartQuery(Command& command, Clock::time_point now) {
  if (queries_.size() >= kMaxQueriesInFlight) {
    LogOut(LL_WARN, "UpstreamWorker::StartQuery: %zu queries in flight, query refused",
           queries_.size());
    UpstreamResult done;
    done.unreachable = true;
    failed_.fetch_add(1);
    deliver_(command.handle, std::move(done));
    return;
  }
  uint16_t id = NewUpstreamId();
  Query& query = queries_[id];
  query.handle = command.handle;
  query.wire = std::move(command.wire);
  query.caller_id = MessageId(query.wire);
  SetMessageId(query.wire, id);
  ReadQuestionKey(query.wire, &query.key);  // checked by the engine side
  for (uint16_t server : command.servers) {
    if (server < servers_.size()) query.legs.push_back(QueryLeg{server});
  }
  query.first_send = now;
  by_handle_[command.handle] = id;
  LogOut(LL_DEBUG, "send request %s, qtype %d, id %d", WireNameText(query.key.name).c_str(),
         query.key.qtype, id);
  if (SendRound(query, now) == 0) {
    LogOut(LL_WARN, "Send query to upstream server failed, total server number %zu",
           query.legs.size());
    Finish(id);
  }
}

bool UpstreamWorker::Skipped(Server& server, Clock::time_point now) {
  if (!server.prohibited) return false;
  if (now - server.prohibited_at < zc::Scaled(kProhibitTime) &&
      now - server.last_receive > zc::Scaled(kAliveWindow)) {
    return true;
  }
  server.prohibited = false;
  return false;
}

void UpstreamWorker::Prohibit(Server& server, Clock::time_point now, const char* why, bool logged) {
  if (!server.prohibited && !logged) {
    LogOut(LL_WARN, "server %s not alive, prohibit (%s)", server.display.c_str(), why);
  }
  server.prohibited = true;
  server.prohibited_at = now;
}

size_t UpstreamWorker::SendRound(Query& query, Clock::time_point now) {
  // Servers marked as failing are left out while others can be reached; when none can, they
  // get the query after all rather than leaving the LAN without an answer.
  size_t reached = 0;
  std::vector<bool> tried(query.legs.size(), false);
  for (int round = 0; round < 2 && reached == 0; ++round) {
    for (size_t i = 0; i < query.legs.size(); ++i) {
      QueryLeg& leg = query.legs[i];
      if (tried[i] || leg.state == Leg::kAnswered) continue;
      Server& server = *servers_[leg.server];
      if (!server.resolved) continue;
      if (round == 0 && Skipped(server, now)) continue;
      tried[i] = true;
      if (SendTo(server, query, leg.over_tcp, now)) {
        leg.state = Leg::kSent;
        ++reached;
      }
    }
  }
  query.last_send = now;
  if (reached > 0) query.reached_any = true;
  return reached;
}

bool UpstreamWorker::SendTo(Server& server, Query& query, bool over_tcp, Clock::time_point now) {
  LogOut(LL_DEBUG, "send query to server %s", server.display.c_str());
  int error = 0;
  bool ok;
  if (server.config->type == UpstreamType::kUdp && !over_tcp) {
    ok = SendUdp(server, query.wire, now, &error);
    if (ok) {
      for (QueryLeg& leg : query.legs) {
        if (leg.server != server.index) continue;
        if (leg.udp_port != server.udp.tag) {
          ReleaseUdpPort(server, leg.udp_port);
          leg.udp_port = server.udp.tag;
          ++server.udp.outstanding;
        }
      }
    }
  } else if (server.stream && !server.stream->ended() &&
             server.stream->Waiting(MessageId(query.wire))) {
    return true;  // still queued or in flight on a live connection
  } else {
    ok = SendStream(server, query.wire, now, &error);
  }
  if (ok) {
    server.last_send = now;
    sent_.fetch_add(1, std::memory_order_relaxed);
    return true;
  }
  LogOut(LL_WARN, "send query to %s failed, %s, type: %d", server.display.c_str(), strerror(error),
         static_cast<int>(server.config->type));
  NoteSendFailure(server, error);
  return false;
}

void UpstreamWorker::NoteSendFailure(Server& server, int error) {
  Clock::time_point now = Clock::now();
  if (error == ENETUNREACH) {
    RetireUdp(server, now);
    CloseStream(server, now);
    return;
  }
  if (error == ENOMEM && now - server.last_receive < zc::Scaled(kAliveWindow)) return;
  Prohibit(server, now, strerror(error), false);
  CloseStream(server, now);
}

bool UpstreamWorker::SendUdp(Server& server, const std::vector<uint8_t>& wire,
                             Clock::time_point now, int* error) {
  Server::UdpPort& port = server.udp;
  if (!port.fd.valid() || port.sent >= kQueriesPerUdpPort ||
      now - port.opened >= zc::Scaled(kUdpPortLifetime)) {
    RetireUdp(server, now);
    int fd = socket(server.address.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      *error = errno;
      return false;
    }
    Server::UdpPort fresh;
    fresh.fd.Reset(fd);
    fresh.tag = MakeTag(kTagUdp, server.index, next_serial_++);
    fresh.opened = now;
    // Connected: the kernel drops datagrams from any other source address or port.
    if (connect(fd, reinterpret_cast<const sockaddr*>(&server.address), server.address_length) !=
        0) {
      *error = errno;
      return false;
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = fresh.tag;
    if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) != 0) {
      *error = errno;
      return false;
    }
    port = std::move(fresh);
  }
  ssize_t n = send(port.fd.get(), wire.data(), wire.size(), MSG_NOSIGNAL);
  if (n < 0 && errno == ECONNREFUSED) {
    // A port-unreachable for an earlier datagram is reported once; this one was not sent.
    n = send(port.fd.get(), wire.data(), wire.size(), MSG_NOSIGNAL);
  }
  if (n != static_cast<ssize_t>(wire.size())) {
    *error = n < 0 ? errno : EMSGSIZE;
    return false;
  }
  ++port.sent;
  return true;
}

bool UpstreamWorker::SendStream(Server& server, const std::vector<uint8_t>& wire,
                                Clock::time_point now, int* error) {
  if (server.stream && server.stream->ended()) CloseStream(server, now);
  if (!server.stream) {
    StreamConnection::Target target;
    target.display = server.display;
    target.address = reinterpret_cast<const sockaddr*>(&server.address);
    target.address_length = server.address_length;
    target.kind = StreamKindFor(server.config->type);
    target.ssl_ctx = ssl_ctx_.get();
    target.tls = &server.tls;
    target.session = &server.session;
    target.http_path = server.config->http_path;
    target.http_host = server.doh_host;
    uint64_t tag = MakeTag(kTagStream, server.index, next_serial_++);
    Server* owner = &server;
    auto stream = std::make_unique<StreamConnection>(
        std::move(target), epoll_.get(), tag, [this, owner](std::vector<uint8_t>&& message) {
          OnMessage(*owner, std::move(message), false, Clock::now());
        });
    std::string why;
    if (!stream->Open(now, &why, error)) {
      LogOut(LL_WARN, "UpstreamWorker::SendStream: %s", why.c_str());
      return false;
    }
    server.stream = std::move(stream);
  }
  if (!server.stream->Enqueue(wire)) {
    *error = server.stream->ended() ? EPIPE : ENOBUFS;
    return false;
  }
  return true;
}

void UpstreamWorker::CloseStream(Server& server, Clock::time_point now) {
  if (!server.stream) return;
  StreamConnection& stream = *server.stream;
  if (!stream.ended()) stream.End(StreamEnd::kIdle, "server " + server.display + " closed.");
  StreamEnd why = stream.end_reason();
  if (why == StreamEnd::kProtocolMismatch) {
    LogOut(LL_ERR, "server %s does not speak HTTP/1.1 (%s), closed and prohibited",
           server.display.c_str(), stream.end_detail().c_str());
  } else if (IsFailure(why)) {
    LogOut(LL_WARN, "%s, server %s prohibited", stream.end_detail().c_str(),
           server.display.c_str());
  } else {
    LogOut(LL_DEBUG, "server %s closed.", server.display.c_str());
  }
  if (IsFailure(why)) Prohibit(server, now, "", true);
  // Queries still waiting here go out again at their next retry.
  for (uint16_t id : stream.waiting_ids()) {
    auto query = queries_.find(id);
    if (query == queries_.end()) continue;
    for (QueryLeg& leg : query->second.legs) {
      if (leg.server == server.index && leg.state == Leg::kSent) leg.state = Leg::kIdle;
    }
  }
  server.stream.reset();
}

void UpstreamWorker::RetireUdp(Server& server, Clock::time_point now) {
  if (!server.udp.fd.valid()) return;
  if (server.udp.outstanding == 0) {
    server.udp = Server::UdpPort();
    return;
  }
  // Late answers to queries sent from this port are still accepted until they finish.
  server.udp.close_at = now + zc::Scaled(kRetryInterval * (kRetryBudget + 1));
  if (server.retired.size() >= kMaxRetiredPorts) server.retired.erase(server.retired.begin());
  server.retired.push_back(std::move(server.udp));
  server.udp = Server::UdpPort();
}

void UpstreamWorker::ReleaseUdpPort(Server& server, uint64_t tag) {
  if (tag == 0) return;
  if (server.udp.tag == tag) {
    if (server.udp.outstanding > 0) --server.udp.outstanding;
    return;
  }
  for (auto it = server.retired.begin(); it != server.retired.end(); ++it) {
    if (it->tag != tag) continue;
    if (it->outstanding > 0) --it->outstanding;
    if (it->outstanding == 0) server.retired.erase(it);
    return;
  }
}

void UpstreamWorker::ReleaseLegs(Query& query) {
  for (QueryLeg& leg : query.legs) {
    if (leg.udp_port != 0) ReleaseUdpPort(*servers_[leg.server], leg.udp_port);
    leg.udp_port = 0;
  }
}

void UpstreamWorker::OnUdpReadable(Server& server, int fd, Clock::time_point now) {
  static thread_local std::vector<uint8_t> buffer(kUdpReceiveBuffer);
  for (int i = 0; i < kMaxUdpReadsPerEvent; ++i) {
    ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) return;
      // ICMP errors of earlier datagrams surface here on a connected socket.
      LogOut(LL_DEBUG, "recv udp from %s failed, %s", server.display.c_str(), strerror(errno));
      if (errno == ECONNREFUSED) continue;
      return;
    }
    LogOut(LL_DEBUG, "recv udp packet from %s, len: %zd", server.display.c_str(), n);
    OnMessage(server, std::vector<uint8_t>(buffer.begin(), buffer.begin() + n), true, now);
    // The port may have been closed while handling the answer.
    if (server.udp.fd.get() != fd &&
        std::none_of(server.retired.begin(), server.retired.end(),
                     [fd](const Server::UdpPort& port) { return port.fd.get() == fd; })) {
      return;
    }
  }
}

void UpstreamWorker::OnMessage(Server& server, std::vector<uint8_t>&& message, bool over_udp,
                               Clock::time_point now) {
  DnsQuestionKey key;
  if (!ReadQuestionKey(message, &key) || !key.response) {
    dropped_.fetch_add(1, std::memory_order_relaxed);
    LogOut(LL_DEBUG, "decode failed, packet len = %zu, from = %s", message.size(),
           server.display.c_str());
    return;
  }
  auto found = queries_.find(key.id);
  QueryLeg* leg = nullptr;
  if (found != queries_.end()) {
    for (QueryLeg& candidate : found->second.legs) {
      if (candidate.server == server.index) leg = &candidate;
    }
  }
  if (leg == nullptr || leg->state != Leg::kSent || !AnswerMatches(found->second.key, key)) {
    dropped_.fetch_add(1, std::memory_order_relaxed);
    LogOut(LL_DEBUG, "answer %s from %s, id %d matches no query, dropped",
           WireNameText(key.name).c_str(), server.display.c_str(), key.id);
    return;
  }
  Query& query = found->second;
  server.last_receive = now;
  if (key.truncated && over_udp) {
    truncated_.fetch_add(1, std::memory_order_relaxed);
    LogOut(LL_INFO, "answer of %s from %s is truncated, asking over tcp",
           WireNameText(key.name).c_str(), server.display.c_str());
    leg->over_tcp = true;
    int error = 0;
    if (SendStream(server, query.wire, now, &error)) {
      sent_.fetch_add(1, std::memory_order_relaxed);
    } else {
      leg->state = Leg::kIdle;
    }
    return;
  }
  leg->state = Leg::kAnswered;
  if (leg->udp_port != 0) {
    ReleaseUdpPort(server, leg->udp_port);
    leg->udp_port = 0;
  }
  ++query.answers;
  answers_.fetch_add(1, std::memory_order_relaxed);
  UpstreamResult result;
  result.event = UpstreamEvent::kAnswer;
  result.server = server.index;
  result.server_flags = server.config->flags;
  result.packet = std::move(message);
  SetMessageId(result.packet, query.caller_id);
  result.rtt = std::chrono::duration_cast<std::chrono::microseconds>(now - query.first_send);
  deliver_(query.handle, std::move(result));
  bool waiting = std::any_of(query.legs.begin(), query.legs.end(),
                             [](const QueryLeg& l) { return l.state == Leg::kSent; });
  if (!waiting) Finish(key.id);
}

void UpstreamWorker::Finish(uint16_t upstream_id) {
  auto found = queries_.find(upstream_id);
  if (found == queries_.end()) return;
  Query& query = found->second;
  ReleaseLegs(query);
  if (query.answers == 0) {
    failed_.fetch_add(1, std::memory_order_relaxed);
    LogOut(LL_INFO, "retry query %s, type: %d, id: %d failed", WireNameText(query.key.name).c_str(),
           query.key.qtype, upstream_id);
  }
  UpstreamResult done;
  done.event = UpstreamEvent::kDone;
  done.answers = query.answers;
  done.unreachable = !query.reached_any;
  UpstreamQueryId handle = query.handle;
  by_handle_.erase(handle);
  queries_.erase(found);
  deliver_(handle, std::move(done));
}

void UpstreamWorker::OnBeat(Clock::time_point now) {
  ++beats_;
  std::vector<uint16_t> finished;
  for (auto& [id, query] : queries_) {
    if (now - query.last_send < zc::Scaled(kRetryInterval)) continue;
    --query.budget;
    for (QueryLeg& leg : query.legs) {
      Server& server = *servers_[leg.server];
      if (server.config->type == UpstreamType::kUdp && server.udp.fd.valid() &&
          server.last_send - server.last_receive > zc::Scaled(kAliveWindow)) {
        LogOut(LL_INFO, "query server %s timeout.", server.display.c_str());
        RetireUdp(server, now);
      }
    }
    if (query.budget <= 0 || query.answers > 0) {
      finished.push_back(id);
      continue;
    }
    LogOut(LL_DEBUG, "retry query %s, type: %d, id: %d", WireNameText(query.key.name).c_str(),
           query.key.qtype, id);
    SendRound(query, now);
  }
  for (uint16_t id : finished) Finish(id);

  if (beats_ % 10 == 0) {
    for (auto& server : servers_) {
      for (auto it = server->retired.begin(); it != server->retired.end();) {
        it = now >= it->close_at ? server->retired.erase(it) : it + 1;
      }
      StreamConnection* stream = server->stream.get();
      if (stream == nullptr) continue;
      if (stream->ended()) {
        CloseStream(*server, now);
      } else if (stream->connecting() && now - stream->opened_at() > zc::Scaled(kConnectTimeout)) {
        stream->End(StreamEnd::kTimeout, "server " + server->display + " connect timeout.");
        CloseStream(*server, now);
      } else if (server->config->type == UpstreamType::kHttps && stream->ready() &&
                 now - std::max(stream->last_receive(), stream->opened_at()) >
                     zc::Scaled(kHttpsIdleTimeout)) {
        stream->End(StreamEnd::kIdle, "server " + server->display + " idle.");
        CloseStream(*server, now);
      }
    }
  }
  if (beats_ % 600 == 0) {
    for (auto& server : servers_) {
      if (server->stream && server->stream->ready() &&
          server->last_send - server->last_receive > zc::Scaled(kFailureWindow)) {
        server->stream->End(StreamEnd::kTimeout, "server " + server->display + " may failure.");
        CloseStream(*server, now);
      }
    }
  }
  if (beats_ % 30 == 0 && resolve_tick_) resolve_tick_();
}

}  // namespace zc::dns
