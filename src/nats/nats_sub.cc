// Subscription tables, their dispatcher and the automatic "ACK" reply.
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <future>
#include <limits>
#include <memory>

#include "nats/nats_internal.h"
#include "utils/kvp.h"
#include "utils/log.h"
#include "utils/timescale.h"

namespace {

// How long NatsDestroySub waits for a subscription's last running handler.
constexpr std::chrono::seconds kHandlerDrainWait{5};

// What the calling delivery thread is dispatching.
thread_local const char* tDispatchSubject = nullptr;
thread_local natsSubscription* tDispatchSubscription = nullptr;
thread_local const NatsSubTable* tDispatchTable = nullptr;

struct DispatchScope {
  DispatchScope(const char* subject, natsSubscription* sub, const NatsSubTable* table) {
    tDispatchSubject = subject;
    tDispatchSubscription = sub;
    tDispatchTable = table;
  }
  ~DispatchScope() {
    tDispatchSubject = nullptr;
    tDispatchSubscription = nullptr;
    tDispatchTable = nullptr;
  }
};

// The closure is the slot the subscription was made for: the handler is known even for a message
// delivered before natsConnection_Subscribe has returned.
void onMsg(natsConnection* nc, natsSubscription* sub, natsMsg* msg, void* closure) {
  zc::nats::MsgPtr owned(msg);
  const auto* slot = static_cast<const NatsSubTable::Slot*>(closure);
  const void* data = msg ? natsMsg_GetData(msg) : nullptr;
  int length = msg ? natsMsg_GetDataLength(msg) : 0;
  LogOut(LL_DEBUG, "%s: Msg received a length of :%d", "onMsg", length);

  const char* reply = msg ? natsMsg_GetReply(msg) : nullptr;
  if (reply && *reply) {
    natsStatus s = _natsConnection_Publish(nc, reply, kNatsAck, sizeof kNatsAck, {kZunProtoV1});
    if (s != NATS_OK) LogOut(LL_CRIT, "%s : nats reply publish failed", "onMsg");
  }
  const NatsMsgHandlerFn& handler = slot->table->handlers[slot->index];
  if (!handler) return;
  DispatchScope scope(msg ? natsMsg_GetSubject(msg) : slot->table->subjects[slot->index].c_str(),
                      sub, slot->table);
  handler(msg ? data : nullptr, length);
}

// Owned by the library's completion call once registered, so a waiter that gave up leaves
// nothing behind for the late call to touch.
void OnSubscriptionComplete(void* closure) {
  std::unique_ptr<std::promise<void>> done(static_cast<std::promise<void>*>(closure));
  done->set_value();
}

}  // namespace

int64_t NatsInboxTimeoutMs(const std::optional<std::string>& dnsMetricsSeconds) {
  if (!dnsMetricsSeconds) return kNatsInboxTimeoutDefaultMs;
  const char* text = dnsMetricsSeconds->c_str();
  char* end = nullptr;
  errno = 0;
  long long seconds = strtoll(text, &end, 10);
  if (end == text) return kNatsInboxTimeoutDefaultMs;
  // 1000 x seconds + 5000 without overflow, then kept within [5 s, 1 day].
  constexpr long long kMaxSeconds = kNatsInboxTimeoutMaxMs / 1000;
  if (errno == ERANGE || seconds > kMaxSeconds) return kNatsInboxTimeoutMaxMs;
  if (seconds < 0) return kNatsInboxTimeoutMinMs;
  int64_t ms = static_cast<int64_t>(seconds) * 1000 + 5000;
  if (ms < kNatsInboxTimeoutMinMs) return kNatsInboxTimeoutMinMs;
  if (ms > kNatsInboxTimeoutMaxMs) return kNatsInboxTimeoutMaxMs;
  return ms;
}

std::string NatsNewInbox() {
  natsInbox* raw = nullptr;
  natsStatus s = natsInbox_Create(&raw);
  if (s != NATS_OK) {
    LogOut(LL_ERR, "%s: natsInbox_Create Fail -%d -%s", "NatsNewInbox", static_cast<int>(s),
           NatsStatusText(s));
    return {};
  }
  zc::nats::InboxPtr inbox(raw);
  return std::string(inbox.get());
}

std::string_view NatsDispatchSubject() {
  return tDispatchSubject ? std::string_view(tDispatchSubject) : std::string_view();
}

