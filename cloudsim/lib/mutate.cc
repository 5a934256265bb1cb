#include "lib/mutate.h"

#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

namespace cloudsim {
namespace {

void PutVarint(std::string& out, uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<char>((v & 0x7f) | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<char>(v));
}

bool GetVarint(std::string_view in, size_t& pos, uint64_t* v) {
  *v = 0;
  for (int shift = 0; shift < 64 && pos < in.size(); shift += 7) {
    uint8_t b = static_cast<uint8_t>(in[pos++]);
    *v |= static_cast<uint64_t>(b & 0x7f) << shift;
    if (!(b & 0x80)) return true;
  }
  return false;
}

// One field on the wire: its number, wire type, and the bytes of the whole field (tag
// included) and of its value (for length-delimited fields, without the length).
struct WireField {
  uint32_t number;
  int wireType;
  std::string_view whole;
  std::string_view value;
};

bool SplitFields(std::string_view in, std::vector<WireField>* out) {
  size_t pos = 0;
  while (pos < in.size()) {
    size_t start = pos;
    uint64_t tag = 0;
    if (!GetVarint(in, pos, &tag)) return false;
    WireField f{static_cast<uint32_t>(tag >> 3), static_cast<int>(tag & 7), {}, {}};
    size_t valueStart = pos;
    uint64_t n = 0;
    switch (f.wireType) {
      case 0:
        if (!GetVarint(in, pos, &n)) return false;
        break;
      case 1:
        pos += 8;
        break;
      case 5:
        pos += 4;
        break;
      case 2:
        if (!GetVarint(in, pos, &n) || n > in.size() - pos) return false;
        valueStart = pos;
        pos += n;
        break;
      default:
        return false;
    }
    if (pos > in.size()) return false;
    f.whole = in.substr(start, pos - start);
    f.value = in.substr(valueStart, pos - valueStart);
    out->push_back(f);
  }
  return true;
}

const ProtobufCFieldDescriptor* FieldByName(const ProtobufCMessageDescriptor* type,
                                            std::string_view name) {
  for (unsigned i = 0; type && i < type->n_fields; ++i) {
    if (name == type->fields[i].name) return &type->fields[i];
  }
  return nullptr;
}

// Rewrites the field at path (dotted schema names) with op; false when the path does not exist.
template <typename Op>
bool Rewrite(const ProtobufCMessageDescriptor* type, std::string_view payload,
             std::string_view path, const Op& op, std::string* out, std::string* error) {
  size_t dot = path.find('.');
  std::string_view head = path.substr(0, dot);
  const ProtobufCFieldDescriptor* field = FieldByName(type, head);
  if (!field) {
    *error = "no field '" + std::string(head) + "' in " + (type ? type->name : "?");
    return false;
  }
  std::vector<WireField> fields;
  if (!SplitFields(payload, &fields)) {
    *error = "payload is not valid wire format";
    return false;
  }
  bool found = false;
  out->clear();
  for (const WireField& f : fields) {
    if (f.number != field->id) {
      out->append(f.whole);
      continue;
    }
    found = true;
    if (dot == std::string_view::npos) {
      op(field, out);
      continue;
    }
    if (field->type != PROTOBUF_C_TYPE_MESSAGE || f.wireType != 2) {
      *error = "'" + std::string(head) + "' is not a message";
      return false;
    }
    std::string inner;
    if (!Rewrite(static_cast<const ProtobufCMessageDescriptor*>(field->descriptor), f.value,
                 path.substr(dot + 1), op, &inner, error)) {
      return false;
    }
    PutVarint(*out, (static_cast<uint64_t>(field->id) << 3) | 2);
    PutVarint(*out, inner.size());
    out->append(inner);
  }
  if (!found) *error = "field '" + std::string(head) + "' not present in the payload";
  return found;
}

}  // namespace

bool MutatePayload(const ProtobufCMessageDescriptor* type, const json_object* mutate,
                   std::string* payload, std::string* error) {
  if (!mutate) return true;
  bool known = false;
  if (auto n = IntMember(mutate, "truncate")) {
    if (*n >= 0 && static_cast<size_t>(*n) < payload->size()) payload->resize(*n);
    known = true;
  }
  if (auto b64 = StringMember(mutate, "append_b64")) {
    auto bytes = Base64Decode(*b64);
    if (!bytes) {
      *error = "bad append_b64";
      return false;
    }
    payload->append(*bytes);
    known = true;
  }
  if (auto path = StringMember(mutate, "drop_field")) {
    std::string out;
    auto drop = [](const ProtobufCFieldDescriptor*, std::string*) {};
    if (!Rewrite(type, *payload, *path, drop, &out, error)) return false;
    *payload = out;
    known = true;
  }
  if (auto number = IntMember(mutate, "unknown_field")) {
    if (*number <= 0 || *number >= (1 << 29)) {
      *error = "unknown_field needs a field number";
      return false;
    }
    PutVarint(*payload, static_cast<uint64_t>(*number) << 3);
    PutVarint(*payload, 1);
    known = true;
  }
  if (json_object* set = Member(mutate, "set_field")) {
    auto path = StringMember(set, "path");
    int wireType = static_cast<int>(IntMember(set, "wire_type").value_or(0));
    json_object* value = Member(set, "value");
    if (!path || (wireType != 0 && wireType != 2)) {
      *error = "set_field needs a path and wire_type 0 or 2";
      return false;
    }
    auto put = [&](const ProtobufCFieldDescriptor* field, std::string* out) {
      PutVarint(*out, (static_cast<uint64_t>(field->id) << 3) | static_cast<uint64_t>(wireType));
      if (wireType == 0) {
        PutVarint(*out, static_cast<uint64_t>(value ? json_object_get_int64(value) : 0));
      } else {
        std::string text = value ? json_object_get_string(value) : "";
        PutVarint(*out, text.size());
        out->append(text);
      }
    };
    std::string out;
    if (!Rewrite(type, *payload, *path, put, &out, error)) return false;
    *payload = out;
    known = true;
  }
  if (auto member = StringMember(mutate, "duplicate_member")) {
    const ProtobufCFieldDescriptor* field = FieldByName(type, *member);
    if (!field) {
      *error = "no member '" + *member + "'";
      return false;
    }
    PutVarint(*payload, (static_cast<uint64_t>(field->id) << 3) | 2);
    PutVarint(*payload, 0);
    known = true;
  }
  if (!known) *error = "unsupported mutate";
  return known;
}

}  // namespace cloudsim
