// The message types that travel on their own (not only inside another message), by name, for code
// that handles payloads generically: the cloud simulator, fuzzing, round-trip tests.
#pragma once

#include <protobuf-c/protobuf-c.h>

#include <string_view>
#include <vector>

namespace zc::pb {

// Every wire message, in schema order.
const std::vector<const ProtobufCMessageDescriptor*>& WireTypes();

// By short name ("SignOnResponse") or full name ("zun.signon.SignOnResponse"); nullptr when
// unknown.
const ProtobufCMessageDescriptor* FindWireType(std::string_view name);

}  // namespace zc::pb
