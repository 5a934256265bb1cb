// Setting the system clock from the HTTP time service (fallback of the router's NTP client).
#pragma once

#include <chrono>

inline constexpr std::chrono::seconds kTimeSyncConnectTimeout{5};
inline constexpr std::chrono::seconds kTimeSyncTotalTimeout{15};
inline constexpr size_t kTimeSyncBodyMax = 64;

// GET of the time service's "/now"; parses "YYYY-MM-DDThh:mm:ss" and sets the clock. 0 or -1.
int xsettimeofday();
// Parses the time service body into seconds since the epoch (local time, no DST); -1 when the
// text does not hold six fields.
long ParseTimeServiceBody(const char* body);
