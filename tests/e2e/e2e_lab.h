// End-to-end scenarios: the real zuncore binary on a fresh simulated router, its cloud played by
// the cloud simulator (HTTPS bootstrap endpoint, image server, NATS services on a real
// nats-server), everything under the time scale inside the test's private network namespace.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "lib/json_util.h"
#include "support/agent_harness.h"
#include "support/cloudsim_fixture.h"

namespace e2e {

using namespace std::chrono_literals;
using cloudsim::JsonPtr;

// Generous real-time bounds: the sanitizer build is slow and CI machines are busy (the longest
// scenarios take about 35 s alone and twice that with four of them per core). A wait ends as
// soon as its condition holds, so only a failing run pays for the margin.
inline constexpr auto kLong = 150s;
inline constexpr auto kShort = 45s;

struct Image {
  std::string path;
  std::string md5;
  std::string sha256;
  size_t size = 0;
};

struct LabOptions {
  // One router minute takes 2.4 s: short enough for the scenarios, long enough that a request
  // on a busy machine answers within its (scaled) time-out and that provisioning finishes
  // before the first health report (12 s) even with several scenarios per core.
  double scale = 0.04;
  std::map<std::string, std::string> env;  // extra agent environment
  std::string profile;                     // profile JSON text ("base": "default" form)
};

class Lab {
 public:
  explicit Lab(LabOptions options = {});
  ~Lab();
  Lab(const Lab&) = delete;
  Lab& operator=(const Lab&) = delete;

  bool ok() const { return error_.empty() && cloud_->ok(); }
  std::string error() const { return error_.empty() ? cloud_->error() : error_; }
  zctest::AgentRun& agent() { return *agent_; }
  zctest::CloudSimFixture& cloud() { return *cloud_; }
  std::string mac12() const { return "025a00000001"; }
  std::string natsUrl() const;
  std::string httpsUrl(const std::string& path) const;

  // Control API calls; true on a 2xx answer.
  bool Put(const std::string& path, const std::string& json);
  bool Post(const std::string& path, const std::string& json = "{}");
  // Pushes an envelope (JSON form) to a target and returns the simulator's answer.
  JsonPtr Push(const std::string& to, const std::string& envelopeJson);

  JsonPtr Records(const std::string& query);
  size_t Count(const std::string& query);
  // Waits (real time) until at least n records match; the matching records, or nullptr.
  JsonPtr WaitRecords(const std::string& query, size_t n = 1,
                      std::chrono::milliseconds timeout = kShort);
  // The decoded payload of the i-th matching record.
  static json_object* Decoded(const JsonPtr& records, size_t i);
  static size_t Size(const JsonPtr& records);

  // Runs the agent under the simulated router's launcher (restarted after every exit; a refused
  // reboot boots the other bank when soft boots are on).
  void StartLauncher(bool softBoot = true);
  void StopLauncher();
  // Agent starts recorded by the launcher so far.
  int LauncherStarts() const;

  // Exit reasons of /tmp/zuncore_exit in order.
  std::vector<std::string> ExitReasons() const;
  std::string LastExit() const;
  // Waits until the exit file holds n lines.
  bool WaitExits(size_t n, std::chrono::milliseconds timeout = kLong);
  bool WaitLog(const std::string& text, std::chrono::milliseconds timeout = kLong) {
    return agent_->WaitFor(text, timeout);
  }
  size_t CountLog(const std::string& text) const;
  // Whether a module the agent started is part of this build (its stub logs "... not built in").
  bool Built(const std::string& initFunction) const;

  // A firmware image made by the simulated router (its checksums computed there).
  Image MakeImage(const std::string& name, const std::string& version,
                  const std::string& extraArgs = "");
  // Serves the image on the HTTPS listener at /fw/<name> with extra route settings (JSON members
  // without braces, e.g. "\"duration_ms\": 480000").
  bool ServeImage(const Image& image, const std::string& path, const std::string& extra = "");
  // Makes the next validation answer an update to the image.
  bool RequireUpdate(const Image& image, const std::string& path, const std::string& version);
  // Boot configuration file content.
  std::string BootConfig() const { return agent_->Read("/etc/config/zunbootconfig"); }

 private:
  LabOptions options_;
  std::unique_ptr<zctest::AgentRun> agent_;
  std::unique_ptr<zctest::CloudSimFixture> cloud_;
  pid_t launcher_ = -1;
  std::string error_;
};

// The idle recovery state as the cloud sees it: the command connection to the bootstrap server,
// subjects keyed by the compact MAC, and (once the configuration intake is built) pushes answered
// there, a firmware push included.
void ExpectIdle(Lab& lab, int reason, const std::string& location);

// Records of a request flow counted once per trace id: a request repeated after a time-out on a
// busy machine is the same report, sign-on or validation.
JsonPtr Distinct(const JsonPtr& records);

// The text of a JSON member path of a record ("decoded.version").
std::string Text(const json_object* record, const std::string& path);
// The number of lines of text holding needle.
size_t CountLines(const std::string& text, const std::string& needle);

}  // namespace e2e
