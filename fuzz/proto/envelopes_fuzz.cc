// The payloads the agent decodes from the cloud: configuration envelopes, sign-on and firmware
// answers, edge answers (the first input byte picks the type). A payload either fails to decode
// or decodes into a complete message (every required field set) that packs again and is freed
// without a leak. (Byte identity after a second round is not asked for: unknown fields with
// invalid numbers are kept as they came.)
#include <cstddef>
#include <cstdint>
#include <vector>

#include "proto/messages.h"

namespace {

const ProtobufCMessageDescriptor* const kEnvelopes[] = {
    &zun__config__platformconfig__descriptor,
    &zun__signon__sign_on_response__descriptor,
    &zun__firmware__firmware_validate_response__descriptor,
    &zun__firmware__firmware_update_result_response__descriptor,
    &zun__edge__edgednsresp__descriptor,
    &zun__edge__edgednsrequest__descriptor,
};
constexpr size_t kCount = sizeof kEnvelopes / sizeof kEnvelopes[0];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const ProtobufCMessageDescriptor& type = *kEnvelopes[data[0] % kCount];
  zc::pb::AnyUnpacked message = zc::pb::UnpackAny(type, data + 1, size - 1);
  if (!message) return 0;
  if (!protobuf_c_message_check(message.get())) __builtin_trap();
  std::vector<uint8_t> packed = zc::pb::PackAny(*message);
  if (packed.size() != protobuf_c_message_get_packed_size(message.get())) __builtin_trap();
  zc::pb::UnpackAny(type, packed.data(), packed.size());
  return 0;
}
