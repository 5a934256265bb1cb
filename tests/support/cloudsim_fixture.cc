#include "support/cloudsim_fixture.h"

#include <cstdlib>

#include "support/agent_harness.h"
#include "utils/files.h"

namespace zctest {
namespace {
constexpr std::chrono::seconds kStartTimeout{20};
}

std::string CloudSimBinary() {
  const char* build = getenv("ZC_BUILD_DIR");
  return (build ? std::string(build) : BuildDir()) + "/cloudsim/cloudsim";
}

CloudSimFixture::CloudSimFixture(Options options) : dir_("zc-cloudsim") {
  std::vector<std::string> argv = {CloudSimBinary(), "--workdir", dir_.path(), "--mac",
                                   options.mac};
  if (!options.natsUrl.empty()) {
    argv.insert(argv.end(), {"--nats-url", options.natsUrl});
    if (options.tls) argv.push_back("--tls");
  } else {
    argv.insert(argv.end(), {"--pki", SharedTestPki().dir});
  }
  if (!options.caFile.empty()) argv.insert(argv.end(), {"--ca", options.caFile});
  if (!options.root.empty()) argv.insert(argv.end(), {"--root", options.root});
  if (!options.profileFile.empty()) argv.insert(argv.end(), {"--profile", options.profileFile});
  argv.insert(argv.end(), options.extraArgs.begin(), options.extraArgs.end());
  const std::string ports = dir_.path() + "/ports.json";
  if (!process_.Start(argv, dir_.path() + "/cloudsim.log")) {
    error_ = "cannot start " + CloudSimBinary();
    return;
  }
  if (!WaitFor([&] { return zc::FileExists(ports) || !process_.Running(); }, kStartTimeout) ||
      !zc::FileExists(ports)) {
    auto log = zc::ReadFile(dir_.path() + "/cloudsim.log");
    error_ = "cloudsim did not start: " + log.value_or("");
    return;
  }
  cloudsim::JsonPtr p = cloudsim::ParseJson(zc::ReadFile(ports).value_or(""));
  controlPort_ = static_cast<int>(cloudsim::IntMember(p.get(), "control").value_or(0));
  natsPort_ = static_cast<int>(cloudsim::IntMember(p.get(), "nats").value_or(0));
  httpsPort_ = static_cast<int>(cloudsim::IntMember(p.get(), "https").value_or(0));
  httpPort_ = static_cast<int>(cloudsim::IntMember(p.get(), "http").value_or(0));
  if (!WaitFor([&] { return Call("GET", "/v1/ready").status == 200; }, kStartTimeout)) {
    error_ = "cloudsim is not ready";
  }
}

CloudSimFixture::~CloudSimFixture() {
  process_.Stop();
}

HttpResponse CloudSimFixture::Call(const std::string& method, const std::string& path,
                                   const std::string& body) const {
  return HttpCall(controlPort_, method, path, body);
}

cloudsim::JsonPtr CloudSimFixture::CallJson(const std::string& method, const std::string& path,
                                            const std::string& body, int* status) const {
  HttpResponse r = Call(method, path, body);
  if (status) *status = r.status;
  return cloudsim::ParseJson(r.body);
}

cloudsim::JsonPtr CloudSimFixture::Records(const std::string& query) const {
  return CallJson("GET", "/v1/records?" + query);
}

cloudsim::JsonPtr CloudSimFixture::Wait(const std::string& query, int count,
                                        std::chrono::milliseconds timeout) const {
  int status = 0;
  cloudsim::JsonPtr out = CallJson("GET",
                                   "/v1/wait?" + query + "&count=" + std::to_string(count) +
                                       "&timeout_ms=" + std::to_string(timeout.count()),
                                   "", &status);
  return status == 200 ? std::move(out) : nullptr;
}

int64_t CloudSimFixture::LastSeq() const {
  cloudsim::JsonPtr all = Records("");
  size_t n = all ? json_object_array_length(all.get()) : 0;
  if (n == 0) return 0;
  return cloudsim::IntMember(json_object_array_get_idx(all.get(), n - 1), "seq").value_or(0);
}

}  // namespace zctest
