// One owner per libevent handle: every loop, event, HTTP server, buffered event and buffer is
// released by its owner's destructor, never by a hand-written free path.
//
// Lifetime rule: an event, server or buffered event must go before the loop it was created on
// (freeing it touches the loop). Owners that outlive a scope hold these members in the order
// "loop first, users after", so the users are destroyed first.
#pragma once

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/http.h>

#include <memory>

namespace zc::ev {

struct BaseDeleter {
  void operator()(event_base* p) const { event_base_free(p); }
};
struct EventDeleter {
  void operator()(event* p) const { event_free(p); }
};
struct HttpDeleter {
  void operator()(evhttp* p) const { evhttp_free(p); }
};
struct BufferEventDeleter {
  void operator()(bufferevent* p) const { bufferevent_free(p); }
};
struct BufferDeleter {
  void operator()(evbuffer* p) const { evbuffer_free(p); }
};

using BasePtr = std::unique_ptr<event_base, BaseDeleter>;
using EventPtr = std::unique_ptr<event, EventDeleter>;
using HttpPtr = std::unique_ptr<evhttp, HttpDeleter>;
using BufferEventPtr = std::unique_ptr<bufferevent, BufferEventDeleter>;
using BufferPtr = std::unique_ptr<evbuffer, BufferDeleter>;

}  // namespace zc::ev
