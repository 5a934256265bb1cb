#include "lib/pbjson.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace cloudsim {
namespace {

template <typename T>
T& At(void* message, unsigned offset) {
  return *reinterpret_cast<T*>(static_cast<char*>(message) + offset);
}
template <typename T>
const T& At(const void* message, unsigned offset) {
  return *reinterpret_cast<const T*>(static_cast<const char*>(message) + offset);
}

size_t ElementSize(ProtobufCType type) {
  switch (type) {
    case PROTOBUF_C_TYPE_INT32:
    case PROTOBUF_C_TYPE_SINT32:
    case PROTOBUF_C_TYPE_SFIXED32:
    case PROTOBUF_C_TYPE_UINT32:
    case PROTOBUF_C_TYPE_FIXED32:
    case PROTOBUF_C_TYPE_FLOAT:
    case PROTOBUF_C_TYPE_ENUM:
      return 4;
    case PROTOBUF_C_TYPE_INT64:
    case PROTOBUF_C_TYPE_SINT64:
    case PROTOBUF_C_TYPE_SFIXED64:
    case PROTOBUF_C_TYPE_UINT64:
    case PROTOBUF_C_TYPE_FIXED64:
    case PROTOBUF_C_TYPE_DOUBLE:
      return 8;
    case PROTOBUF_C_TYPE_BOOL:
      return sizeof(protobuf_c_boolean);
    case PROTOBUF_C_TYPE_STRING:
      return sizeof(char*);
    case PROTOBUF_C_TYPE_BYTES:
      return sizeof(ProtobufCBinaryData);
    case PROTOBUF_C_TYPE_MESSAGE:
      return sizeof(ProtobufCMessage*);
  }
  return 0;
}

bool IsOneof(const ProtobufCFieldDescriptor& f) {
  return f.flags & PROTOBUF_C_FIELD_FLAG_ONEOF;
}

bool IsPresent(const ProtobufCMessage& m, const ProtobufCFieldDescriptor& f) {
  if (f.label == PROTOBUF_C_LABEL_REQUIRED) return true;
  if (IsOneof(f)) return At<uint32_t>(&m, f.quantifier_offset) == f.id;
  if (f.type == PROTOBUF_C_TYPE_STRING || f.type == PROTOBUF_C_TYPE_MESSAGE) {
    const void* p = At<const void*>(&m, f.offset);
    return p != nullptr && p != f.default_value;
  }
  return At<protobuf_c_boolean>(&m, f.quantifier_offset) != 0;
}

JsonPtr StringJson(const char* s, size_t length) {
  std::string_view text(s ? s : "", s ? length : 0);
  if (IsValidUtf8(text)) return Json(json_object_new_string_len(text.data(), text.size()));
  JsonPtr wrapped(json_object_new_object());
  json_object_object_add(wrapped.get(), "b64", json_object_new_string(Base64Encode(text).c_str()));
  return wrapped;
}

JsonPtr ValueToJson(const ProtobufCFieldDescriptor& f, const void* value) {
  switch (f.type) {
    case PROTOBUF_C_TYPE_INT32:
    case PROTOBUF_C_TYPE_SINT32:
    case PROTOBUF_C_TYPE_SFIXED32:
      return Json(json_object_new_int(*static_cast<const int32_t*>(value)));
    case PROTOBUF_C_TYPE_UINT32:
    case PROTOBUF_C_TYPE_FIXED32:
      return Json(json_object_new_int64(*static_cast<const uint32_t*>(value)));
    case PROTOBUF_C_TYPE_INT64:
    case PROTOBUF_C_TYPE_SINT64:
    case PROTOBUF_C_TYPE_SFIXED64:
      return Json(json_object_new_int64(*static_cast<const int64_t*>(value)));
    case PROTOBUF_C_TYPE_UINT64:
    case PROTOBUF_C_TYPE_FIXED64:
      return Json(json_object_new_uint64(*static_cast<const uint64_t*>(value)));
    case PROTOBUF_C_TYPE_FLOAT:
      return Json(json_object_new_double(*static_cast<const float*>(value)));
    case PROTOBUF_C_TYPE_DOUBLE:
      return Json(json_object_new_double(*static_cast<const double*>(value)));
    case PROTOBUF_C_TYPE_BOOL:
      return Json(json_object_new_boolean(*static_cast<const protobuf_c_boolean*>(value)));
    case PROTOBUF_C_TYPE_ENUM: {
      int32_t v = *static_cast<const int32_t*>(value);
      const auto* ed = static_cast<const ProtobufCEnumDescriptor*>(f.descriptor);
      const ProtobufCEnumValue* ev = protobuf_c_enum_descriptor_get_value(ed, v);
      if (ev) return Json(json_object_new_string(ev->name));
      return Json(json_object_new_int(v));
    }
    case PROTOBUF_C_TYPE_STRING: {
      const char* s = *static_cast<const char* const*>(value);
      return StringJson(s, s ? strlen(s) : 0);
    }
    case PROTOBUF_C_TYPE_BYTES: {
      const auto* b = static_cast<const ProtobufCBinaryData*>(value);
      JsonPtr wrapped(json_object_new_object());
      json_object_object_add(
          wrapped.get(), "b64",
          json_object_new_string(
              Base64Encode(std::string_view(reinterpret_cast<const char*>(b->data), b->len))
                  .c_str()));
      return wrapped;
    }
    case PROTOBUF_C_TYPE_MESSAGE: {
      const auto* sub = *static_cast<const ProtobufCMessage* const*>(value);
      return sub ? MessageToJson(*sub) : Json(nullptr);
    }
  }
  return Json(nullptr);
}

// ---- JSON -> message ----

class Builder {
 public:
  explicit Builder(std::string* error) : error_(error) {}

