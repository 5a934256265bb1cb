// Session internals shared by the connection, subscription and publish parts.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "nats/nats_session.h"

// One opened connection of a record. Its address is the closure of the connection callbacks, so
// a state outlives its connection (retired states are kept until the process ends).
struct NatsConnContext::State {
  NatsConnContext* record = nullptr;
  // Guarded by the record's lock.
  zc::nats::ConnectionRef connection;
  zc::nats::OptionsPtr options;
  // The statistics object is used by several threads: only under statsMutex.
  std::mutex statsMutex;
  zc::nats::StatisticsPtr statistics;
  // Set before a teardown closes the connection: its close is then not a failure.
  std::atomic<bool> closingOnPurpose{false};
};

struct NatsSessionAccess {
  using State = NatsConnContext::State;

  // The record's current state (resolving an alias), and a reference to its connection, both
  // taken under the record's lock.
  static std::shared_ptr<State> CurrentState(const NatsConnContext& record,
                                             zc::nats::ConnectionRef* connection = nullptr);
  static void Attach(NatsConnContext& record, std::shared_ptr<State> state);
  // Marks the state as closing on purpose and takes it out of the record.
  static std::shared_ptr<State> DetachForTeardown(NatsConnContext& record);
  static void SetClientId(NatsConnContext& record, uint64_t cid) { record.clientId_ = cid; }
  static const NatsConnContext* Resolve(const NatsConnContext& record) { return record.Resolve(); }
  static bool DropAlias(NatsConnContext& record);

  static std::array<NatsSubTable::Slot, kNatsSubSlots>& Slots(NatsSubTable& table) {
    return table.slots_;
  }
  static void StoreSubscription(NatsSubTable& table, int index, zc::nats::SubscriptionPtr sub);
  static zc::nats::SubscriptionPtr TakeSubscription(NatsSubTable& table, int index);
};

// Keeps a state alive for late callbacks of its closed connection.
void NatsRetireState(std::shared_ptr<NatsConnContext::State> state);

// Log texts of a library status.
const char* NatsStatusText(natsStatus status);
