// Publish and request wrappers: one message with the headers in order.
#include <chrono>

#include "main/nats/nats_internal.h"
#include "utils/log.h"
#include "utils/timescale.h"

namespace {

// The server closes a connection whose protocol line exceeds its limit (4 KiB by default), so a
// subject the cloud handed out too long would cost the whole connection: refuse it here instead.
constexpr size_t kMaxSubjectBytes = 1024;

natsStatus BuildMessage(zc::nats::MsgPtr& out, const char* who, const char* subject,
                        const char* reply, const void* data, int length,
                        const NatsHeaders& headers) {
  if (!NatsSubjectIsValid(subject) || (reply && !NatsSubjectIsValid(reply))) {
    LogOut(LL_ERR, "%s: subject not sendable (empty, blank or over %zu bytes)", who,
           kMaxSubjectBytes);
    return NATS_INVALID_SUBJECT;
  }
  natsMsg* raw = nullptr;
  natsStatus s = natsMsg_Create(&raw, subject, reply, static_cast<const char*>(data), length);
  if (s != NATS_OK) {
    LogOut(LL_ERR, "%s: natsMsg_Create Fail -%d -%s", who, static_cast<int>(s), NatsStatusText(s));
    return s;
  }
  out.reset(raw);
  for (const NatsHeader& header : headers) {
    s = natsMsgHeader_Set(raw, header.name, header.value);
    if (s != NATS_OK) {
      LogOut(LL_ERR, "%s: nats message header set for event failed", who);
      out.reset();
      return s;
    }
  }
  return NATS_OK;
}

natsStatus Publish(natsConnection* nc, const char* subject, const char* reply, const void* data,
                   int length, const NatsHeaders& headers) {
  const char* who = "_natsConnection_Publish";
  zc::nats::MsgPtr msg;
  natsStatus s = BuildMessage(msg, who, subject, reply, data, length, headers);
  if (s != NATS_OK) return s;
  s = natsConnection_PublishMsg(nc, msg.get());
  if (s != NATS_OK) LogOut(LL_ERR, "%s: publish msg failed", who);
  return s;
}

natsStatus NotConnected(const char* who, const NatsConnContext& record) {
  // Debug level: the journal publishes every log line and must not feed on its own failures.
  LogOut(LL_DEBUG, "%s: %s is not connected", who, record.Label());
  return NATS_CONNECTION_CLOSED;
}

}  // namespace

bool NatsSubjectIsValid(const char* subject) {
  if (!subject || !*subject) return false;
  size_t n = 0;
  for (const char* p = subject; *p; ++p, ++n) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c <= ' ' || c == 0x7f || n >= kMaxSubjectBytes) return false;
  }
  return true;
}

natsStatus _natsConnection_Publish(natsConnection* nc, const char* subject, const void* data,
                                   int length, const NatsHeaders& headers) {
  return Publish(nc, subject, nullptr, data, length, headers);
}

natsStatus _natsConnection_Publish(const NatsConnContext& record, const char* subject,
                                   const void* data, int length, const NatsHeaders& headers) {
  zc::nats::ConnectionRef connection = record.Connection();
  if (!connection) return NotConnected("_natsConnection_Publish", record);
  return Publish(connection.get(), subject, nullptr, data, length, headers);
}

natsStatus NatsPublishRequest(const NatsConnContext& record, const char* subject, const char* reply,
                              const void* data, int length, const NatsHeaders& headers) {
  zc::nats::ConnectionRef connection = record.Connection();
  if (!connection) return NotConnected("NatsPublishRequest", record);
  return Publish(connection.get(), subject, reply, data, length, headers);
}

natsStatus _natsConnection_Request(zc::nats::MsgPtr& reply, natsConnection* nc, const char* subject,
                                   const void* data, int length, int64_t timeoutMs,
                                   const NatsHeaders& headers) {
  const char* who = "_natsConnection_Request";
  reply.reset();
  zc::nats::MsgPtr msg;
  natsStatus s = BuildMessage(msg, who, subject, nullptr, data, length, headers);
  if (s != NATS_OK) return s;
  natsMsg* raw = nullptr;
  s = natsConnection_RequestMsg(&raw, nc, msg.get(),
                                zc::Scaled(std::chrono::milliseconds(timeoutMs)).count());
  reply.reset(raw);
  if (s != NATS_OK) LogOut(LL_ERR, "%s: publish msg failed", who);
  return s;
}

natsStatus _natsConnection_Request(zc::nats::MsgPtr& reply, const NatsConnContext& record,
                                   const char* subject, const void* data, int length,
                                   int64_t timeoutMs, const NatsHeaders& headers) {
  zc::nats::ConnectionRef connection = record.Connection();
  if (!connection) {
    reply.reset();
    return NotConnected("_natsConnection_Request", record);
  }
  return _natsConnection_Request(reply, connection.get(), subject, data, length, timeoutMs,
                                 headers);
}