  bool Fill(ProtobufCMessage* m, const json_object* json, const std::string& where) {
    if (!json_object_is_type(json, json_type_object)) return Fail(where, "expected an object");
    const ProtobufCMessageDescriptor* d = m->descriptor;
    json_object_object_foreach(const_cast<json_object*>(json), key, value) {
      const ProtobufCFieldDescriptor* f = protobuf_c_message_descriptor_get_field_by_name(d, key);
      std::string here = where.empty() ? key : where + "." + key;
      if (!f) return Fail(here, "no such field in " + std::string(d->name));
      if (!SetField(m, *f, value, here)) return false;
    }
    return true;
  }

 private:
  bool Fail(const std::string& where, const std::string& what) {
    if (error_ && error_->empty()) *error_ = where + ": " + what;
    return false;
  }

  bool SetField(ProtobufCMessage* m, const ProtobufCFieldDescriptor& f, const json_object* value,
                const std::string& where) {
    if (!value) return true;  // JSON null: the field stays absent
    if (f.label == PROTOBUF_C_LABEL_REPEATED) {
      if (!json_object_is_type(value, json_type_array)) return Fail(where, "expected an array");
      size_t n = json_object_array_length(value);
      if (n == 0) return true;
      void* array = calloc(n, ElementSize(f.type));
      if (!array) return Fail(where, "out of memory");
      At<size_t>(m, f.quantifier_offset) = 0;
      At<void*>(m, f.offset) = array;
      for (size_t i = 0; i < n; ++i) {
        void* slot = static_cast<char*>(array) + i * ElementSize(f.type);
        if (!SetValue(f, slot, json_object_array_get_idx(value, i),
                      where + "." + std::to_string(i))) {
          return false;
        }
        // Counted as they are filled, so a failure frees exactly what was built.
        At<size_t>(m, f.quantifier_offset) = i + 1;
      }
      return true;
    }
    if (IsOneof(f)) {
      uint32_t& which = At<uint32_t>(m, f.quantifier_offset);
      if (which != 0) return Fail(where, "a second member of one oneof");
      // Selected first: a member that fails half-way is still freed with the message.
      which = f.id;
      return SetValue(f, static_cast<char*>(static_cast<void*>(m)) + f.offset, value, where);
    }
    if (f.type == PROTOBUF_C_TYPE_STRING || f.type == PROTOBUF_C_TYPE_MESSAGE) {
      // Replaces the initial value (a static default, never owned).
      At<void*>(m, f.offset) = nullptr;
    }
    if (!SetValue(f, static_cast<char*>(static_cast<void*>(m)) + f.offset, value, where)) {
      return false;
    }
    if (f.label == PROTOBUF_C_LABEL_OPTIONAL && f.type != PROTOBUF_C_TYPE_STRING &&
        f.type != PROTOBUF_C_TYPE_MESSAGE) {
      At<protobuf_c_boolean>(m, f.quantifier_offset) = 1;
    }
    return true;
  }

