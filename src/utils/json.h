// RAII ownership of json-c objects.
#pragma once

#include <json-c/json.h>

#include <memory>
#include <optional>
#include <string>

namespace zc {

struct JsonDeleter {
  void operator()(json_object* o) const { json_object_put(o); }
};
using JsonPtr = std::unique_ptr<json_object, JsonDeleter>;

inline JsonPtr JsonParse(const std::string& text) {
  return JsonPtr(json_tokener_parse(text.c_str()));
}
inline std::string JsonText(json_object* o, int flags = JSON_C_TO_STRING_PLAIN) {
  return o ? json_object_to_json_string_ext(o, flags) : "null";
}
// Adds a string member (json-c keeps the bytes as given).
inline void JsonAddString(json_object* o, const char* key, const std::string& value) {
  json_object_object_add(o, key,
                         json_object_new_string_len(value.data(), static_cast<int>(value.size())));
}

}  // namespace zc
