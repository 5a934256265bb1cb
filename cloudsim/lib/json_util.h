// Small helpers around json-c: one owner per json_object, typed member reads, base64.
#pragma once

#include <json-c/json.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace cloudsim {

struct JsonPut {
  void operator()(json_object* j) const { json_object_put(j); }
};
using JsonPtr = std::unique_ptr<json_object, JsonPut>;

inline JsonPtr Json(json_object* j) {
  return JsonPtr(j);
}
// Shares a reference (json-c counts references).
inline JsonPtr JsonRef(json_object* j) {
  return JsonPtr(j ? json_object_get(j) : nullptr);
}
JsonPtr ParseJson(std::string_view text, std::string* error = nullptr);
std::string JsonText(const json_object* j, bool pretty = false);

// Member access on an object (nullptr / nullopt when absent or of another type).
json_object* Member(const json_object* object, const char* key);
std::optional<std::string> StringMember(const json_object* object, const char* key);
std::optional<int64_t> IntMember(const json_object* object, const char* key);
bool BoolMember(const json_object* object, const char* key, bool fallback);
// Follows a dotted path ("decoded.connection_info.0.port"); numbers index arrays.
json_object* PathGet(const json_object* root, std::string_view path);
// The text form used for matching: strings as they are, other values as JSON text.
std::string ScalarText(const json_object* j);

// A deep copy (nullptr for nullptr).
JsonPtr JsonCopy(const json_object* j);
// base with changes applied: objects merge member by member, a null member removes it, anything
// else replaces.
JsonPtr MergeJson(const json_object* base, const json_object* changes);

std::string Base64Encode(std::string_view bytes);
std::optional<std::string> Base64Decode(std::string_view text);
bool IsValidUtf8(std::string_view text);

}  // namespace cloudsim
