// Every message of the schema with its ownership traits: include this header and use
// zc::pb::Unpack<T>, zc::pb::Pack, zc::pb::Make<T> on the generated types.
#pragma once

#include "proto/all_messages.h"
