// RAII owners for the nghttp2 handles of the HTTP/2 DNS-over-HTTPS client. The only place in
// the tree that releases them (scripts/check-handles enforces it).
#pragma once

#include <nghttp2/nghttp2.h>

#include <memory>

namespace zc::dns {

struct Nghttp2SessionDelete {
  void operator()(nghttp2_session* p) const { nghttp2_session_del(p); }
};
struct Nghttp2CallbacksDelete {
  void operator()(nghttp2_session_callbacks* p) const { nghttp2_session_callbacks_del(p); }
};

struct Nghttp2OptionDelete {
  void operator()(nghttp2_option* p) const { nghttp2_option_del(p); }
};

using Nghttp2OptionPtr = std::unique_ptr<nghttp2_option, Nghttp2OptionDelete>;
using Nghttp2SessionPtr = std::unique_ptr<nghttp2_session, Nghttp2SessionDelete>;
using Nghttp2CallbacksPtr = std::unique_ptr<nghttp2_session_callbacks, Nghttp2CallbacksDelete>;

}  // namespace zc::dns