natsSubscription* NatsDispatchSubscription() {
  return tDispatchSubscription;
}

NatsSubTable::NatsSubTable() {
  for (int i = 0; i < kNatsSubSlots; ++i) slots_[i] = Slot{this, i};
}

NatsSubTable::~NatsSubTable() {
  NatsDestroySub(*this);
}

void NatsSubTable::Clear() {
  NatsDestroySub(*this);
  for (int i = 0; i < kNatsSubSlots; ++i) {
    subjects[i].clear();
    handlers[i] = nullptr;
    NatsSessionAccess::TakeSubscription(*this, i);
  }
  record = nullptr;
}

int NatsSubTable::Add(std::string subject, NatsMsgHandlerFn handler) {
  int count = Count();
  if (count >= kNatsSubSlots) {
    LogOut(LL_ERR, "%s: all %d slots taken, '%s' not subscribed", "NatsSubTable", kNatsSubSlots,
           subject.c_str());
    return -1;
  }
  subjects[count] = std::move(subject);
  handlers[count] = std::move(handler);
  return 0;
}

int NatsSubTable::Count() const {
  int n = 0;
  while (n < kNatsSubSlots && !subjects[n].empty()) ++n;
  return n;
}

natsSubscription* NatsSubTable::Subscription(int index) const {
  if (index < 0 || index >= kNatsSubSlots) return nullptr;
  std::lock_guard lock(mutex_);
  return subscriptions_[index].get();
}

int NatsSub(NatsSubTable& table) {
  const int64_t inboxTimeout = NatsInboxTimeoutMs(GetStringKVP(kNatsDnsMetricsKey));
  zc::nats::ConnectionRef connection;
  if (table.record) connection = table.record->Connection();
  auto& slots = NatsSessionAccess::Slots(table);
  for (int i = 0; i < kNatsSubSlots; ++i) {
    const std::string& subject = table.subjects[i];
    if (subject.empty()) break;
    if (!table.handlers[i] || table.Subscription(i)) continue;
    natsSubscription* raw = nullptr;
    natsStatus s = NATS_CONNECTION_CLOSED;
    if (connection && subject.find("INBOX") != std::string::npos) {
      s = natsConnection_SubscribeTimeout(
          &raw, connection.get(), subject.c_str(),
          zc::Scaled(std::chrono::milliseconds(inboxTimeout)).count(), onMsg, &slots[i]);
    } else if (connection) {
      s = natsConnection_Subscribe(&raw, connection.get(), subject.c_str(), onMsg, &slots[i]);
    }
    if (s != NATS_OK) {
      LogOut(LL_ERR, "%s: natsConnection_Subscribe Fail -%d -%s", "NatsSub", static_cast<int>(s),
             NatsStatusText(s));
      nats_PrintLastErrorStack(stderr);
      return -1;
    }
    zc::nats::SubscriptionPtr sub(raw);
    s = natsSubscription_SetPendingLimits(raw, -1, -1);
    if (s != NATS_OK) {
      LogOut(LL_ERR, "%s: natsSubscription_SetPendingLimits Fail -%d -%s", "NatsSub",
             static_cast<int>(s), NatsStatusText(s));
      nats_PrintLastErrorStack(stderr);
      return -1;
    }
    LogOut(LL_INFO, "Listening on '%s'", subject.c_str());
    NatsSessionAccess::StoreSubscription(table, i, std::move(sub));
  }
  return 0;
}

void NatsDestroySub(NatsSubTable& table) {
  for (int i = 0; i < kNatsSubSlots; ++i) {
    if (table.subjects[i].empty()) break;
    zc::nats::SubscriptionPtr sub = NatsSessionAccess::TakeSubscription(table, i);
    if (!sub) continue;
    // Wait for a handler still running on this table, unless that handler is the caller.
    std::future<void> finished;
    if (tDispatchTable != &table) {
      auto* done = new std::promise<void>();
      finished = done->get_future();
      if (natsSubscription_SetOnCompleteCB(sub.get(), OnSubscriptionComplete, done) != NATS_OK) {
        delete done;
        finished = {};
      }
    }
    natsSubscription_Unsubscribe(sub.get());
    if (finished.valid() &&
        finished.wait_for(zc::Scaled(kHandlerDrainWait)) != std::future_status::ready) {
      LogOut(LL_WARN, "%s: handler of '%s' still running", "NatsDestroySub",
             table.subjects[i].c_str());
    }
  }
}
