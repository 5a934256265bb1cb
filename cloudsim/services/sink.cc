// Publish subjects of the agent: recorded, never answered.
#include "services/services.h"

namespace cloudsim {
namespace {

class Sink : public Service {
 public:
  using Service::Service;
  std::optional<std::string> Reply(const Inbound&) override { return std::nullopt; }
};

}  // namespace

std::unique_ptr<Service> MakeSink(const std::string& name) {
  return std::make_unique<Sink>(name);
}

}  // namespace cloudsim
