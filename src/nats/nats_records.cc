// The connection records and their locking.
#include <vector>

#include "nats/nats_internal.h"
#include "utils/log.h"

NatsConnContext nats_bootstrap(NatsRole::kBootstrap, "bootstrap");
NatsConnContext nats_msg(NatsRole::kMessage, "msg");
NatsConnContext NatsCmdConn(NatsRole::kCommand, "cmd");
NatsConnContext nats_edge(NatsRole::kEdge, "edge");

const char* const sNatsHeaderFields[4] = {kHdrContentTypeVersion, kHdrTraceId, kHdrSenderId,
                                          kHdrContentType};

NatsHeaders NatsClientHeaders(const std::string& traceId, const std::string& senderMac) {
  return {{sNatsHeaderFields[0], "2.0"},
          {sNatsHeaderFields[1], traceId.c_str()},
          {sNatsHeaderFields[2], senderMac.c_str()},
          {sNatsHeaderFields[3], "proto"}};
}

const char* NatsStatusText(natsStatus status) {
  const char* text = natsStatus_GetText(status);
  return text ? text : "";
}

namespace {
std::mutex gRetiredMutex;
std::vector<std::shared_ptr<NatsConnContext::State>> gRetired;
}  // namespace

void NatsRetireState(std::shared_ptr<NatsConnContext::State> state) {
  if (!state) return;
  std::lock_guard lock(gRetiredMutex);
  gRetired.push_back(std::move(state));
}

NatsConnContext::NatsConnContext(NatsRole role, const char* label) : role_(role), label_(label) {}

NatsConnContext::~NatsConnContext() = default;

void NatsConnContext::Clear() {
  if (IsAlias()) {
    NatsSessionAccess::DropAlias(*this);
  } else if (NatsSessionAccess::CurrentState(*this)) {
    NatsDestroy(*this);
  }
  std::lock_guard lock(mutex_);
  config_ = NatsConnConfig{};
  clientId_ = 0;
}

void NatsConnContext::Configure(const NatsConnConfig& config) {
  std::lock_guard lock(mutex_);
  config_ = config;
}

NatsConnConfig NatsConnContext::Config() const {
  const NatsConnContext* target = Resolve();
  std::lock_guard lock(target->mutex_);
  return target->config_;
}

std::string NatsConnContext::Name() const {
  return Config().name;
}

void NatsConnContext::ClearName() {
  std::lock_guard lock(mutex_);
  config_.name.clear();
}

uint64_t NatsConnContext::ClientId() const {
  return Resolve()->clientId_.load();
}

zc::nats::ConnectionRef NatsConnContext::Connection() const {
  zc::nats::ConnectionRef connection;
  NatsSessionAccess::CurrentState(*this, &connection);
  return connection;
}

void NatsConnContext::SetAliasOf(NatsConnContext& target) {
  if (&target == this) return;
  std::lock_guard lock(mutex_);
  alias_ = &target;
}

bool NatsConnContext::IsAlias() const {
  std::lock_guard lock(mutex_);
  return alias_ != nullptr;
}

const NatsConnContext* NatsConnContext::Resolve() const {
  std::lock_guard lock(mutex_);
  return alias_ ? alias_ : this;
}

std::shared_ptr<NatsConnContext::State> NatsSessionAccess::CurrentState(
    const NatsConnContext& record, zc::nats::ConnectionRef* connection) {
  const NatsConnContext* target = record.Resolve();
  std::lock_guard lock(target->mutex_);
  if (connection && target->state_) *connection = target->state_->connection;
  return target->state_;
}

void NatsSessionAccess::Attach(NatsConnContext& record, std::shared_ptr<State> state) {
  std::shared_ptr<State> previous;
  {
    std::lock_guard lock(record.mutex_);
    previous = std::move(record.state_);
    record.state_ = std::move(state);
  }
  NatsRetireState(std::move(previous));
}

std::shared_ptr<NatsConnContext::State> NatsSessionAccess::DetachForTeardown(
    NatsConnContext& record) {
  std::lock_guard lock(record.mutex_);
  if (record.state_) record.state_->closingOnPurpose = true;
  return std::move(record.state_);
}

bool NatsSessionAccess::DropAlias(NatsConnContext& record) {
  std::lock_guard lock(record.mutex_);
  bool was = record.alias_ != nullptr;
  record.alias_ = nullptr;
  return was;
}

void NatsSessionAccess::StoreSubscription(NatsSubTable& table, int index,
                                          zc::nats::SubscriptionPtr sub) {
  std::lock_guard lock(table.mutex_);
  table.subscriptions_[index] = std::move(sub);
}

zc::nats::SubscriptionPtr NatsSessionAccess::TakeSubscription(NatsSubTable& table, int index) {
  std::lock_guard lock(table.mutex_);
  return std::move(table.subscriptions_[index]);
}
