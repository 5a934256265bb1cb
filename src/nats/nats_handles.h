// One owner per nats.c handle: every handle the messaging layer creates is released by its
// destructor, never by a hand-written destroy path.
#pragma once

#include <nats/nats.h>

#include <memory>

namespace zc::nats {

struct OptionsDeleter {
  void operator()(natsOptions* p) const { natsOptions_Destroy(p); }
};
struct StatisticsDeleter {
  void operator()(natsStatistics* p) const { natsStatistics_Destroy(p); }
};
struct SubscriptionDeleter {
  void operator()(natsSubscription* p) const { natsSubscription_Destroy(p); }
};
struct MsgDeleter {
  void operator()(natsMsg* p) const { natsMsg_Destroy(p); }
};
struct InboxDeleter {
  void operator()(natsInbox* p) const { natsInbox_Destroy(p); }
};

using OptionsPtr = std::unique_ptr<natsOptions, OptionsDeleter>;
using StatisticsPtr = std::unique_ptr<natsStatistics, StatisticsDeleter>;
using SubscriptionPtr = std::unique_ptr<natsSubscription, SubscriptionDeleter>;
using MsgPtr = std::unique_ptr<natsMsg, MsgDeleter>;
using InboxPtr = std::unique_ptr<natsInbox, InboxDeleter>;

// A connection is shared: the owning record holds one reference, every publisher holds one for
// the duration of its call. natsConnection_Destroy runs when the last reference goes, so a
// teardown on the main loop never frees a connection another thread is publishing on.
using ConnectionRef = std::shared_ptr<natsConnection>;

// Takes ownership of a connected handle (nullptr stays empty).
ConnectionRef AdoptConnection(natsConnection* nc);

}  // namespace zc::nats
