// The agent's in-memory settings board: text keys holding text or 64-bit integers.
//
// Every operation takes the store lock; readers get copies, never pointers into the store, so a
// concurrent set or remove cannot pull a value from under a caller.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

inline constexpr const char* kKvpSnapshotFile = "/tmp/kvp_settings.txt";

int InitKVP();
int SetStringKVP(std::string_view key, std::string_view value);
// The string value, or nothing when the key is absent or holds an integer.
std::optional<std::string> GetStringKVP(std::string_view key);
// The integer value; an absent key is created with 0, a string entry switches to integer type
// (its integer field unchanged).
std::optional<int64_t> GetIntKVP(std::string_view key);
// Stores an integer (creating or switching the entry as GetIntKVP does).
int SetIntKVP(std::string_view key, int64_t value);
int RemoveKVP(std::string_view key);
void DumpKVP();

// True when the key holds a string value.
bool HasStringKVP(std::string_view key);
// The string value unless absent or the "could not be obtained" marker "NA".
std::optional<std::string> GetUsableKVP(std::string_view key);
// The string value or a fallback.
std::string GetStringKVPOr(std::string_view key, std::string_view fallback);

// Empties the store (tests).
void ResetKVPForTest();
