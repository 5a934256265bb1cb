// A fresh simulated router for one test: a temporary root made by "zunsim init", the root's bin
// first on PATH, and the call journal for assertions. Tests run inside a private namespace with
// the router's interfaces (see router_netns_main.cc).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zctest {

std::string SimZunsimBinary();

// Time scale of simulated-router tests: the router's 5-second waits take 50 ms.
inline constexpr double kSimTimeScale = 0.01;

// One recorded call of calls.log.
struct SimCall {
  long seq = 0;
  std::string kind;  // exec, ioctl, rtk, guard, sim
  std::string name;  // program, interface or function
  std::string json;  // argument vector or request data
  int rc = 0;
};

struct CommandResult {
  int status = -1;
  std::string output;
};

class SimRouter {
 public:
  SimRouter();
  ~SimRouter();
  SimRouter(const SimRouter&) = delete;
  SimRouter& operator=(const SimRouter&) = delete;

  const std::string& root() const { return root_; }
  std::string Path(const std::string& routerPath) const { return root_ + routerPath; }
  std::string Read(const std::string& routerPath) const;
  void Write(const std::string& routerPath, const std::string& content) const;
  bool Exists(const std::string& routerPath) const;

  // Runs zunsim with an argument vector on this root.
  CommandResult Zunsim(const std::vector<std::string>& args) const;
  // Runs a program with an argument vector (PATH lookup) and this root's environment.
  CommandResult Run(const std::vector<std::string>& argv) const;

  std::optional<std::string> Flash(const std::string& name) const;
  void SetFlash(const std::string& name, const std::string& value) const;
  void DelFlash(const std::string& name) const;

  // Calls recorded after the last Mark() (or since init).
  void Mark();
  std::vector<SimCall> Calls(const std::string& kind = "", const std::string& name = "") const;
  // JSON argument vectors of the exec calls of one program since the mark.
  std::vector<std::string> Argvs(const std::string& program) const;

  // True when the process runs in a namespace with the router's interfaces.
  static bool HaveRouterNetns();

 private:
  std::string root_;
  std::string savedPath_;
  long mark_ = 0;
};

// JSON text of an argument vector, as calls.log records it.
std::string JsonArgv(const std::vector<std::string>& args);

}  // namespace zctest
