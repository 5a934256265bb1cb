#include "support/wait.h"

#include <thread>

namespace zctest {

bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout,
             std::chrono::milliseconds poll) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (pred()) return true;
    std::this_thread::sleep_for(poll);
  }
  return pred();
}

}  // namespace zctest
