// A request subject answered with the configured reply (firmware validation, sign-on, firmware
// results, edge lookups until they get their own service).
#include "services/services.h"

namespace cloudsim {

std::unique_ptr<Service> MakeResponder(const std::string& name) {
  return std::make_unique<Service>(name);
}

}  // namespace cloudsim
