#include <cstring>

#include "services/services.h"

namespace cloudsim {
namespace {

struct ServiceKind {
  const char* kind;
  std::unique_ptr<Service> (*make)(const std::string& name);
};

constexpr ServiceKind kKinds[] = {
    {"responder", MakeResponder},
    {"sink", MakeSink},
    {"event", MakeEventService},
    {"reputation", MakeReputationService},
};

}  // namespace

std::unique_ptr<Service> MakeService(const std::string& kind, const std::string& name) {
  for (const ServiceKind& k : kKinds) {
    if (kind == k.kind) return k.make(name);
  }
  return nullptr;
}

std::vector<std::unique_ptr<HttpService>> MakeHttpServices(WebServer& web) {
  std::vector<std::unique_ptr<HttpService>> out;
  out.push_back(MakeBootstrapEndpoint(web));
  out.push_back(MakeRoutes(web));
  return out;
}

}  // namespace cloudsim
