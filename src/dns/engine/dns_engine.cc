// Engine lifecycle and the epoll loop: start order, the task queue, the 100 ms beat, stop.
#include "dns/engine/dns_engine.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cstring>

#include "dns/cache/answer_cache.h"
#include "dns/engine/engine_core.h"
#include "dns/prober/speed_checker.h"
#include "utils/log.h"
#include "utils/paths.h"
#include "utils/timescale.h"

namespace zc::dns {

namespace {

constexpr uint64_t kTagShift = 56;
constexpr uint64_t kTagWake = 1ull << kTagShift;
constexpr uint64_t kTagBeat = 2ull << kTagShift;
constexpr uint64_t kTagUdp = 3ull << kTagShift;
constexpr uint64_t kTagTcpListen = 4ull << kTagShift;
constexpr uint64_t kTagTcpClient = 5ull << kTagShift;
constexpr uint64_t kTagMask = 0xFFull << kTagShift;
constexpr std::chrono::seconds kClockJump{180};

std::string NameOrEmpty(int (*get)(char*, size_t)) {
  char buf[256] = {};
  if (get(buf, sizeof buf - 1) != 0) return {};
  std::string s(buf);
  return s == "(none)" ? std::string() : s;
}

std::vector<sockaddr_storage> LocalAddresses() {
  std::vector<sockaddr_storage> out;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr) continue;
    int family = i->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    sockaddr_storage s{};
    std::memcpy(&s, i->ifa_addr, family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
    out.push_back(s);
  }
  freeifaddrs(list);
  return out;
}

// Whether this process may send ICMP echo: a raw socket, or the unprivileged datagram kind.
bool IcmpAvailable() {
  for (int type : {SOCK_RAW, SOCK_DGRAM}) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd >= 0) {
      close(fd);
      return true;
    }
  }
  LogOut(LL_WARN,
         "unpriviledged ping is disabled, please enable by setting net.ipv4.ping_group_range");
  return false;
}

}  // namespace

uint64_t TcpClientTag(uint64_t id) {
  return kTagTcpClient | id;
}

DnsEngine::Core::Core(DnsEngineOptions opts, uint64_t gen)
    : options(std::move(opts)), generation(gen) {
  if (!options.cache) own_cache = std::make_unique<DnsAnswerCache>();
  cache = options.cache ? options.cache : own_cache.get();
  if (!options.speed) own_speed = std::make_unique<ProbeSpeedChecker>();
  speed = options.speed ? options.speed : own_speed.get();
}

DnsEngine::Core::~Core() {
  Stop();
}

