#include "support/agent_harness.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/wait.h"

namespace fs = std::filesystem;

namespace zctest {

std::string BuildDir() {
  return ZC_BUILD_DIR;
}
std::string SourceDir() {
  return ZC_SOURCE_DIR;
}
std::string AgentBinary() {
  const char* given = getenv("ZC_AGENT_BINARY");
  return given && *given ? given : BuildDir() + "/src/main/zuncore";
}
std::vector<std::string> AgentEmulator() {
  std::vector<std::string> words;
  const char* given = getenv("ZC_AGENT_EMULATOR");
  std::istringstream in(given ? given : "");
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}
std::string ZunsimBinary() {
  return BuildDir() + "/sim/zunsim";
}

namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Folders of a cross-built agent's own libraries (its librtk), ahead of this build's.
std::string AgentLibraryPath() {
  const char* given = getenv("ZC_AGENT_LIBRARY_PATH");
  return given && *given ? std::string(given) + ":" : "";
}

}  // namespace

AgentRun::AgentRun(AgentOptions options) : options_(std::move(options)) {
  char templ[] = "/tmp/zc-agent-XXXXXX";
  char* dir = mkdtemp(templ);
  if (!dir) throw std::runtime_error("mkdtemp failed");
  root_ = dir;
  fs::remove(root_);  // zunsim init makes the directory itself
  if (Zunsim("init") != 0) throw std::runtime_error("zunsim init failed for " + root_);
  fs::create_symlink(AgentBinary(), root_ + "/bin/zuncore");
  logFile_ = root_ + "/sim/log/zuncore.log";
}

AgentRun::~AgentRun() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  // Stand-ins started by the agent (dnsmasq) belong to this root only.
  std::string pidFile = root_ + "/var/run/dnsmasq.pid";
  std::ifstream in(pidFile);
  int dnsmasq = 0;
  if (in >> dnsmasq && dnsmasq > 1) kill(dnsmasq, SIGKILL);
  std::error_code ec;
  fs::remove_all(root_, ec);
}

std::string AgentRun::Read(const std::string& routerPath) const {
  return Slurp(Path(routerPath));
}

void AgentRun::Write(const std::string& routerPath, const std::string& content) const {
  fs::create_directories(fs::path(Path(routerPath)).parent_path());
  std::ofstream out(Path(routerPath), std::ios::binary | std::ios::trunc);
  out << content;
}

bool AgentRun::Exists(const std::string& routerPath) const {
  return fs::exists(Path(routerPath));
}

int AgentRun::Zunsim(const std::string& args) const {
  std::string command = "ZUNCORE_ROOT=" + root_ + " " + ZunsimBinary() + " " + args;
  int status = system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void AgentRun::WriteBootConfig(const std::string& natsUrl, const std::string& validateSubject,
                               int maxRetryCount) const {
  std::string text =
      "provisioningCode=MNGD.AGNT.PROV\n"
      "logicalLocation=dll.test\n"
      "subscriberId=sub-1\n"
      "connectionInfo.url=" +
      natsUrl +
      "\n"
      "connectionInfo.tlsEnabled=false\n"
      "connectionInfo.maxRetryCount=" +
      std::to_string(maxRetryCount) +
      "\n"
      "connectionInfo.subject=" +
      validateSubject +
      "\n"
      "connectionInfo.journalSubject=journal.test\n"
      "connectionInfo.subscriptionSuspendedSubject=suspended.test\n"
      "connectionInfo.subscriptionExpiredBootstrapUrl=https://127.0.0.1:1/renew\n"
      "wanConnection=NONE\n";
  for (const char* key : {"cwmpConfig.acsUrl",
                          "cwmpConfig.username",
                          "cwmpConfig.password",
                          "cwmpConfig.periodicInterval",
                          "wanConfig.mode",
                          "wanConfig.ipProtocolMode",
                          "wanConfig.ipMode",
                          "wanConfig.NATEnabled",
                          "wanConfig.VLANEnabled",
                          "wanConfig.VLANId",
                          "wanConfig.priority",
                          "wanConfig.MTU",
                          "wanConfig.serviceMode",
                          "wanConfig.static.externalIpAddress",
                          "wanConfig.static.subnetMask",
                          "wanConfig.static.defaultGateway",
                          "wanConfig.static.primaryDNS",
                          "wanConfig.static.secondaryDNS",
                          "wanConfig.PPPoE.username",
                          "wanConfig.PPPoE.password",
                          "wanConfig.PPPoE.serviceName",
                          "wanConfig.PPPoE.PPPType"}) {
    text += std::string(key) + "=1\n";
  }
  Write("/etc/config/zunbootconfig", text);
}

void AgentRun::Start() {
  // An emulated agent is started by the emulator; every program it starts in turn (the router's
  // stand-ins, a shell) is a host program the kernel runs itself.
  std::vector<std::string> argv = AgentEmulator();
  argv.push_back(root_ + "/bin/zuncore");
  pid_ = Spawn(argv, logFile_);
}

pid_t AgentRun::Spawn(const std::vector<std::string>& args, const std::string& logFile) const {
  std::vector<std::string> env = {
      "ZUNCORE_ROOT=" + root_,
      "PATH=" + root_ + "/bin:/usr/sbin:/usr/bin:/sbin:/bin",
      "ZUNCORE_TIME_SCALE=" + std::to_string(options_.timeScale),
      "TZ=UTC",
      "LD_LIBRARY_PATH=" + AgentLibraryPath() + BuildDir() + "/sim",
      "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1",
      "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1",
      // Nothing on the sandbox's internet: the probe fails fast instead of resolving.
      "ZUNCORE_PROBE_HOST=127.0.0.1",
      "ZUNCORE_PROBE_PORT=9",
  };
  // A ThreadSanitizer run gives the agent its options too (suppressions, halt on a report).
  if (const char* tsan = getenv("TSAN_OPTIONS")) env.push_back(std::string("TSAN_OPTIONS=") + tsan);
  for (const auto& [k, v] : options_.env) env.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argvCopy = args;
  std::vector<char*> argv;
  for (auto& a : argvCopy) argv.push_back(a.data());
  argv.push_back(nullptr);
  fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    FILE* log = fopen(logFile.c_str(), "a");
    if (log) {
      dup2(fileno(log), STDOUT_FILENO);
      dup2(fileno(log), STDERR_FILENO);
    }
    execvpe(argv[0], argv.data(), envp.data());  // an emulator is named without its folder
    _exit(127);
  }
  return pid;
}

bool AgentRun::Running() {
  if (pid_ <= 0) return false;
  int status;
  return waitpid(pid_, &status, WNOHANG) == 0;
}

std::string AgentRun::Output() const {
  return Slurp(logFile_);
}

bool AgentRun::WaitFor(const std::string& text, std::chrono::milliseconds timeout,
                       const std::string& routerFile) {
  return zctest::WaitFor(
      [&] {
        std::string content = routerFile.empty() ? Output() : Read(routerFile);
        return content.find(text) != std::string::npos;
      },
      timeout, std::chrono::milliseconds(20));
}

std::optional<int> AgentRun::WaitExit(std::chrono::milliseconds timeout) {
  int status = 0;
  bool ended = zctest::WaitFor([&] { return pid_ <= 0 || waitpid(pid_, &status, WNOHANG) == pid_; },
                               timeout, std::chrono::milliseconds(10));
  if (!ended || pid_ <= 0) return std::nullopt;
  pid_ = -1;
  return status;
}

void AgentRun::Signal(int sig) {
  if (pid_ > 0) kill(pid_, sig);
}

}  // namespace zctest
