// Speed-check orders: which checks (ping, TCP connect to a port) rank the addresses of an
// answer, and in what order. Written by the option file and domain rules, read by the prober.
#pragma once

#include <array>
#include <cstdint>

namespace zc::dns {

inline constexpr int kMaxSpeedCheckOrders = 3;
inline constexpr uint16_t kDefaultSpeedCheckTcpPort = 80;

struct SpeedCheckOrder {
  enum class Kind : uint8_t { kNone, kPing, kTcp };
  Kind kind = Kind::kNone;
  uint16_t port = 0;
  bool operator==(const SpeedCheckOrder&) const = default;
};
// Up to three orders; a kNone entry (or the end) ends the list.
using SpeedCheckOrders = std::array<SpeedCheckOrder, kMaxSpeedCheckOrders>;

inline bool OrdersAreNone(const SpeedCheckOrders& o) {
  return o[0].kind == SpeedCheckOrder::Kind::kNone;
}

}  // namespace zc::dns
