// Strings on the wire are raw bytes, and the decoded C strings end at the first NUL: a value
// with a NUL inside would be applied cut short. The check walks the payload itself, by the
// schema, before anything is applied.
#include <cstring>
#include <string_view>

#include "config/config_internal.h"

namespace {

bool ReadVarint(std::string_view in, size_t& pos, uint64_t* v) {
  *v = 0;
  for (int shift = 0; shift < 64 && pos < in.size(); shift += 7) {
    uint8_t b = static_cast<uint8_t>(in[pos++]);
    *v |= static_cast<uint64_t>(b & 0x7f) << shift;
    if (!(b & 0x80)) return true;
  }
  return false;
}

const ProtobufCFieldDescriptor* FieldOf(const ProtobufCMessageDescriptor* type, uint32_t id) {
  for (unsigned i = 0; i < type->n_fields; ++i) {
    if (type->fields[i].id == id) return &type->fields[i];
  }
  return nullptr;
}

// True when a string field (other than "transid") of the message holds a NUL byte; payloads that
// do not parse are left to the decoder.
bool HasNul(const ProtobufCMessageDescriptor* type, std::string_view in, int depth) {
  if (depth > 8) return false;
  size_t pos = 0;
  while (pos < in.size()) {
    uint64_t tag = 0, n = 0;
    if (!ReadVarint(in, pos, &tag)) return false;
    switch (tag & 7) {
      case 0:
        if (!ReadVarint(in, pos, &n)) return false;
        continue;
      case 1:
        pos += 8;
        continue;
      case 5:
        pos += 4;
        continue;
      case 2:
        break;
      default:
        return false;
    }
    if (!ReadVarint(in, pos, &n) || n > in.size() - pos) return false;
    std::string_view value = in.substr(pos, n);
    pos += n;
    const ProtobufCFieldDescriptor* field = FieldOf(type, static_cast<uint32_t>(tag >> 3));
    if (!field) continue;
    if (field->type == PROTOBUF_C_TYPE_STRING && strcmp(field->name, "transid") != 0 &&
        value.find('\0') != std::string_view::npos) {
      return true;
    }
    if (field->type == PROTOBUF_C_TYPE_MESSAGE &&
        HasNul(static_cast<const ProtobufCMessageDescriptor*>(field->descriptor), value,
               depth + 1)) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool ConfigPayloadHasNulText(const void* payload, size_t length) {
  if (!payload) return false;
  return HasNul(&zun__config__platformconfig__descriptor,
                std::string_view(static_cast<const char*>(payload), length), 0);
}
