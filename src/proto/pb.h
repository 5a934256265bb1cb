// Ownership and packing of protobuf-c messages.
//
// An unpacked message is owned by a unique_ptr whose deleter is the generated free_unpacked, so
// no caller writes a free path. Packing goes into a std::vector or std::string of exactly the
// packed size.
#pragma once

#include <protobuf-c/protobuf-c.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zc::pb {

// Specialised for each message type by ZC_PB_MESSAGE (see messages.h).
template <typename T>
struct MessageTraits;

template <typename T>
struct Deleter {
  void operator()(T* message) const { MessageTraits<T>::FreeUnpacked(message); }
};

template <typename T>
using Unpacked = std::unique_ptr<T, Deleter<T>>;

// Decodes a payload; empty when the bytes are not a valid message of the type (truncated,
// garbage, wrong wire type, a required field missing).
template <typename T>
Unpacked<T> Unpack(const void* data, size_t length) {
  static const uint8_t kEmpty = 0;
  const uint8_t* bytes = data ? static_cast<const uint8_t*>(data) : &kEmpty;
  return Unpacked<T>(MessageTraits<T>::Unpack(data ? length : 0, bytes));
}

// A message with every field at its default, ready to be filled.
template <typename T>
T Make() {
  T message;
  MessageTraits<T>::Init(&message);
  return message;
}

inline const ProtobufCMessage* Base(const ProtobufCMessage* message) {
  return message;
}
template <typename T>
const ProtobufCMessage* Base(const T* message) {
  return &message->base;
}

template <typename T>
size_t PackedSize(const T& message) {
  return protobuf_c_message_get_packed_size(Base(&message));
}

template <typename T>
std::vector<uint8_t> Pack(const T& message) {
  std::vector<uint8_t> out(PackedSize(message));
  if (!out.empty()) protobuf_c_message_pack(Base(&message), out.data());
  return out;
}

template <typename T>
std::string PackToString(const T& message) {
  std::string out(PackedSize(message), '\0');
  if (!out.empty()) protobuf_c_message_pack(Base(&message), reinterpret_cast<uint8_t*>(out.data()));
  return out;
}

// Messages known only by their descriptor (the cloud simulator, fuzzing, logs).
struct AnyDeleter {
  void operator()(ProtobufCMessage* message) const {
    protobuf_c_message_free_unpacked(message, nullptr);
  }
};
using AnyUnpacked = std::unique_ptr<ProtobufCMessage, AnyDeleter>;

AnyUnpacked UnpackAny(const ProtobufCMessageDescriptor& descriptor, const void* data,
                      size_t length);
std::vector<uint8_t> PackAny(const ProtobufCMessage& message);

}  // namespace zc::pb

// Declares the traits of one generated message type from its C function prefix, e.g.
// ZC_PB_MESSAGE(Zun__Edge__EDGEDNSRESP, zun__edge__edgednsresp). Every type of the schema gets
// one in the generated proto/all_messages.h (nested types included).
#define ZC_PB_MESSAGE(Type, prefix)                                                        \
  template <>                                                                              \
  struct zc::pb::MessageTraits<Type> {                                                     \
    static const ProtobufCMessageDescriptor& Descriptor() { return prefix##__descriptor; } \
    static void Init(Type* message) { prefix##__init(message); }                           \
    static Type* Unpack(size_t length, const uint8_t* data) {                              \
      return reinterpret_cast<Type*>(                                                      \
          protobuf_c_message_unpack(&prefix##__descriptor, nullptr, length, data));        \
    }                                                                                      \
    static void FreeUnpacked(Type* message) {                                              \
      protobuf_c_message_free_unpacked(&message->base, nullptr);                           \
    }                                                                                      \
  }
