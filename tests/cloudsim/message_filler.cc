#include "message_filler.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

namespace zctest {
namespace {

template <typename T>
T& At(void* m, unsigned offset) {
  return *reinterpret_cast<T*>(static_cast<char*>(m) + offset);
}

size_t ElementSize(ProtobufCType type) {
  switch (type) {
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
    case PROTOBUF_C_TYPE_MESSAGE:
      return sizeof(void*);
    case PROTOBUF_C_TYPE_BYTES:
      return sizeof(ProtobufCBinaryData);
    default:
      return 4;
  }
}

// Members of the oneof a field belongs to, and the field's index among them.
void OneofPosition(const ProtobufCMessageDescriptor& d, const ProtobufCFieldDescriptor& f,
                   unsigned* index, unsigned* count) {
  *index = 0;
  *count = 0;
  for (unsigned i = 0; i < d.n_fields; ++i) {
    const ProtobufCFieldDescriptor& g = d.fields[i];
    if ((g.flags & PROTOBUF_C_FIELD_FLAG_ONEOF) && g.quantifier_offset == f.quantifier_offset) {
      if (g.id == f.id) *index = *count;
      ++*count;
    }
  }
}

void SetValue(const ProtobufCFieldDescriptor& f, void* slot, unsigned element, unsigned choice,
              int depth);

ProtobufCMessage* Build(const ProtobufCMessageDescriptor& d, unsigned choice, int depth) {
  auto* m = static_cast<ProtobufCMessage*>(calloc(1, d.sizeof_message));
  d.message_init(m);
  for (unsigned i = 0; i < d.n_fields; ++i) {
    const ProtobufCFieldDescriptor& f = d.fields[i];
    if (f.flags & PROTOBUF_C_FIELD_FLAG_ONEOF) {
      unsigned index, count;
      OneofPosition(d, f, &index, &count);
      if (choice % count != index) continue;
      At<uint32_t>(m, f.quantifier_offset) = f.id;
      SetValue(f, static_cast<char*>(static_cast<void*>(m)) + f.offset, 0, choice, depth);
    } else if (f.label == PROTOBUF_C_LABEL_REPEATED) {
      constexpr unsigned kElements = 2;
      void* array = calloc(kElements, ElementSize(f.type));
      At<void*>(m, f.offset) = array;
      At<size_t>(m, f.quantifier_offset) = kElements;
      for (unsigned k = 0; k < kElements; ++k) {
        SetValue(f, static_cast<char*>(array) + k * ElementSize(f.type), k, choice, depth);
      }
    } else {
      if (f.type == PROTOBUF_C_TYPE_STRING || f.type == PROTOBUF_C_TYPE_MESSAGE) {
        At<void*>(m, f.offset) = nullptr;
      } else if (f.label == PROTOBUF_C_LABEL_OPTIONAL) {
        At<protobuf_c_boolean>(m, f.quantifier_offset) = 1;
      }
      SetValue(f, static_cast<char*>(static_cast<void*>(m)) + f.offset, 0, choice, depth);
    }
  }
  return m;
}

void SetValue(const ProtobufCFieldDescriptor& f, void* slot, unsigned element, unsigned choice,
              int depth) {
  const int64_t n = static_cast<int64_t>(f.id) * 1000 + element * 10 + depth + 1;
  switch (f.type) {
    case PROTOBUF_C_TYPE_INT32:
    case PROTOBUF_C_TYPE_SINT32:
    case PROTOBUF_C_TYPE_SFIXED32:
      *static_cast<int32_t*>(slot) = -static_cast<int32_t>(n);
      break;
    case PROTOBUF_C_TYPE_UINT32:
    case PROTOBUF_C_TYPE_FIXED32:
      *static_cast<uint32_t*>(slot) = 4000000000u - static_cast<uint32_t>(n);
      break;
    case PROTOBUF_C_TYPE_INT64:
    case PROTOBUF_C_TYPE_SINT64:
    case PROTOBUF_C_TYPE_SFIXED64:
      *static_cast<int64_t*>(slot) = -(n << 33);
      break;
    case PROTOBUF_C_TYPE_UINT64:
    case PROTOBUF_C_TYPE_FIXED64:
      *static_cast<uint64_t*>(slot) = 0xF000000000000000ull + static_cast<uint64_t>(n);
      break;
    case PROTOBUF_C_TYPE_FLOAT:
      *static_cast<float*>(slot) = static_cast<float>(n) + 0.25f;
      break;
    case PROTOBUF_C_TYPE_DOUBLE:
      *static_cast<double*>(slot) = static_cast<double>(n) + 0.125;
      break;
    case PROTOBUF_C_TYPE_BOOL:
      *static_cast<protobuf_c_boolean*>(slot) = 1;
      break;
    case PROTOBUF_C_TYPE_ENUM: {
      const auto* ed = static_cast<const ProtobufCEnumDescriptor*>(f.descriptor);
      *static_cast<int32_t*>(slot) = ed->values[ed->n_values - 1 - element % ed->n_values].value;
      break;
    }
    case PROTOBUF_C_TYPE_STRING: {
      std::string text = std::string(f.name) + "-" + std::to_string(n) + "-\xc3\xa9";
      *static_cast<char**>(slot) = strdup(text.c_str());
      break;
    }
    case PROTOBUF_C_TYPE_BYTES: {
      auto* b = static_cast<ProtobufCBinaryData*>(slot);
      b->len = 3;
      b->data = static_cast<uint8_t*>(malloc(3));
      memcpy(b->data, "\x00\xff\x01", 3);
      break;
    }
    case PROTOBUF_C_TYPE_MESSAGE:
      *static_cast<ProtobufCMessage**>(slot) =
          Build(*static_cast<const ProtobufCMessageDescriptor*>(f.descriptor), choice, depth + 1);
      break;
  }
}

}  // namespace

zc::pb::AnyUnpacked FillAll(const ProtobufCMessageDescriptor& descriptor, unsigned oneofChoice) {
  return zc::pb::AnyUnpacked(Build(descriptor, oneofChoice, 0));
}

unsigned OneofVariants(const ProtobufCMessageDescriptor& d) {
  unsigned most = 1;
  for (unsigned i = 0; i < d.n_fields; ++i) {
    const ProtobufCFieldDescriptor& f = d.fields[i];
    if (f.flags & PROTOBUF_C_FIELD_FLAG_ONEOF) {
      unsigned index, count;
      OneofPosition(d, f, &index, &count);
      most = std::max(most, count);
    }
    if (f.type == PROTOBUF_C_TYPE_MESSAGE) {
      most = std::max(most,
                      OneofVariants(*static_cast<const ProtobufCMessageDescriptor*>(f.descriptor)));
    }
  }
  return most;
}

}  // namespace zctest
