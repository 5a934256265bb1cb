// State files of the simulated router: "key=value" text files under $ROOT/sim/state, written
// under one lock and replaced by rename, read fresh on every call.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zsim {

using KvMap = std::map<std::string, std::string>;

// Exclusive lock on $ROOT/sim/state/.lock for the lifetime of the object. Re-entrant within a
// thread so helpers that lock can call each other.
class StateLock {
 public:
  StateLock();
  ~StateLock();
  StateLock(const StateLock&) = delete;
  StateLock& operator=(const StateLock&) = delete;
};

// "$ROOT/sim/state/" + name.
std::string StatePath(const std::string& name);

std::optional<std::string> ReadText(const std::string& path);
// Atomic replace (temporary file + rename), creating parent directories.
bool WriteText(const std::string& path, const std::string& content);
bool AppendText(const std::string& path, const std::string& content);
bool MakeDirs(const std::string& path);
bool Exists(const std::string& path);
// Directory entries (names only, sorted), without "." and "..".
std::vector<std::string> ListDir(const std::string& path);
void RemoveTree(const std::string& path);

// "key=value" lines; '#' comments and blank lines ignored; a missing file is empty.
KvMap ParseKv(const std::string& text);
std::string FormatKv(const KvMap& kv);
KvMap ReadKv(const std::string& path);
bool WriteKv(const std::string& path, const KvMap& kv);
// A value may not hold a newline or NUL.
bool ValidValue(const std::string& value);

// Knobs ($ROOT/sim/state/knobs): behaviour switches of the simulation.
std::string Knob(const std::string& name, const std::string& fallback = "");
long KnobInt(const std::string& name, long fallback);
bool SetKnob(const std::string& name, const std::string& value);

// Failure injection ($ROOT/sim/state/fail, "POINT COUNT ERRNO" per line; COUNT 0 = always).
// True when the point fires now; consumes one use. errnoOut gets the configured errno.
bool ConsumeFailure(const std::string& point, int* errnoOut = nullptr);
bool AddFailure(const std::string& point, int times, int err);
bool ClearFailures();

// Milliseconds since the epoch.
int64_t NowMs();
// Time scale of the simulation (ZUNCORE_TIME_SCALE, default 1).
double TimeScale();
// Sleeps for a router-time duration scaled by the time scale.
void SleepRouterMs(long ms);

}  // namespace zsim
