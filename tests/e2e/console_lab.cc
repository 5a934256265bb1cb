#include "e2e/console_lab.h"

#include "lib/pbjson.h"
#include "proto/registry.h"

namespace e2e {

std::string ConsoleUrl(Lab& lab) {
  return "http://127.0.0.1:" + std::to_string(lab.cloud().controlPort()) + "/";
}

Router::Router(const std::string& url, const std::string& caFile, const std::string& name) {
  natsOptions* o = nullptr;
  if (natsOptions_Create(&o) != NATS_OK) return;
  natsOptions_SetURL(o, url.c_str());
  natsOptions_SetName(o, name.c_str());
  natsOptions_SetSecure(o, true);
  natsOptions_LoadCATrustedCertificates(o, caFile.c_str());
  status_ = natsConnection_Connect(&nc_, o);
  natsOptions_Destroy(o);
}

Router::~Router() {
  if (nc_) natsConnection_Destroy(nc_);
}

bool Router::PublishRaw(const std::string& subject, const std::string& payload) {
  return nc_ &&
         natsConnection_Publish(nc_, subject.c_str(), payload.data(),
                                static_cast<int>(payload.size())) == NATS_OK &&
         natsConnection_FlushTimeout(nc_, 5000) == NATS_OK;
}

bool Router::Publish(const std::string& subject, const std::string& type, const std::string& json) {
  std::string error, bytes;
  cloudsim::JsonPtr j = cloudsim::ParseJson(json, &error);
  const ProtobufCMessageDescriptor* d = zc::pb::FindWireType(type);
  if (!j || !d || !cloudsim::EncodeFromJson(*d, j.get(), &bytes, &error)) {
    ADD_FAILURE() << type << ": " << error << ": " << json;
    return false;
  }
  return PublishRaw(subject, bytes);
}

}  // namespace e2e
