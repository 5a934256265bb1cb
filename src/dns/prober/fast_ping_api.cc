#include "dns/prober/fast_ping_api.h"

#include <cerrno>
#include <memory>
#include <mutex>
#include <string>

#include "dns/prober/fast_ping.h"
#include "utils/log.h"
#include "utils/timescale.h"

namespace zc::dns {

namespace {

std::mutex gPingMutex;
std::unique_ptr<FastPing> gPing;  // under gPingMutex

// "addr:port" (the last colon separates the port, so IPv6 addresses need no brackets) or
// "[addr]:port"; a plain address when the probe has no port.
bool SplitHostPort(const std::string& text, bool with_port, std::string* host, uint16_t* port) {
  *port = 0;
  *host = text;
  if (!with_port) return true;
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon + 1 == text.size()) return false;
  unsigned long value = 0;
  for (size_t i = colon + 1; i < text.size(); i++) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + static_cast<unsigned long>(text[i] - '0');
    if (value > 65535) return false;
  }
  *host = text.substr(0, colon);
  *port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

int fast_ping_init() {
  std::lock_guard lock(gPingMutex);
  if (gPing) return 0;
  auto ping = std::make_unique<FastPing>();
  std::string error;
  if (!ping->Init(&error)) {
    LogOut(LL_ERR, "start ping failed.\n");
    return -1;
  }
  gPing = std::move(ping);
  return 0;
}

void fast_ping_exit() {
  std::unique_ptr<FastPing> ping;
  {
    std::lock_guard lock(gPingMutex);
    ping = std::move(gPing);
  }
  if (ping) ping->Exit();
}

uint64_t fast_ping_start(int type, const char* host, int count, int interval_ms, int timeout_ms,
                         fast_ping_result_fn callback, void* arg) {
  if (!host || !callback || type < static_cast<int>(ProbeKind::kIcmp) ||
      type > static_cast<int>(ProbeKind::kUdp)) {
    errno = EINVAL;
    return 0;
  }
  PingRequest request;
  request.kind = static_cast<ProbeKind>(type);
  std::string address;
  uint16_t port = 0;
  if (!SplitHostPort(host, request.kind != ProbeKind::kIcmp, &address, &port) ||
      !ParsePeer(address, port, &request.peer, &request.peer_len)) {
    LogOut(LL_ERR, "get addr info failed. host:%s, port: %u, error %s\n", address.c_str(), port,
           "not a numeric address");
    errno = EINVAL;
    return 0;
  }
  request.count = count;
  request.interval = zc::Scaled(std::chrono::milliseconds(interval_ms));
  request.timeout = zc::Scaled(std::chrono::milliseconds(timeout_ms));
  request.callback = [callback, arg](const PingResult& r) {
    timeval tv{static_cast<time_t>(r.rtt.count() / 1000000),
               static_cast<suseconds_t>(r.rtt.count() % 1000000)};
    callback(r.handle, r.host.c_str(), static_cast<int>(r.event),
             reinterpret_cast<const sockaddr*>(&r.peer), r.peer_len, r.seq, r.ttl, &tv, r.error,
             arg);
  };
  std::lock_guard lock(gPingMutex);
  if (!gPing) {
    errno = ESHUTDOWN;
    return 0;
  }
  int error = 0;
  uint64_t handle = gPing->Start(std::move(request), &error);
  if (handle == 0) errno = error;
  return handle;
}

int fast_ping_stop(uint64_t handle) {
  std::lock_guard lock(gPingMutex);
  if (!gPing) return -1;
  gPing->Stop(handle);
  return 0;
}

}  // namespace zc::dns
