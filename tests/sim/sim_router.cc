#include "sim/sim_router.h"

#include <net/if.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "core/calls.h"
#include "core/state.h"
#include "utils/exec.h"
#include "utils/paths.h"
#include "utils/timescale.h"

namespace zctest {
namespace fs = std::filesystem;

std::string SimZunsimBinary() {
  const char* dir = std::getenv("ZC_BUILD_DIR");
  return std::string(dir ? dir : ZC_BUILD_DIR_DEFAULT) + "/sim/zunsim";
}

SimRouter::SimRouter() {
  char tmpl[] = "/tmp/zcsim.XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  root_ = tmpl;
  setenv("ZUNCORE_ROOT", root_.c_str(), 1);
  zc::ReloadRootFromEnv();
  const char* path = std::getenv("PATH");
  savedPath_ = path ? path : "/usr/sbin:/usr/bin:/sbin:/bin";
  setenv("PATH", (root_ + "/bin:" + savedPath_).c_str(), 1);
  zc::SetTimeScaleForTest(kSimTimeScale);
  CommandResult init = Zunsim({"init"});
  if (init.status != 0) {
    std::error_code ec;
    fs::remove_all(root_, ec);  // no destructor runs after a throwing constructor
  }
  if (init.status != 0)
    throw std::runtime_error("zunsim init failed (" + std::to_string(init.status) +
                             "): " + init.output);
  // Network-changing stand-ins act only in the namespace recorded as the router's.
  char link[64];
  ssize_t n = readlink("/proc/self/ns/net", link, sizeof link - 1);
  if (n > 0 && HaveRouterNetns()) Write("/sim/run/router.netns", std::string(link, n));
  Mark();
}

SimRouter::~SimRouter() {
  setenv("PATH", savedPath_.c_str(), 1);
  std::error_code ec;
  fs::remove_all(root_, ec);
  unsetenv("ZUNCORE_ROOT");
  zc::ReloadRootFromEnv();
}

std::string SimRouter::Read(const std::string& routerPath) const {
  std::ifstream in(Path(routerPath));
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void SimRouter::Write(const std::string& routerPath, const std::string& content) const {
  fs::create_directories(fs::path(Path(routerPath)).parent_path());
  std::ofstream(Path(routerPath)) << content;
}

bool SimRouter::Exists(const std::string& routerPath) const {
  struct stat st {};
  return lstat(Path(routerPath).c_str(), &st) == 0;
}

CommandResult SimRouter::Run(const std::vector<std::string>& argv) const {
  // RunArgv scales its time-out; helpers get 20 real seconds whatever the scale.
  auto timeout = std::chrono::milliseconds(static_cast<long>(20000 / zc::TimeScale()));
  ExecResult r = RunArgv(argv, timeout);
  return {r.status, r.output};
}

CommandResult SimRouter::Zunsim(const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {SimZunsimBinary()};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(argv);
}

std::optional<std::string> SimRouter::Flash(const std::string& name) const {
  CommandResult r = Zunsim({"flash", "get", name});
  if (r.status != 0) return std::nullopt;
  if (!r.output.empty() && r.output.back() == '\n') r.output.pop_back();
  return r.output;
}

void SimRouter::SetFlash(const std::string& name, const std::string& value) const {
  Zunsim({"flash", "set", name, value});
}

void SimRouter::DelFlash(const std::string& name) const {
  Zunsim({"flash", "del", name});
}

void SimRouter::Mark() {
  auto calls = zsim::ReadCalls(0);
  mark_ = calls.empty() ? 0 : calls.back().seq;
}

std::vector<SimCall> SimRouter::Calls(const std::string& kind, const std::string& name) const {
  std::vector<SimCall> out;
  for (const auto& c : zsim::ReadCalls(mark_)) {
    if (!kind.empty() && c.kind != kind) continue;
    if (!name.empty() && c.name != name) continue;
    out.push_back({c.seq, c.kind, c.name, c.json, c.rc});
  }
  return out;
}

std::vector<std::string> SimRouter::Argvs(const std::string& program) const {
  std::vector<std::string> out;
  for (const auto& c : Calls("exec", program)) out.push_back(c.json);
  return out;
}

bool SimRouter::HaveRouterNetns() {
  return if_nametoindex("br0") != 0 && if_nametoindex("wlan0");
}

std::string JsonArgv(const std::vector<std::string>& args) {
  return zsim::JsonArray(args);
}

}  // namespace zctest
