#include "utils/agent_state.h"

#include <ctime>

std::atomic<int> gZunCoreInitStatus{0};
std::atomic<bool> ZunModuleInitDone{false};
std::atomic<bool> gUseSingleNats{false};
std::atomic<bool> bIsLauncher{false};
std::atomic<bool> FW_PROGRESS{false};
std::atomic<int64_t> gFwProgressSince{0};
std::atomic<bool> REBOOT_FLAG{false};
std::atomic<int> gBootstrapFailureCount{0};
std::atomic<bool> gIdleState{false};

bool TryClaimFirmwareProgress() {
  bool expected = false;
  if (!FW_PROGRESS.compare_exchange_strong(expected, true)) return false;
  gFwProgressSince.store(static_cast<int64_t>(time(nullptr)));
  return true;
}

void ReleaseFirmwareProgress() {
  FW_PROGRESS.store(false);
  gFwProgressSince.store(0);
}
