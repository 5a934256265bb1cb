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

#include "dns/upstream/upstream_worker_internal.h"
#include "utils/log.h"
#include "utils/timescale.h"
#include "utils/uuid.h"

namespace zc::dns {

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
    // The wake eventfd is edge-triggered: every write is a new event, and it is never read.
    event.events = kind == kTagWake ? EPOLLIN | EPOLLET : EPOLLIN;
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
    server->http2 = record.http2;
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
    // The engine's log follows the engine onto this thread.
    thread_ = std::thread([this, tap = LogThreadTap()] {
      LogSetThreadTap(tap);
      Run();
    });
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
    server->draining.clear();
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
  pthread_setname_np(pthread_self(), "zc-upstream");
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
    for (int i = 0; i < n && !stop_.load(); ++i) {
      HandleEvent(events[i].data.u64, events[i].events, now);
    }
    if (!outbox_.empty() && !stop_.load()) {
      Results results;
      results.swap(outbox_);
      deliver_(std::move(results));
    }
  }
}

UpstreamWorker::Server* UpstreamWorker::ServerFor(uint64_t tag) {
  size_t index = ServerOf(tag);
  return index < servers_.size() ? servers_[index].get() : nullptr;
}

void UpstreamWorker::HandleEvent(uint64_t tag, uint32_t events, Clock::time_point now) {
  switch (KindOf(tag)) {
    case kTagWake:
      DrainCommands(now);
      return;
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
      SharedSocket socket;
      if (server->udp.tag == tag && server->udp.open()) {
        socket = server->udp.socket;
      } else {
        for (auto& port : server->retired) {
          if (port.tag == tag) socket = port.socket;
        }
      }
      if (!socket) return;  // a port closed earlier in this wake
      if (events & EPOLLERR) OnUdpErrors(*server, *socket, tag, now);
      if (events & EPOLLIN) OnUdpReadable(*server, *socket, tag, now);
      return;
    }
    case kTagStream: {
      Server* server = ServerFor(tag);
      StreamConnection* stream = server ? server->StreamFor(tag) : nullptr;
      if (stream == nullptr) return;
      stream->OnEvent(events, now);
      if (stream != server->stream.get()) {
        SweepDraining(*server, now, false);
      } else if (stream->ended()) {
        CloseStream(*server, now);
      }
      if (!resend_.empty()) ResendAfterSwitch(now);
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
    // Queued datagrams refer to their queries: send them before a command can change those.
    if (command.kind != Command::Kind::kSubmit) FlushUdp();
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
  FlushUdp();
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
    Emit(command.handle, std::move(done));
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
  if (g_loglevel.load(std::memory_order_relaxed) <= LL_DEBUG) {  // the name text costs
    LogOut(LL_DEBUG, "send request %s, qtype %d, id %d", WireNameText(query.key.name).c_str(),
           query.key.qtype, id);
  }
  if (SendRound(query, now) == 0) {
    LogOut(LL_WARN, "Send query to upstream server failed, total server number %zu",
           query.legs.size());
    Finish(id);
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
  ReleaseUdpPorts(server, *leg);
  ++query.answers;
  answers_.fetch_add(1, std::memory_order_relaxed);
  UpstreamResult result;
  result.event = UpstreamEvent::kAnswer;
  result.server = server.index;
  result.server_flags = server.config->flags;
  result.packet = std::move(message);
  SetMessageId(result.packet, query.caller_id);
  result.rtt = std::chrono::duration_cast<std::chrono::microseconds>(now - query.first_send);
  Emit(query.handle, std::move(result));
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
  Emit(handle, std::move(done));
}

void UpstreamWorker::OnBeat(Clock::time_point now) {
  ++beats_;
  std::vector<uint16_t> finished;
  for (auto& [id, query] : queries_) {
    // Resends and the end are due at fixed times after the first send (every 500 ms, the end
    // at 2 s), not 500 ms after whenever the beat last came round: late beats do not add up.
    int checks = kRetryBudget - query.budget;
    if (now - query.first_send < zc::Scaled(kRetryInterval) * (checks + 1)) continue;
    --query.budget;
    for (QueryLeg& leg : query.legs) {
      Server& server = *servers_[leg.server];
      if (server.config->type == UpstreamType::kUdp && server.udp.open() &&
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
  FlushUdp();
  for (uint16_t id : finished) Finish(id);

  if (beats_ % 10 == 0) {
    for (auto& server : servers_) {
      for (auto it = server->retired.begin(); it != server->retired.end();) {
        it = now >= it->close_at ? server->retired.erase(it) : it + 1;
      }
      SweepDraining(*server, now, true);
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
