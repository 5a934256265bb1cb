#include "proto/registry.h"

#include "proto/messages.h"

namespace zc::pb {

const std::vector<const ProtobufCMessageDescriptor*>& WireTypes() {
  static const std::vector<const ProtobufCMessageDescriptor*> kTypes = {
      &zun__signon__sign_on_request__descriptor,
      &zun__signon__sign_on_response__descriptor,
      &zun__firmware__firmware_validate_request__descriptor,
      &zun__firmware__firmware_validate_response__descriptor,
      &zun__firmware__firmware_update_result__descriptor,
      &zun__firmware__firmware_update_result_response__descriptor,
      &zun__config__platformconfig__descriptor,
      &zun__config__configresp__descriptor,
      &zun__config__dnsprofile__descriptor,
      &zun__wifiscan__scanresults__descriptor,
      &zun__wifiscan__optimizewifi__descriptor,
      &zun__wifiscan__scan_and_optimize_wi_fi_result__descriptor,
      &zun__event__apevent__descriptor,
      &zun__telemetry__telemetry__descriptor,
      &zun__journal__journal__descriptor,
      &zun__edge__edgednsrequest__descriptor,
      &zun__edge__edgednsresp__descriptor,
      &zun__metrics__dnshistogram__descriptor,
  };
  return kTypes;
}

const ProtobufCMessageDescriptor* FindWireType(std::string_view name) {
  for (const ProtobufCMessageDescriptor* d : WireTypes()) {
    if (name == d->name || name == d->short_name) return d;
  }
  return nullptr;
}

}  // namespace zc::pb
