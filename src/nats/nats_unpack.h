// Decoding a delivered payload inside a subscription handler: a payload that does not decode is
// logged with the subject it came on and dropped; the caller just returns.
#pragma once

#include "nats/nats_session.h"
#include "proto/messages.h"
#include "utils/log.h"

template <typename T>
zc::pb::Unpacked<T> NatsUnpack(const char* who, const void* payload, int length) {
  zc::pb::Unpacked<T> message =
      zc::pb::Unpack<T>(payload, length > 0 ? static_cast<size_t>(length) : 0);
  if (!message) {
    std::string_view subject = NatsDispatchSubject();
    LogOut(LL_ERR, "%s: unable to unpack %s (%d bytes) received on %.*s, dropped", who,
           zc::pb::MessageTraits<T>::Descriptor().name, length, static_cast<int>(subject.size()),
           subject.data());
  }
  return message;
}
