#include "dns/upstream/upstream_client.h"

#include <map>
#include <unordered_map>

#include "dns/upstream/upstream_message.h"
#include "dns/upstream/upstream_worker.h"
#include "utils/log.h"

namespace zc::dns {

namespace {

// Attempts to resolve a server given by host name before it is given up.
constexpr int kMaxResolveAttempts = 40;
constexpr uint16_t kTypeA = 1;
constexpr uint16_t kTypeAAAA = 28;

}  // namespace

// Everything the engine thread touches. Tasks posted by the work thread hold a weak reference,
// so a task that runs after Stop() or after the client is gone does nothing.
struct EngineSide {
  UpstreamClientConfig config;
  UpstreamClient::PostFn post;
  UpstreamClient::ResolveFn resolve;
  std::vector<UpstreamServerInfo> servers;
  std::map<std::string, std::vector<uint16_t>, std::less<>> groups;
  struct Waiting {
    std::shared_ptr<UpstreamCallback> callback;
    // Its last result is in the batch being delivered: a cancel needs no word to the worker.
    bool ending = false;
  };
  std::unordered_map<UpstreamQueryId, Waiting> callbacks;
  UpstreamQueryId last_id = 0;
  struct Pending {
    bool busy = false;
    int attempts = 0;
  };
  std::vector<Pending> pending;
  bool stopped = false;
  UpstreamCounters final_counters;
  std::unique_ptr<UpstreamWorker> worker;  // last member: stops before the rest goes