  bool Int(const json_object* v, const std::string& where, int64_t lo, int64_t hi, int64_t* out) {
    if (!json_object_is_type(v, json_type_int)) return Fail(where, "expected an integer");
    int64_t x = json_object_get_int64(v);
    if (x < lo || x > hi) return Fail(where, "integer out of range");
    *out = x;
    return true;
  }

  bool Text(const json_object* v, const std::string& where, std::string* out) {
    if (json_object_is_type(v, json_type_string)) {
      out->assign(json_object_get_string(const_cast<json_object*>(v)),
                  json_object_get_string_len(v));
      return true;
    }
    if (auto b64 = StringMember(v, "b64")) {
      auto bytes = Base64Decode(*b64);
      if (!bytes) return Fail(where, "bad base64");
      *out = *bytes;
      return true;
    }
    return Fail(where, "expected a string or {\"b64\": ...}");
  }

  bool SetValue(const ProtobufCFieldDescriptor& f, void* slot, const json_object* v,
                const std::string& where) {
    int64_t x = 0;
    switch (f.type) {
      case PROTOBUF_C_TYPE_INT32:
      case PROTOBUF_C_TYPE_SINT32:
      case PROTOBUF_C_TYPE_SFIXED32:
        if (!Int(v, where, INT32_MIN, INT32_MAX, &x)) return false;
        *static_cast<int32_t*>(slot) = static_cast<int32_t>(x);
        return true;
      case PROTOBUF_C_TYPE_UINT32:
      case PROTOBUF_C_TYPE_FIXED32:
        if (!Int(v, where, 0, UINT32_MAX, &x)) return false;
        *static_cast<uint32_t*>(slot) = static_cast<uint32_t>(x);
        return true;
      case PROTOBUF_C_TYPE_INT64:
      case PROTOBUF_C_TYPE_SINT64:
      case PROTOBUF_C_TYPE_SFIXED64:
        if (!Int(v, where, INT64_MIN, INT64_MAX, &x)) return false;
        *static_cast<int64_t*>(slot) = x;
        return true;
      case PROTOBUF_C_TYPE_UINT64:
      case PROTOBUF_C_TYPE_FIXED64:
        if (!json_object_is_type(v, json_type_int)) return Fail(where, "expected an integer");
        *static_cast<uint64_t*>(slot) = json_object_get_uint64(v);
        return true;
      case PROTOBUF_C_TYPE_FLOAT:
      case PROTOBUF_C_TYPE_DOUBLE: {
        if (!json_object_is_type(v, json_type_double) && !json_object_is_type(v, json_type_int)) {
          return Fail(where, "expected a number");
        }
        double d = json_object_get_double(v);
        if (f.type == PROTOBUF_C_TYPE_FLOAT) {
          *static_cast<float*>(slot) = static_cast<float>(d);
        } else {
          *static_cast<double*>(slot) = d;
        }
        return true;
      }
      case PROTOBUF_C_TYPE_BOOL:
        if (!json_object_is_type(v, json_type_boolean) && !json_object_is_type(v, json_type_int)) {
          return Fail(where, "expected a boolean");
        }
        *static_cast<protobuf_c_boolean*>(slot) = json_object_get_boolean(v) ? 1 : 0;
        return true;
      case PROTOBUF_C_TYPE_ENUM: {
        const auto* ed = static_cast<const ProtobufCEnumDescriptor*>(f.descriptor);
        if (json_object_is_type(v, json_type_string)) {
          const ProtobufCEnumValue* ev = protobuf_c_enum_descriptor_get_value_by_name(
              ed, json_object_get_string(const_cast<json_object*>(v)));
          if (!ev) return Fail(where, "no such value in " + std::string(ed->name));
          *static_cast<int32_t*>(slot) = ev->value;
          return true;
        }
        if (!Int(v, where, INT32_MIN, INT32_MAX, &x)) return false;
        *static_cast<int32_t*>(slot) = static_cast<int32_t>(x);
        return true;
      }
      case PROTOBUF_C_TYPE_STRING: {
        std::string text;
        if (!Text(v, where, &text)) return false;
        char* copy = static_cast<char*>(malloc(text.size() + 1));
        if (!copy) return Fail(where, "out of memory");
        memcpy(copy, text.data(), text.size());
        copy[text.size()] = '\0';
        *static_cast<char**>(slot) = copy;
        return true;
      }
      case PROTOBUF_C_TYPE_BYTES: {
        std::string bytes;
        if (!Text(v, where, &bytes)) return false;
        auto* b = static_cast<ProtobufCBinaryData*>(slot);
        b->data = static_cast<uint8_t*>(malloc(bytes.size() ? bytes.size() : 1));
        if (!b->data) return Fail(where, "out of memory");
        memcpy(b->data, bytes.data(), bytes.size());
        b->len = bytes.size();
        return true;
      }
      case PROTOBUF_C_TYPE_MESSAGE: {
        const auto* md = static_cast<const ProtobufCMessageDescriptor*>(f.descriptor);
        auto* sub = static_cast<ProtobufCMessage*>(calloc(1, md->sizeof_message));
        if (!sub) return Fail(where, "out of memory");
        md->message_init(sub);
        *static_cast<ProtobufCMessage**>(slot) = sub;
        return Fill(sub, v, where);
      }
    }
    return Fail(where, "unsupported field type");
  }

