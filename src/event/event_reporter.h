// The event pass: a snapshot until one was sent, then one event per new client and per WAN,
// Wi-Fi or LAN change. Baselines move only after their event was sent, so a change whose event
// failed is sent again in the next pass.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "event/event_build.h"

namespace zc::event {

class EventReporter {
 public:
  // 0 when the event was delivered (acknowledged).
  using Sender = std::function<int(const std::vector<uint8_t>& packed)>;
  // The client address the cloud's server sees (for the public address), if known.
  using PublicIp = std::function<std::optional<std::string>()>;

  EventReporter(Sender send, PublicIp publicIp)
      : send_(std::move(send)), publicIp_(std::move(publicIp)) {}

  // One pass of the event loop.
  void Pass();
  bool Reconciled() const { return reconciled_; }

 private:
  bool TryReconcile();
  void ClientStep();
  void WanStep();
  void WifiStep();
  void LanStep();
  // The WAN record with its public address and the interface list; false on a platform failure.
  bool ReadWan(WanStatusRecord& wan, std::vector<WanInterfaceRecord>& interfaces);

  Sender send_;
  PublicIp publicIp_;
  bool reconciled_ = false;
  WanStatusRecord wan_{};
  WifiBaselines wifi_{};
  LanConfigRecord lan_{};
};

}  // namespace zc::event
