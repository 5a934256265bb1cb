#include "nats/nats_handles.h"

namespace zc::nats {

ConnectionRef AdoptConnection(natsConnection* nc) {
  if (!nc) return {};
  return ConnectionRef(nc, [](natsConnection* c) { natsConnection_Destroy(c); });
}

}  // namespace zc::nats
