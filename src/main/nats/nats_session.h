// The agent's NATS session: the four connection records, connection set-up with its callbacks and
// connection log, subscription tables with their dispatcher, and the publish and request wrappers
// that add the cloud's message headers.
//
// Threads: connections are opened and destroyed on the main loop thread (socket I/O runs on that
// loop through nats.c's libevent adapter); subscription handlers run on the library's delivery
// threads; publishers run anywhere. A record's connection handle is only ever read under the
// record's lock, as a reference that keeps the handle alive for the caller's publish.
#pragma once

#include <nats/nats.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "main/nats/nats_handles.h"
#include "signon/signon_keys.h"

struct event_base;

// ---- limits and fixed names ----
inline constexpr int kNatsSubSlots = 20;
inline constexpr int kNatsMaxServers = 10;
inline constexpr int kNatsReconnectBufSize = 1048576;
inline constexpr const char* kNatsConnLogFile = "/tmp/zuncorenatsconn";
inline constexpr const char* kNatsCaFile = "/tmp/cacert.pem";
// Inbox subscriptions: dnsMetrics period x 1000 + 5000 ms, kept within [5 s, 1 day].
inline constexpr int64_t kNatsInboxTimeoutDefaultMs = 65000;
inline constexpr int64_t kNatsInboxTimeoutMinMs = 5000;
inline constexpr int64_t kNatsInboxTimeoutMaxMs = 86400000;
inline constexpr const char* kNatsDnsMetricsKey = kKeyDnsMetricsInterval;
// The automatic reply to every delivered message that carries a reply subject: "ACK" and its NUL.
inline constexpr char kNatsAck[4] = {'A', 'C', 'K', '\0'};

// Header names (the four client headers in their fixed order, then the two others).
inline constexpr const char* kHdrContentTypeVersion = "x-zun-client-content-type-version";
inline constexpr const char* kHdrTraceId = "x-zun-client-trace-id";
inline constexpr const char* kHdrSenderId = "x-zun-client-sender-id";
inline constexpr const char* kHdrContentType = "x-zun-client-content-type";
inline constexpr const char* kHdrZunProto = "zun-proto";
inline constexpr const char* kHdrConfigTraceId = "x-zun-trace-id";
extern const char* const sNatsHeaderFields[4];

struct NatsHeader {
  const char* name;
  const char* value;
};
using NatsHeaders = std::vector<NatsHeader>;
// "zun-proto" = "v1".
inline constexpr NatsHeader kZunProtoV1{kHdrZunProto, "v1"};
// The four client headers of sign-on and firmware requests ("2.0", trace id, sender, "proto").
// The returned headers point into the arguments: keep them alive for the call.
NatsHeaders NatsClientHeaders(const std::string& traceId, const std::string& senderMac);

// Connection log events.
enum NatsConnEvent : int {
  NATS_CONN_EVENT_CONNECTED = 1,
  NATS_CONN_EVENT_DESTROYED = 2,
  NATS_CONN_EVENT_RECONNECTED = 3,
};

// What a record is for; decides the reconnect log line and whether a close by the library ends
// the process (every role except the bootstrap connection).
enum class NatsRole { kBootstrap, kMessage, kCommand, kEdge, kOther };

// The settings a record is opened with.
struct NatsConnConfig {
  std::string name;            // "%s-%s" of the device MAC and the name part; also the client name
  std::string url;             // one URL or up to 10 separated by commas
  int32_t pingIntervalMs = 0;  // real milliseconds (scaled when applied)
  int32_t maxPings = 0;
  bool tlsEnabled = false;
};

// One connection record (nats_bootstrap, nats_msg, NatsCmdConn, nats_edge).
class NatsConnContext {
 public:
  NatsConnContext(NatsRole role, const char* label);
  NatsConnContext(const NatsConnContext&) = delete;
  NatsConnContext& operator=(const NatsConnContext&) = delete;
  ~NatsConnContext();

  NatsRole Role() const { return role_; }
  // "bootstrap", "msg", "cmd", "edge": for logs.
  const char* Label() const { return label_; }

  // Back to the unused state (drops an alias; a connected record is destroyed first, so call it
  // on the main loop thread like NatsDestroy).
  void Clear();
  void Configure(const NatsConnConfig& config);
  NatsConnConfig Config() const;
  std::string Name() const;
  // Empties the name (the bootstrap record after its teardown).
  void ClearName();
  uint64_t ClientId() const;

  // A reference to the live connection, taken under the record's lock; empty when the record is
  // not connected or has been detached for teardown. Resolves an alias.
  zc::nats::ConnectionRef Connection() const;
  bool IsConnected() const { return static_cast<bool>(Connection()); }

  // Single-connection mode: this record refers to target's connection without owning it.
  // Teardown of an alias only drops the reference.
  void SetAliasOf(NatsConnContext& target);
  bool IsAlias() const;

  // One opened connection (defined inside the session, opaque here).
  struct State;

 private:
  friend struct NatsSessionAccess;
  const NatsConnContext* Resolve() const;

  const NatsRole role_;
  const char* const label_;
  mutable std::mutex mutex_;
  NatsConnConfig config_;
  std::shared_ptr<State> state_;
  NatsConnContext* alias_ = nullptr;
  std::atomic<uint64_t> clientId_{0};
};