  std::string* error_;
};

}  // namespace

JsonPtr MessageToJson(const ProtobufCMessage& message) {
  JsonPtr out(json_object_new_object());
  const ProtobufCMessageDescriptor* d = message.descriptor;
  for (unsigned i = 0; i < d->n_fields; ++i) {
    const ProtobufCFieldDescriptor& f = d->fields[i];
    if (f.label == PROTOBUF_C_LABEL_REPEATED) {
      size_t n = At<size_t>(&message, f.quantifier_offset);
      const char* array = At<const char*>(&message, f.offset);
      JsonPtr list(json_object_new_array());
      for (size_t k = 0; k < n; ++k) {
        json_object_array_add(list.get(),
                              ValueToJson(f, array + k * ElementSize(f.type)).release());
      }
      json_object_object_add(out.get(), f.name, list.release());
      continue;
    }
    if (!IsPresent(message, f)) continue;
    json_object_object_add(
        out.get(), f.name,
        ValueToJson(f, reinterpret_cast<const char*>(&message) + f.offset).release());
  }
  return out;
}

zc::pb::AnyUnpacked MessageFromJson(const ProtobufCMessageDescriptor& descriptor,
                                    const json_object* json, std::string* error) {
  std::string local;
  std::string* err = error ? error : &local;
  err->clear();
  auto* raw = static_cast<ProtobufCMessage*>(calloc(1, descriptor.sizeof_message));
  if (!raw) {
    *err = "out of memory";
    return {};
  }
  descriptor.message_init(raw);
  zc::pb::AnyUnpacked message(raw);
  Builder builder(err);
  if (!builder.Fill(raw, json, "")) return {};
  if (!protobuf_c_message_check(raw)) {
    *err = std::string("a required field of ") + descriptor.name + " is not set";
    return {};
  }
  return message;
}

JsonPtr DecodeToJson(const ProtobufCMessageDescriptor& descriptor, std::string_view payload,
                     std::string* error) {
  zc::pb::AnyUnpacked message = zc::pb::UnpackAny(descriptor, payload.data(), payload.size());
  if (!message) {
    if (error) *error = std::string("not a valid ") + descriptor.name;
    return {};
  }
  return MessageToJson(*message);
}

bool EncodeFromJson(const ProtobufCMessageDescriptor& descriptor, const json_object* json,
                    std::string* payload, std::string* error) {
  zc::pb::AnyUnpacked message = MessageFromJson(descriptor, json, error);
  if (!message) return false;
  std::vector<uint8_t> bytes = zc::pb::PackAny(*message);
  payload->assign(bytes.begin(), bytes.end());
  return true;
}

}  // namespace cloudsim