  void Deliver(UpstreamWorker::Results& results);
  void Deliver(UpstreamQueryId id, UpstreamResult&& result);
  void ResolvePending(const std::shared_ptr<EngineSide>& self);
  void OnResolved(const std::shared_ptr<EngineSide>& self, size_t server, uint16_t qtype,
                  const std::string& address);
  const std::vector<uint16_t>* PickGroup(std::string_view name) const;
};

struct UpstreamClient::Impl {
  std::shared_ptr<EngineSide> side = std::make_shared<EngineSide>();
  bool started = false;
};

void EngineSide::Deliver(UpstreamWorker::Results& results) {
  // A query the engine ends while its answer is handled (the usual case: the first answer is
  // the reply) is over in the worker too once its done result is here; cancelling it there
  // would only wake the worker for nothing.
  for (auto& [id, result] : results) {
    if (result.event != UpstreamEvent::kDone) continue;
    auto found = callbacks.find(id);
    if (found != callbacks.end()) found->second.ending = true;
  }
  for (auto& [id, result] : results) Deliver(id, std::move(result));
}

void EngineSide::Deliver(UpstreamQueryId id, UpstreamResult&& result) {
  if (stopped) return;
  auto found = callbacks.find(id);
  if (found == callbacks.end()) return;  // cancelled
  std::shared_ptr<UpstreamCallback> callback = found->second.callback;
  if (result.event == UpstreamEvent::kDone) callbacks.erase(found);
  (*callback)(std::move(result));
}

void EngineSide::ResolvePending(const std::shared_ptr<EngineSide>& self) {
  if (stopped || !resolve) return;
  for (size_t i = 0; i < servers.size(); ++i) {
    if (!servers[i].address.empty() || pending[i].busy ||
        pending[i].attempts >= kMaxResolveAttempts) {
      continue;
    }
    pending[i].busy = true;
    std::weak_ptr<EngineSide> weak = self;
    resolve(servers[i].name, kTypeA, [weak, i](std::string address) {
      if (auto side = weak.lock()) side->OnResolved(side, i, kTypeA, address);
    });
  }
}

void EngineSide::OnResolved(const std::shared_ptr<EngineSide>& self, size_t server, uint16_t qtype,
                            const std::string& address) {
  if (stopped || server >= servers.size()) return;
  UpstreamServerInfo& info = servers[server];
  sockaddr_storage sa{};
  socklen_t length = 0;
  if (!address.empty() && MakeSockaddr(address, info.port, &sa, &length)) {
    pending[server].busy = false;
    info.address = address;
    worker->SetAddress(server, sa, length);
    LogOut(LL_NOTICE, "add server %s:%d, type: %s (%s)", info.name.c_str(), info.port,
           UpstreamTypeName(info.type), address.c_str());
    return;
  }
  if (qtype == kTypeA) {
    std::weak_ptr<EngineSide> weak = self;
    resolve(info.name, kTypeAAAA, [weak, server](std::string next) {
      if (auto side = weak.lock()) side->OnResolved(side, server, kTypeAAAA, next);
    });
    return;
  }
  pending[server].busy = false;
  int attempt = ++pending[server].attempts;
  if (attempt < kMaxResolveAttempts) {
    LogOut(LL_WARN, "add pending DNS server %s failed, retry %d...", info.name.c_str(), attempt);
  } else {
    LogOut(LL_ERR, "add pending DNS server %s failed", info.name.c_str());
  }
}

const std::vector<uint16_t>* EngineSide::PickGroup(std::string_view name) const {
  auto usable = [this](const std::vector<uint16_t>& list) {
    for (uint16_t index : list) {
      if (!servers[index].address.empty()) return true;
    }
    return false;
  };
  if (!name.empty() && name != kDefaultGroup) {
    auto group = groups.find(name);
    if (group != groups.end() && usable(group->second)) {
      LogOut(LL_DEBUG, "send query to group %.*s", static_cast<int>(name.size()), name.data());
      return &group->second;
    }
  }
  auto fallback = groups.find(kDefaultGroup);
  if (fallback == groups.end() || !usable(fallback->second)) {
    LogOut(LL_WARN, "get dns server group %.*s failed.", static_cast<int>(name.size()),
           name.data());
    return nullptr;
  }
  return &fallback->second;
}

UpstreamClient::UpstreamClient(UpstreamClientConfig config, PostFn post, ResolveFn resolve)
    : impl_(std::make_unique<Impl>()) {
  EngineSide& side = *impl_->side;
  side.config = std::move(config);
  side.post = std::move(post);
  side.resolve = std::move(resolve);
}

UpstreamClient::~UpstreamClient() {
  Stop();
}

bool UpstreamClient::Start(std::string* error) {
  std::shared_ptr<EngineSide> side = impl_->side;
  if (impl_->started || side->stopped) {
    *error = "upstream client already started";
    return false;
  }
  if (side->config.servers.size() > kMaxUpstreamServers) {
    LogOut(LL_WARN, "UpstreamClient::Start: exceeds max server number, %zu servers, using %zu",
           side->config.servers.size(), kMaxUpstreamServers);
    side->config.servers.resize(kMaxUpstreamServers);
  }
  side->groups[std::string(kDefaultGroup)];
  bool any_pending = false;
  for (size_t i = 0; i < side->config.servers.size(); ++i) {
    const UpstreamServerConfig& record = side->config.servers[i];
    UpstreamServerInfo info;
    info.name = record.host;
    info.port = record.port ? record.port : UpstreamDefaultPort(record.type);
    info.type = record.type;
    info.flags = record.flags;
    sockaddr_storage unused{};
    socklen_t length = 0;
    if (MakeSockaddr(record.host, info.port, &unused, &length)) {
      info.address = record.host;
      LogOut(LL_NOTICE, "add server %s:%d, type: %s", record.host.c_str(), info.port,
             UpstreamTypeName(record.type));
    } else {
      any_pending = true;
      LogOut(LL_NOTICE, "add pending server %s", record.host.c_str());
    }
    side->servers.push_back(std::move(info));
    auto join = [&](const std::string& name) {
      if (name.empty() || name.size() > kMaxGroupNameLength) {
        LogOut(LL_WARN, "UpstreamClient::Start: group name \"%s\" is invalid, skipped",
               name.c_str());
        return;
      }
      std::vector<uint16_t>& members = side->groups[name];
      if (members.size() >= kMaxServersPerGroup) {
        LogOut(LL_WARN, "add server %s to group %s failed", record.host.c_str(), name.c_str());
        return;
      }
      if (std::find(members.begin(), members.end(), i) == members.end()) {
        members.push_back(static_cast<uint16_t>(i));
      }
    };
    if (!record.exclude_default_group) join(std::string(kDefaultGroup));
    for (const std::string& group : record.groups) join(group);
  }
  side->pending.resize(side->servers.size());

  std::weak_ptr<EngineSide> weak = side;
  PostFn post = side->post;
  auto deliver = [weak, post](UpstreamWorker::Results&& results) {
    post([weak, results = std::move(results)]() mutable {
      if (auto engine = weak.lock()) engine->Deliver(results);
    });
  };
  UpstreamWorker::TickFn tick;
  if (any_pending && side->resolve) {
    tick = [weak, post] {
      post([weak] {
        if (auto engine = weak.lock()) engine->ResolvePending(engine);
      });
    };
  }
  side->worker = std::make_unique<UpstreamWorker>(side->config, std::move(deliver), tick);
  if (!side->worker->Start(error)) {
    side->worker.reset();
    return false;
  }
  impl_->started = true;
  if (tick) tick();  // first attempt now, then every 3 s
  return true;
}

UpstreamQueryId UpstreamClient::Query(std::string_view group, std::span<const uint8_t> query,
                                      UpstreamCallback callback) {
  EngineSide& side = *impl_->side;
  if (!impl_->started || side.stopped) return 0;
  static thread_local DnsQuestionKey key;  // its name buffer is kept from query to query
  if (query.size() > kMaxUpstreamQuerySize) {
    LogOut(LL_WARN, "UpstreamClient::Query: packet size is invalid, %zu bytes", query.size());
    return 0;
  }
  if (!ReadQuestionKey(query, &key) || key.response) {
    LogOut(LL_WARN, "UpstreamClient::Query: malformed query of %zu bytes", query.size());
    return 0;
  }
  const std::vector<uint16_t>* members = side.PickGroup(group);
  if (members == nullptr) return 0;
  std::vector<uint16_t> servers;
  servers.reserve(members->size());
  for (uint16_t index : *members) {
    if (!side.servers[index].address.empty()) servers.push_back(index);
  }
  UpstreamQueryId id = ++side.last_id;
  side.callbacks.emplace(
      id, EngineSide::Waiting{std::make_shared<UpstreamCallback>(std::move(callback))});
  side.worker->Submit(id, std::move(servers), std::vector<uint8_t>(query.begin(), query.end()));
  return id;
}

void UpstreamClient::Cancel(UpstreamQueryId id) {
  EngineSide& side = *impl_->side;
  auto found = side.callbacks.find(id);
  if (found == side.callbacks.end()) return;
  bool ending = found->second.ending;
  side.callbacks.erase(found);
  if (!ending && side.worker) side.worker->Cancel(id);
}

void UpstreamClient::Stop() {
  EngineSide& side = *impl_->side;
  if (side.stopped) return;
  side.stopped = true;
  if (side.worker) {
    side.worker->Stop();
    side.final_counters = side.worker->Counters();
    side.worker.reset();
  }
  side.callbacks.clear();
}

size_t UpstreamClient::ServerCount() const {
  return impl_->side->servers.size();
}

const UpstreamServerInfo& UpstreamClient::Server(size_t index) const {
  return impl_->side->servers.at(index);
}

UpstreamCounters UpstreamClient::Counters() const {
  const EngineSide& side = *impl_->side;
  return side.worker ? side.worker->Counters() : side.final_counters;
}

}  // namespace zc::dns
