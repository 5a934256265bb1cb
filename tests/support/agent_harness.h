// Runs the real zuncore binary on a fresh simulated router root, as the router's launcher would:
// the root's bin first on PATH, the time scale, output captured to a file.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zctest {

// Paths of the build (compiled in).
std::string BuildDir();
std::string SourceDir();
// The agent the harness runs: this build's, or the one ZC_AGENT_BINARY names (a cross-built
// agent, run through the command in ZC_AGENT_EMULATOR, e.g. "qemu-mipsel -L <sysroot>", with
// the folders of ZC_AGENT_LIBRARY_PATH before this build's on its library path).
std::string AgentBinary();
// The words of ZC_AGENT_EMULATOR; empty when the agent runs natively.
std::vector<std::string> AgentEmulator();
std::string ZunsimBinary();

struct AgentOptions {
  double timeScale = 0.01;
  std::map<std::string, std::string> env;  // extra environment
  static AgentOptions Scale(double scale) {
    AgentOptions o;
    o.timeScale = scale;
    return o;
  }
};

class AgentRun {
 public:
  explicit AgentRun(AgentOptions options = {});
  ~AgentRun();
  AgentRun(const AgentRun&) = delete;
  AgentRun& operator=(const AgentRun&) = delete;

  const std::string& root() const { return root_; }
  std::string Path(const std::string& routerPath) const { return root_ + routerPath; }
  std::string Read(const std::string& routerPath) const;
  void Write(const std::string& routerPath, const std::string& content) const;
  bool Exists(const std::string& routerPath) const;
  // Runs "zunsim ARGS" on this root; its exit status.
  int Zunsim(const std::string& args) const;

  // Writes a complete boot configuration file (every bootstrap key), so the agent skips the HTTPS
  // bootstrap and validates its firmware over the bootstrap NATS server at natsUrl.
  void WriteBootConfig(const std::string& natsUrl, const std::string& validateSubject,
                       int maxRetryCount = 3) const;
  // Points the bootstrap endpoint (/tmp/zun_url) at url.
  void SetBootstrapUrl(const std::string& url) const { Write("/tmp/zun_url", url + "\n"); }

  void Start();
  // Starts another program (the simulated launcher, say) with the agent's environment, its
  // output appended to logFile. Returns its pid.
  pid_t Spawn(const std::vector<std::string>& argv, const std::string& logFile) const;
  bool Running();
  pid_t pid() const { return pid_; }
  // Everything the agent printed so far (stdout and stderr).
  std::string Output() const;
  // Waits until the output (or, with a file, that router file) contains the text.
  bool WaitFor(const std::string& text, std::chrono::milliseconds timeout,
               const std::string& routerFile = "");
  // Waits for the process to end; its wait status.
  std::optional<int> WaitExit(std::chrono::milliseconds timeout);
  void Signal(int sig);

 private:
  AgentOptions options_;
  std::string root_;
  std::string logFile_;
  pid_t pid_ = -1;
};

}  // namespace zctest
