// Runs the cloud simulator program for a test: against a given NATS server (or one of its own)
// and drives it through its control API.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "lib/json_util.h"
#include "lib/process.h"
#include "support/nats_fixture.h"

namespace zctest {

// The built cloudsim program ($ZC_BUILD_DIR/cloudsim/cloudsim).
std::string CloudSimBinary();

class CloudSimFixture {
 public:
  struct Options {
    std::string natsUrl;  // empty: the simulator runs its own TLS server
    bool tls = false;
    std::string caFile;
    std::string root;  // router root (CA and bootstrap URL are laid down there)
    std::string mac = "02:5A:00:00:00:01";
    std::string profileFile;
    std::vector<std::string> extraArgs;  // more cloudsim options ("--http-port", "N", ...)
  };
  explicit CloudSimFixture(Options options);
  ~CloudSimFixture();

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  int controlPort() const { return controlPort_; }
  int natsPort() const { return natsPort_; }
  int httpsPort() const { return httpsPort_; }
  int httpPort() const { return httpPort_; }
  const std::string& workDir() const { return dir_.path(); }

  HttpResponse Call(const std::string& method, const std::string& path,
                    const std::string& body = "") const;
  // Parsed JSON body of a call (nullptr when it is not JSON).
  cloudsim::JsonPtr CallJson(const std::string& method, const std::string& path,
                             const std::string& body = "", int* status = nullptr) const;
  // Records matching a query string ("subject=zt.event&since=3"), as a JSON array.
  cloudsim::JsonPtr Records(const std::string& query) const;
  // The first `count` records matching, waiting at most `timeout` (agent time); nullptr on
  // time-out.
  cloudsim::JsonPtr Wait(const std::string& query, int count = 1,
                         std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
  // Highest record sequence number so far (a "since" mark for later queries).
  int64_t LastSeq() const;

 private:
  TempDir dir_;
  cloudsim::ChildProcess process_;
  int controlPort_ = 0;
  int natsPort_ = 0;
  int httpsPort_ = 0;
  int httpPort_ = 0;
  std::string error_;
};

}  // namespace zctest
