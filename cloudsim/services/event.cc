// Event acknowledgements: every APEvent request is answered "ACK" with its NUL unless the
// profile or a test sets another reply; the content is never interpreted by the agent.
#include "services/services.h"

namespace cloudsim {
namespace {

constexpr char kAck[] = {'A', 'C', 'K', '\0'};

class EventService : public Service {
 public:
  using Service::Service;
  std::optional<std::string> Reply(const Inbound&) override {
    std::optional<std::string> configured = ConfiguredReply();
    return configured ? configured : std::string(kAck, sizeof kAck);
  }
};

}  // namespace

std::unique_ptr<Service> MakeEventService(const std::string& name) {
  return std::make_unique<EventService>(name);
}

}  // namespace cloudsim
