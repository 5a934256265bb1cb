// Internet reachability probe of the uplink thread.
#pragma once

#include <chrono>

// Longest the probe waits for its connect and for the answer (real, scaled).
inline constexpr std::chrono::seconds kInternetProbeTimeout{10};

// 0 when the probe host answers on port 80, -1 otherwise (including a silent host).
int is_internet_online();
