// Waiting on a condition instead of sleeping a fixed time: the one polling loop of the tests.
#pragma once

#include <chrono>
#include <functional>

namespace zctest {

inline constexpr std::chrono::milliseconds kWaitPoll{5};

// Polls pred() every `poll` until it is true or `timeout` (real time) has passed; the final
// pred() result, so a condition met just at the deadline still counts.
bool WaitFor(const std::function<bool()>& pred,
             std::chrono::milliseconds timeout = std::chrono::seconds(5),
             std::chrono::milliseconds poll = kWaitPoll);

}  // namespace zctest
