#include "proto/pb.h"

namespace zc::pb {

AnyUnpacked UnpackAny(const ProtobufCMessageDescriptor& descriptor, const void* data,
                      size_t length) {
  static const uint8_t kEmpty = 0;
  const uint8_t* bytes = data ? static_cast<const uint8_t*>(data) : &kEmpty;
  return AnyUnpacked(protobuf_c_message_unpack(&descriptor, nullptr, data ? length : 0, bytes));
}

std::vector<uint8_t> PackAny(const ProtobufCMessage& message) {
  std::vector<uint8_t> out(protobuf_c_message_get_packed_size(&message));
  if (!out.empty()) protobuf_c_message_pack(&message, out.data());
  return out;
}

}  // namespace zc::pb
