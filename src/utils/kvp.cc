#include "utils/kvp.h"

#include <map>
#include <mutex>
#include <string>

#include "utils/files.h"
#include "utils/log.h"
#include "utils/paths.h"

namespace {

enum class KvpType { kString = 0, kInteger = 1 };

struct KvpEntry {
  KvpType type = KvpType::kString;
  std::optional<std::string> text;
  int64_t integer = 0;
};

std::mutex gKvpMutex;
std::map<std::string, KvpEntry, std::less<>> gKvp;

constexpr const char* kSelfTestKey = "teststring";
constexpr const char* kSelfTestValue = "teststringvalue";
constexpr const char* kSelfTestIntKey = "testinteger";
constexpr int64_t kSelfTestIntValue = 42;

KvpEntry& IntEntryLocked(std::string_view key) {
  auto it = gKvp.find(key);
  if (it == gKvp.end()) {
    LogOut(LL_DEBUG, "%s: Add new entry '%.*s' type: integer", "GetIntKVP",
           static_cast<int>(key.size()), key.data());
    it = gKvp.emplace(std::string(key), KvpEntry{KvpType::kInteger, std::nullopt, 0}).first;
  } else if (it->second.type != KvpType::kInteger) {
    LogOut(LL_INFO, "%s: New %.*s type: integer", "GetIntKVP", static_cast<int>(key.size()),
           key.data());
    it->second.type = KvpType::kInteger;
  }
  return it->second;
}

}  // namespace

int SetStringKVP(std::string_view key, std::string_view value) {
  std::lock_guard lock(gKvpMutex);
  auto it = gKvp.find(key);
  if (it == gKvp.end()) {
    LogOut(LL_DEBUG, "%s: Add new string entry '%.*s' value '%.*s'", "SetStringKVP",
           static_cast<int>(key.size()), key.data(), static_cast<int>(value.size()), value.data());
    gKvp.emplace(std::string(key), KvpEntry{KvpType::kString, std::string(value), 0});
    return 0;
  }
  if (it->second.type == KvpType::kInteger) {
    LogOut(LL_INFO, "%s: New %.*s type: string", "SetStringKVP", static_cast<int>(key.size()),
           key.data());
    it->second.type = KvpType::kString;
  }
  it->second.text = std::string(value);
  return 0;
}

std::optional<std::string> GetStringKVP(std::string_view key) {
  std::lock_guard lock(gKvpMutex);
  auto it = gKvp.find(key);
  if (it == gKvp.end() || it->second.type != KvpType::kString) return std::nullopt;
  return it->second.text;
}

bool HasStringKVP(std::string_view key) {
  return GetStringKVP(key).has_value();
}

std::optional<std::string> GetUsableKVP(std::string_view key) {
  auto v = GetStringKVP(key);
  if (v && *v == "NA") return std::nullopt;
  return v;
}

std::string GetStringKVPOr(std::string_view key, std::string_view fallback) {
  auto v = GetStringKVP(key);
  return v ? *v : std::string(fallback);
}

std::optional<int64_t> GetIntKVP(std::string_view key) {
  std::lock_guard lock(gKvpMutex);
  return IntEntryLocked(key).integer;
}

int SetIntKVP(std::string_view key, int64_t value) {
  std::lock_guard lock(gKvpMutex);
  IntEntryLocked(key).integer = value;
  return 0;
}

int RemoveKVP(std::string_view key) {
  std::lock_guard lock(gKvpMutex);
  auto it = gKvp.find(key);
  if (it == gKvp.end()) {
    LogOut(LL_ERR, "%s: Entry key %.*s not found", "RemoveKVP", static_cast<int>(key.size()),
           key.data());
    return -1;
  }
  gKvp.erase(it);
  return 0;
}

void DumpKVP() {
  std::string path = zc::RootPath(kKvpSnapshotFile);
  std::lock_guard lock(gKvpMutex);
  LogOut(LL_DEBUG, "%s: DumpKVP: %s", "DumpKVP", kKvpSnapshotFile);
  std::string content;
  for (const auto& [key, entry] : gKvp) {
    if (entry.type == KvpType::kString) {
      const char* text = entry.text ? entry.text->c_str() : "(null)";
      LogOut(LL_DEBUG, "%s: Key '%s' value '%s'", "DumpKVP", key.c_str(), text);
      content.append(key).append("=").append(text).append("\n");
    } else {
      LogOut(LL_DEBUG, "%s: Key '%s' value %lld", "DumpKVP", key.c_str(),
             static_cast<long long>(entry.integer));
      content.append(key).append("=").append(std::to_string(entry.integer)).append("\n");
    }
  }
  // Written whole through a temporary file so that ExitLog never copies half a snapshot.
  if (zc::WriteFileAtomic(path, content) != 0) {
    LogOut(LL_ERR, "%s: DumpKVP fopen failed", "DumpKVP");
    return;
  }
  LogOut(LL_DEBUG, "%s: DumpKVP ret", "DumpKVP");
}

int InitKVP() {
  {
    std::lock_guard lock(gKvpMutex);
    gKvp.clear();
  }
  DumpKVP();
  SetStringKVP(kSelfTestKey, kSelfTestValue);
  auto text = GetStringKVP(kSelfTestKey);
  if (!text || *text != kSelfTestValue) {
    LogOut(LL_ERR, "%s: Settings string test failed", "InitKVP");
    return -1;
  }
  SetIntKVP(kSelfTestIntKey, kSelfTestIntValue);
  DumpKVP();
  auto number = GetIntKVP(kSelfTestIntKey);
  if (!number || *number != kSelfTestIntValue) {
    LogOut(LL_ERR, "%s: Settings integer test failed", "InitKVP");
    return -1;
  }
  return 0;
}

void ResetKVPForTest() {
  std::lock_guard lock(gKvpMutex);
  gKvp.clear();
}
