#pragma once

inline constexpr const char* kZuncoreVersion = "2.1.9";

// Logs the agent's and every library's version text, then the launcher's.
void VersionDump();
