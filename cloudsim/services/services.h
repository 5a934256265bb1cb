// Factories of the simulator's services, one file each. To add a service: write its file with a
// Make<Name> factory, declare it here, add one line to the table in registry.cc, and give it an
// entry in the profile.
#pragma once

#include <memory>
#include <string>

#include "lib/service.h"

namespace cloudsim {

std::unique_ptr<Service> MakeResponder(const std::string& name);
std::unique_ptr<Service> MakeSink(const std::string& name);
std::unique_ptr<Service> MakeEventService(const std::string& name);

}  // namespace cloudsim
