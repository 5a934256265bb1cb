// Factories of the simulator's services, one file each. To add a service: write its file with a
// Make<Name> factory, declare it here, add one line to the table in registry.cc, and give it an
// entry in the profile.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "lib/service.h"
#include "lib/web_server.h"

namespace cloudsim {

std::unique_ptr<Service> MakeResponder(const std::string& name);
std::unique_ptr<Service> MakeSink(const std::string& name);
std::unique_ptr<Service> MakeEventService(const std::string& name);
std::unique_ptr<Service> MakeReputationService(const std::string& name);

// HTTP services, one file each; MakeHttpServices lists them all.
std::unique_ptr<HttpService> MakeBootstrapEndpoint(WebServer& web);
std::unique_ptr<HttpService> MakeRoutes(WebServer& web);
std::vector<std::unique_ptr<HttpService>> MakeHttpServices(WebServer& web);

}  // namespace cloudsim
