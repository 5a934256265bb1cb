// Builds messages of any schema type with every field set to a distinctive value (repeated
// fields with two elements), by walking the generated descriptors.
#pragma once

#include <protobuf-c/protobuf-c.h>

#include "proto/pb.h"

namespace zctest {

// `oneofChoice` selects which member of each oneof is set (modulo the member count).
zc::pb::AnyUnpacked FillAll(const ProtobufCMessageDescriptor& descriptor, unsigned oneofChoice = 0);
// Largest member count of the type's oneofs, nested ones included (1 when it has none).
unsigned OneofVariants(const ProtobufCMessageDescriptor& descriptor);

}  // namespace zctest
