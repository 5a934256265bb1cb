// Malformed variants of a valid payload, made at the wire level so the agent's decoder sees
// exactly what a faulty cloud would send:
//   {"truncate": n}                      keep the first n bytes
//   {"append_b64": "..."}                append raw bytes
//   {"drop_field": "_cmd.transid"}       remove a field (by schema name, through nested messages)
//   {"unknown_field": 99}                add a varint field the schema does not know
//   {"set_field": {"path": "_cmd.transid", "wire_type": 0, "value": 5}}
//                                        replace a field by one of the given wire type (0 varint
//                                        with a number, 2 bytes with a text)
//   {"duplicate_member": "_acs"}         append a second oneof member (an empty one)
// Several forms in one object apply in the order above.
#pragma once

#include <protobuf-c/protobuf-c.h>

#include <string>

#include "lib/json_util.h"

namespace cloudsim {

bool MutatePayload(const ProtobufCMessageDescriptor* type, const json_object* mutate,
                   std::string* payload, std::string* error);

}  // namespace cloudsim
