// Protocol-buffer messages in JSON form, driven by the generated descriptors: every message of
// the schema converts without per-type code. Field names are the schema's; enums by name (a
// number when unknown); strings that are not UTF-8 as {"b64": ...}.
#pragma once

#include <protobuf-c/protobuf-c.h>

#include <string>
#include <string_view>

#include "lib/json_util.h"
#include "proto/pb.h"

namespace cloudsim {

JsonPtr MessageToJson(const ProtobufCMessage& message);

// Builds a message of the type from its JSON form. Members the schema does not know, values of
// the wrong type and required fields left unset are errors.
zc::pb::AnyUnpacked MessageFromJson(const ProtobufCMessageDescriptor& descriptor,
                                    const json_object* json, std::string* error);

// Decodes a payload into its JSON form; nullptr with an error text when it does not decode.
JsonPtr DecodeToJson(const ProtobufCMessageDescriptor& descriptor, std::string_view payload,
                     std::string* error);
// Encodes the JSON form; empty optional with an error text on failure.
bool EncodeFromJson(const ProtobufCMessageDescriptor& descriptor, const json_object* json,
                    std::string* payload, std::string* error);

}  // namespace cloudsim