bool DnsEngine::Core::Start(std::string* error) {
  conf.icmp_available = IcmpAvailable();
  if (!LoadDnsConf(options.conf_path, &conf, error)) {
    LogOut(LL_ERR, "load config failed.\n");
    return false;
  }
  if (conf.binds.empty()) {
    *error = options.conf_path + ": no listener configured (no bind or bind-tcp line)";
    LogOut(LL_ERR, "DnsEngine::Start: %s", error->c_str());
    return false;
  }
  if (options.apply_log_level) g_loglevel.store(conf.log_level);
  OpenLog();
  // From here on this thread's lines, and those of every thread the engine starts, go to the
  // engine's log too.
  LogTapScope log_scope(log);
  if (!conf.icmp_available) {
    // The default orders start with ping; without ICMP they are the TCP checks alone.
    SpeedCheckOrders kept{};
    int n = 0;
    for (const SpeedCheckOrder& o : conf.orders) {
      if (o.kind == SpeedCheckOrder::Kind::kNone) break;
      if (o.kind != SpeedCheckOrder::Kind::kPing) kept[n++] = o;
    }
    conf.orders = kept;
    LogOut(LL_WARN,
           "speed check by ping is disabled because zundns does not have network raw privileges");
  }
  if (!conf.user.empty() && options.user_applied) {
    LogOut(LL_INFO, "DnsEngine: running as user %s", conf.user.c_str());
  } else if (!conf.user.empty()) {
    LogOut(LL_NOTICE, "DnsEngine: user %s ignored, the engine keeps the process credentials",
           conf.user.c_str());
  }
  own_addresses = LocalAddresses();
  if (conf.upstream.servers.empty() && LoadResolvConf(&conf) == 0) {
    LogOut(LL_ERR, "load dns from resolv failed.");
  }
  // An upstream that is one of our own listeners would forward every query back to us.
  auto& servers = conf.upstream.servers;
  for (auto it = servers.begin(); it != servers.end();) {
    bool own = false;
    for (const BindConfig& b : conf.binds) own = own || SameListenerAddress(*it, b, own_addresses);
    if (own) {
      LogOut(LL_WARN, "DnsEngine: upstream %s:%u is this engine's own listener, skipped",
             it->host.c_str(), it->port ? it->port : UpstreamDefaultPort(it->type));
      it = servers.erase(it);
    } else {
      ++it;
    }
  }
  router_domain = NameOrEmpty(getdomainname);
  std::string host = NameOrEmpty(gethostname);
  router_name = !conf.server_name.empty() ? conf.server_name
                : !router_domain.empty()  ? router_domain
                : !host.empty()           ? host
                                          : "zundns";
  for (const std::string& own : {std::string("zundns"), conf.server_name, host}) {
    if (own.empty()) continue;
    if (DomainRule* rule = conf.domain_rules.Get(own)) {
      rule->flags |= kRuleOwnAddress;
      rule->mask |= kRuleOwnAddress;
    }
  }
  if (conf.audit_enable) {
    std::string path = conf.audit_file.empty() ? "/tmp/zundns-audit.log" : conf.audit_file;
    if (!audit.Open(zc::RootPath(path), conf.audit_size, conf.audit_num)) {
      *error = "init audit failed: " + path;
      return false;
    }
  }
  if (!conf.lease_file.empty()) {
    lease.SetPath(zc::RootPath(conf.lease_file));
    lease.Load(&hosts, router_domain);
  }

  epoll_fd.Reset(epoll_create1(EPOLL_CLOEXEC));
  wake_fd.Reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  beat_fd.Reset(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
  if (!epoll_fd.valid() || !wake_fd.valid() || !beat_fd.valid()) {
    *error = std::string("create epoll failed, ") + std::strerror(errno);
    LogOut(LL_ERR, "create epoll failed, %s\n", std::strerror(errno));
    return false;
  }
  auto beat = zc::Scaled(kBeat);
  itimerspec period{};
  period.it_interval.tv_sec = beat.count() / 1000;
  period.it_interval.tv_nsec = (beat.count() % 1000) * 1000000;
  period.it_value = period.it_interval;
  timerfd_settime(beat_fd.get(), 0, &period, nullptr);
  epoll_event ev{};
  // Edge-triggered: every write to the eventfd is a new event, so it is never read back (a
  // system call less on every wake by another thread).
  ev.events = EPOLLIN | EPOLLET;
  ev.data.u64 = kTagWake;
  epoll_ctl(epoll_fd.get(), EPOLL_CTL_ADD, wake_fd.get(), &ev);
  ev.events = EPOLLIN;
  ev.data.u64 = kTagBeat;
  epoll_ctl(epoll_fd.get(), EPOLL_CTL_ADD, beat_fd.get(), &ev);

  if (!OpenListeners(error)) {
    LogOut(LL_ERR, "start dns server failed.\n");
    return false;
  }
  for (size_t i = 0; i < listeners.size(); i++) {
    ev.events = EPOLLIN;
    ev.data.u64 = (listeners[i].conf.transport == Transport::kUdp ? kTagUdp : kTagTcpListen) | i;
    if (epoll_ctl(epoll_fd.get(), EPOLL_CTL_ADD, listeners[i].fd.get(), &ev) != 0) {
      *error = std::string("epoll ctl failed, ") + std::strerror(errno);
      LogOut(LL_ERR, "epoll ctl failed, fd = %d, %s", listeners[i].fd.get(), std::strerror(errno));
      return false;
    }
  }

  {
    std::lock_guard lock(task_mutex);
    accepting_tasks = true;
  }
  // Speed-check results come from the prober's thread; Detach() in Stop() ends them.
  speed_attached = speed->Attach(generation, conf.orders, [this](SpeedResult result) {
    Post([this, result = std::move(result)] { OnSpeedResult(result); });
  });
  upstream = std::make_unique<UpstreamClient>(
      conf.upstream, [this](std::function<void()> task) { Post(std::move(task)); },
      [this](const std::string& name, uint16_t qtype, std::function<void(std::string)> done) {
        // Called on the engine thread: an upstream given by name is resolved through ourselves.
        StartInternal(name, qtype,
                      [done = std::move(done)](int, std::string address) { done(address); });
      });
  std::string why;
  if (!upstream->Start(&why)) {
    *error = "start dns client failed: " + why;
    LogOut(LL_ERR, "start dns client failed.\n");
    return false;
  }
  CacheSettings cs;
  cs.size = conf.cache_size;
  cs.serve_expired = conf.serve_expired;
  cs.serve_expired_ttl = conf.serve_expired_ttl;
  cs.prefetch = conf.prefetch_domain;
  cs.serve_expired_prefetch_time = conf.serve_expired_prefetch_time;
  cs.persist = conf.cache_persist != 0;
  cs.file = conf.cache_file;
  cs.max_ttl = conf.rr_ttl > 0 ? conf.rr_ttl : conf.rr_ttl_max;
  cache->Open(cs, [this](const CacheKey& key, uint32_t flags, bool expired) {
    StartRefresh(key, flags, expired);
  });
  cache_open = true;
  last_lease_check = last_sweep = now = Clock::now();
  last_wall = time(nullptr);
  stop = false;
  running = true;
  thread = std::thread([this] {
    LogSetThreadTap(log);
    Run();
  });
  return true;
}

void DnsEngine::Core::OpenLog() {
  std::string path = conf.log_file.empty() ? kDefaultEngineLogFile : conf.log_file;
  auto opened = std::make_shared<EngineLog>(conf.log_level);
  if (opened->Open(zc::RootPath(path), conf.log_size, conf.log_num)) {
    log = std::move(opened);
    return;
  }
  // A log file that cannot be had (a link or a directory planted at its path, say) must not
  // keep the LAN without DNS: the engine runs on, logging to its other outputs only.
  LogOut(LL_ERR, "start tlog failed.\n");
  LogOut(LL_ERR, "DnsEngine::Start: log file %s: %s", path.c_str(), std::strerror(errno));
}

void DnsEngine::Core::Stop() {
  LogTapScope log_scope(log);
  stop = true;
  if (thread.joinable()) {
    uint64_t one = 1;
    if (write(wake_fd.get(), &one, sizeof one) < 0) {
      LogOut(LL_ERR, "%s: wake failed: %s", __func__, std::strerror(errno));
    }
    thread.join();
  }
  if (upstream) {
    upstream->Stop();
    upstream.reset();
  }
  if (speed_attached) {
    speed_attached = false;
    speed->Detach();
  }
  if (cache_open) {
    cache_open = false;
    cache->Close();  // saves the cache file
  }
  {
    std::lock_guard lock(task_mutex);
    accepting_tasks = false;
    tasks.clear();
  }
  if (options.verdict) options.verdict->Purge(generation);
  audit.Close();
  ipset.reset();  // sends what is queued
  requests.clear();
  deadlines.clear();
  merges.Clear();
  tcp_clients.clear();
  listeners.clear();
  beat_fd.Reset();
  wake_fd.Reset();
  epoll_fd.Reset();
  running = false;
  if (log) log->Close();  // written out; later lines of this engine are dropped
}

void DnsEngine::Core::Post(std::function<void()> task) {
  bool wake = false;
  {
    std::lock_guard lock(task_mutex);
    if (!accepting_tasks) return;
    wake = tasks.empty();
    tasks.push_back(std::move(task));
  }
  if (wake) {
    uint64_t one = 1;
    if (write(wake_fd.get(), &one, sizeof one) < 0 && errno != EAGAIN) {
      LogOut(LL_ERR, "%s: wake failed: %s", __func__, std::strerror(errno));
    }
  }
}

void DnsEngine::Core::DrainTasks() {
  std::vector<std::function<void()>> batch;
  {
    std::lock_guard lock(task_mutex);
    batch.swap(tasks);
  }
  for (auto& task : batch) {
    if (stop) break;
    task();
  }
}

void DnsEngine::Core::Run() {
  LogOut(LL_INFO, "DnsEngine: listening (generation %llu)",
         static_cast<unsigned long long>(generation));
  epoll_event events[kMaxEpollEvents];
  while (!stop) {
    int n = epoll_wait(epoll_fd.get(), events, kMaxEpollEvents, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      LogOut(LL_ERR, "%s: epoll_wait failed: %s", __func__, std::strerror(errno));
      zc::SleepScaled(kBeat);
      continue;
    }
    now = Clock::now();
    cache->SetTime(now);
    for (int i = 0; i < n && !stop; i++) {
      uint64_t tag = events[i].data.u64;
      uint64_t low = tag & ~kTagMask;
      switch (tag & kTagMask) {
        case kTagWake:
          DrainTasks();
          break;
        case kTagBeat: {
          uint64_t expirations = 0;
          if (read(beat_fd.get(), &expirations, sizeof expirations) > 0) OnBeat(now);
          break;
        }
        case kTagUdp:
          OnUdpReadable(low);
          break;
        case kTagTcpListen:
          OnTcpAccept(low);
          break;
        case kTagTcpClient:
          OnTcpEvent(low, events[i].events);
          break;
        default:
          LogOut(LL_ERR, "invalid fd\n");
          break;
      }
    }
    FlushUdp();
  }
  FlushUdp();
  LogOut(LL_INFO, "DnsEngine: loop ended (generation %llu)",
         static_cast<unsigned long long>(generation));
}

void DnsEngine::Core::OnBeat(Clock::time_point now) {
  beats++;
  DualStackBeat(now);
  ExpireRequests(now);
  // A slice of the cache every beat, a whole pass every 2 s: a large cache never stalls the
  // loop for the length of a full walk.
  if (beats % 10 != 0) {
    cache->Sweep(false);
    return;
  }
  time_t wall = time(nullptr);
  bool jumped = wall - last_wall > kClockJump.count() || wall < last_wall;
  last_wall = wall;
  if (jumped) {
    LogOut(LL_WARN, "Service paused for 180s, force invalidate cache.");
    cache->Sweep(true);
  } else {
    cache->Sweep(false);
  }
  last_sweep = now;
  if (conf.tcp_idle_time > 0) CloseIdleTcpClients(now);
  if (!conf.lease_file.empty() && now - last_lease_check >= zc::Scaled(kLeaseCheckEvery)) {
    last_lease_check = now;
    auto settle = std::chrono::duration_cast<std::chrono::seconds>(zc::Scaled(kLeaseSettle));
    if (lease.ReloadIfChanged(&hosts, router_domain, wall, settle.count())) {
      LogOut(LL_INFO, "Update host file data");
    }
  }
}

// --- DnsEngine ---------------------------------------------------------------------------------

DnsEngine::DnsEngine(DnsEngineOptions options) : options_(std::move(options)) {}

DnsEngine::~DnsEngine() {
  Stop();
}

bool DnsEngine::Start(std::string* error) {
  std::string ignored;
  if (!error) error = &ignored;
  uint64_t generation;
  {
    std::lock_guard lock(core_mutex_);
    if (core_) {
      *error = "already running";
      return false;
    }
    generation = ++generation_;
  }
  auto core = std::make_unique<Core>(options_, generation);
  if (!core->Start(error)) {
    core->Stop();
    return false;
  }
  std::lock_guard lock(core_mutex_);
  core_ = std::move(core);
  return true;
}

void DnsEngine::Stop() {
  std::unique_ptr<Core> core;
  {
    std::lock_guard lock(core_mutex_);
    core = std::move(core_);
  }
  if (core) core->Stop();
}

bool DnsEngine::running() const {
  std::lock_guard lock(core_mutex_);
  return core_ && core_->running;
}

void DnsEngine::Post(std::function<void()> task) {
  std::lock_guard lock(core_mutex_);
  if (core_) core_->Post(std::move(task));
}

void DnsEngine::PostVerdict(DnsRequestHandle handle, DnsVerdict verdict) {
  std::lock_guard lock(core_mutex_);
  if (!core_ || handle.generation != generation_) return;
  Core* core = core_.get();
  core->Post([core, handle, verdict] { core->OnVerdict(handle.id, verdict); });
}

void DnsEngine::Query(const std::string& domain, uint16_t qtype,
                      std::function<void(int, std::string)> done) {
  std::lock_guard lock(core_mutex_);
  if (!core_) return;
  Core* core = core_.get();
  core->Post([core, domain, qtype, done = std::move(done)]() mutable {
    core->StartInternal(domain, qtype, std::move(done));
  });
}

std::vector<sockaddr_storage> DnsEngine::BoundAddresses() const {
  std::lock_guard lock(core_mutex_);
  std::vector<sockaddr_storage> out;
  if (core_) {
    for (const Listener& l : core_->listeners) out.push_back(l.bound);
  }
  return out;
}

DnsEngineStats DnsEngine::Stats() const {
  std::lock_guard lock(core_mutex_);
  if (!core_) return {};
  std::lock_guard stats_lock(core_->stats_mutex);
  return core_->stats;
}

uint64_t DnsEngine::generation() const {
  std::lock_guard lock(core_mutex_);
  return generation_;
}

}  // namespace zc::dns