extern NatsConnContext nats_bootstrap;
extern NatsConnContext nats_msg;
extern NatsConnContext NatsCmdConn;
extern NatsConnContext nats_edge;

// A subscription handler: the payload and its length; (nullptr, 0) when an inbox subscription's
// time-out passed without a message.
using NatsMsgHandlerFn = std::function<void(const void* payload, int length)>;

// A module's subscription table: subjects and handlers in slot order, the record to subscribe on,
// the subscriptions made. The slot itself is each subscription's closure, so a message delivered
// right after the SUB reaches its handler. The table must outlive its subscriptions.
class NatsSubTable {
 public:
  NatsSubTable();
  NatsSubTable(const NatsSubTable&) = delete;
  NatsSubTable& operator=(const NatsSubTable&) = delete;
  ~NatsSubTable();

  // Empties every slot (destroys the subscriptions first).
  void Clear();
  // Fills the next empty slot; -1 with a log line when all 20 are taken.
  int Add(std::string subject, NatsMsgHandlerFn handler);
  // Number of subject slots in use (the list ends at the first empty subject).
  int Count() const;

  // The subscription of a slot (nullptr when not subscribed); valid until NatsDestroySub.
  natsSubscription* Subscription(int index) const;

  NatsConnContext* record = nullptr;
  std::array<std::string, kNatsSubSlots> subjects;
  std::array<NatsMsgHandlerFn, kNatsSubSlots> handlers;

  // Closure of slot i's subscription.
  struct Slot {
    NatsSubTable* table;
    int index;
  };

 private:
  friend struct NatsSessionAccess;
  std::array<Slot, kNatsSubSlots> slots_;
  mutable std::mutex mutex_;
  std::array<zc::nats::SubscriptionPtr, kNatsSubSlots> subscriptions_;
};

// ---- session operations (names as the rest of the agent calls them) ----

// Opens the messaging library and switches libevent to pthread locking (before the main loop is
// created). 0 or -1.
int NatsLibInit();
// Closes the messaging library (end of process and tests).
void NatsLibClose();

// Configures and opens the record's connection on the loop. 0 or -1 (callers treat -1 as fatal).
int NatsConnInit(event_base* loop, NatsConnContext& record);
int NatsConnInit(event_base* loop, NatsConnContext& record, const NatsConnConfig& config);

// Appends one connection-log line (1 connected, 2 destroyed, 3 reconnected).
void nats_conn_log(const NatsConnContext& record, int event);

// Marks the record as closing on purpose, detaches its handles under the lock, then closes them.
// On an alias only the alias is dropped.
void NatsDestroy(NatsConnContext& record);
// Destroys the record's statistics object (teardown order of NatsCleanUp).
void NatsDestroyStats(NatsConnContext& record);
// Orderly teardown of the command, message and edge connections.
void NatsCleanUp();

// Subscribes every listed subject of the table on table.record. 0 or -1.
int NatsSub(NatsSubTable& table);
// Destroys the table's subscriptions in slot order, stopping at the first empty slot.
void NatsDestroySub(NatsSubTable& table);

// Inbox subscription time-out from the dnsMetrics period text (absent: 65000 ms).
int64_t NatsInboxTimeoutMs(const std::optional<std::string>& dnsMetricsSeconds);
// A new unique inbox subject; empty on failure.
std::string NatsNewInbox();
// Subject of the message the calling delivery thread is dispatching (empty elsewhere); lets a
// handler name the subject when it drops a payload.
std::string_view NatsDispatchSubject();
// The subscription that delivered that message (nullptr elsewhere), for NatsStats.
natsSubscription* NatsDispatchSubscription();

// Whether a subject can go to the server: not empty, no blanks or control characters, and short
// enough that the server does not close the connection for its protocol line (1 KiB at most).
bool NatsSubjectIsValid(const char* subject);

// Publishes data with the headers in order. Returns the library status (NATS_OK = 0).
natsStatus _natsConnection_Publish(natsConnection* nc, const char* subject, const void* data,
                                   int length, const NatsHeaders& headers = {});
// Same on a record's connection; NATS_CONNECTION_CLOSED when it has none.
natsStatus _natsConnection_Publish(const NatsConnContext& record, const char* subject,
                                   const void* data, int length, const NatsHeaders& headers = {});
// Publish with a reply subject (edge health check).
natsStatus NatsPublishRequest(const NatsConnContext& record, const char* subject, const char* reply,
                              const void* data, int length, const NatsHeaders& headers = {});
// Request-reply: waits at most timeoutMs (real milliseconds, scaled) for the first reply, which
// then belongs to the caller.
natsStatus _natsConnection_Request(zc::nats::MsgPtr& reply, natsConnection* nc, const char* subject,
                                   const void* data, int length, int64_t timeoutMs,
                                   const NatsHeaders& headers = {});
natsStatus _natsConnection_Request(zc::nats::MsgPtr& reply, const NatsConnContext& record,
                                   const char* subject, const void* data, int length,
                                   int64_t timeoutMs, const NatsHeaders& headers = {});

// Logs the usage figures of a connection (and of a subscription when given). 0 or -1.
int NatsStats(const char* name, natsConnection* nc, natsSubscription* sub, natsStatistics* stats);
int NatsStats(const NatsConnContext& record, natsSubscription* sub = nullptr);

// The client address the server sees for the record's connection, if any.
std::optional<std::string> NatsClientIP(const NatsConnContext& record);
