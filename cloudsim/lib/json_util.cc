#include "lib/json_util.h"

#include <cstdlib>
#include <string>

namespace cloudsim {

JsonPtr ParseJson(std::string_view text, std::string* error) {
  json_tokener* tok = json_tokener_new();
  json_object* j = json_tokener_parse_ex(tok, text.data(), static_cast<int>(text.size()));
  json_tokener_error err = json_tokener_get_error(tok);
  if (err == json_tokener_success && tok->char_offset < static_cast<int>(text.size())) {
    // Trailing bytes after the value: only blanks are allowed.
    for (size_t i = tok->char_offset; i < text.size(); ++i) {
      if (text[i] != ' ' && text[i] != '\n' && text[i] != '\r' && text[i] != '\t') {
        json_object_put(j);
        j = nullptr;
        if (error) *error = "trailing data after JSON value";
        break;
      }
    }
  } else if (err != json_tokener_success) {
    json_object_put(j);
    j = nullptr;
    if (error) *error = json_tokener_error_desc(err);
  }
  json_tokener_free(tok);
  return JsonPtr(j);
}

std::string JsonText(const json_object* j, bool pretty) {
  int flags =
      JSON_C_TO_STRING_NOSLASHESCAPE | (pretty ? JSON_C_TO_STRING_PRETTY : JSON_C_TO_STRING_PLAIN);
  return json_object_to_json_string_ext(const_cast<json_object*>(j), flags);
}

json_object* Member(const json_object* object, const char* key) {
  json_object* out = nullptr;
  if (!object || !json_object_is_type(object, json_type_object)) return nullptr;
  if (!json_object_object_get_ex(object, key, &out)) return nullptr;
  return out;
}

std::optional<std::string> StringMember(const json_object* object, const char* key) {
  json_object* m = Member(object, key);
  if (!m || !json_object_is_type(m, json_type_string)) return std::nullopt;
  return std::string(json_object_get_string(m), json_object_get_string_len(m));
}

std::optional<int64_t> IntMember(const json_object* object, const char* key) {
  json_object* m = Member(object, key);
  if (!m || !(json_object_is_type(m, json_type_int) || json_object_is_type(m, json_type_double))) {
    return std::nullopt;
  }
  return json_object_get_int64(m);
}

bool BoolMember(const json_object* object, const char* key, bool fallback) {
  json_object* m = Member(object, key);
  if (!m) return fallback;
  return json_object_get_boolean(m);
}

json_object* PathGet(const json_object* root, std::string_view path) {
  const json_object* cur = root;
  size_t start = 0;
  while (cur && start <= path.size()) {
    size_t dot = path.find('.', start);
    if (dot == std::string_view::npos) dot = path.size();
    std::string part(path.substr(start, dot - start));
    if (json_object_is_type(cur, json_type_array)) {
      char* end = nullptr;
      long index = strtol(part.c_str(), &end, 10);
      if (part.empty() || *end || index < 0 ||
          static_cast<size_t>(index) >= json_object_array_length(cur)) {
        return nullptr;
      }
      cur = json_object_array_get_idx(cur, index);
    } else {
      cur = Member(cur, part.c_str());
    }
    start = dot + 1;
    if (dot == path.size()) break;
  }
  return const_cast<json_object*>(cur);
}

JsonPtr JsonCopy(const json_object* j) {
  json_object* out = nullptr;
  if (!j || json_object_deep_copy(const_cast<json_object*>(j), &out, nullptr) != 0) return nullptr;
  return JsonPtr(out);
}

JsonPtr MergeJson(const json_object* base, const json_object* changes) {
  if (!changes) return JsonCopy(base);
  if (!base || !json_object_is_type(base, json_type_object) ||
      !json_object_is_type(changes, json_type_object)) {
    return JsonCopy(changes);
  }
  JsonPtr out = JsonCopy(base);
  json_object_object_foreach(const_cast<json_object*>(changes), key, value) {
    if (!value) {
      json_object_object_del(out.get(), key);
      continue;
    }
    JsonPtr merged = MergeJson(Member(out.get(), key), value);
    json_object_object_add(out.get(), key, merged.release());
  }
  return out;
}

std::string ScalarText(const json_object* j) {
  if (!j) return "null";
  if (json_object_is_type(j, json_type_string)) {
    return std::string(json_object_get_string(const_cast<json_object*>(j)),
                       json_object_get_string_len(j));
  }
  return JsonText(j);
}

namespace {
constexpr char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int B64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+' || c == '-') return 62;
  if (c == '/' || c == '_') return 63;
  return -1;
}
}  // namespace

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    uint32_t v = (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8) | uint8_t(bytes[i + 2]);
    out += kB64[v >> 18];
    out += kB64[(v >> 12) & 63];
    out += kB64[(v >> 6) & 63];
    out += kB64[v & 63];
  }
  if (i < bytes.size()) {
    uint32_t v = uint8_t(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= uint8_t(bytes[i + 1]) << 8;
    out += kB64[v >> 18];
    out += kB64[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? kB64[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::optional<std::string> Base64Decode(std::string_view text) {
  std::string out;
  uint32_t acc = 0;
  int bits = 0;
  for (char c : text) {
    if (c == '=' || c == '\n' || c == '\r' || c == ' ') continue;
    int v = B64Value(c);
    if (v < 0) return std::nullopt;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return out;
}

bool IsValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    uint8_t c = text[i];
    int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
    if (extra < 0) return false;
    uint32_t cp = extra == 0 ? c : c & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
      if (i + k >= text.size()) return false;
      uint8_t cc = text[i + k];
      if ((cc >> 6) != 2) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

}  // namespace cloudsim
