#include "filter/lan_client.h"

#include <unistd.h>

#include <chrono>
#include <thread>

namespace zctest {

LanClient::LanClient(std::string port, std::string mac, std::string ip) : port_(std::move(port)) {
  std::string far = "p-" + port_;
  if (!holder_.Start({"unshare", "-n", "sleep", "600"}, "/dev/null")) {
    error_ = "cannot start the namespace holder";
    return;
  }
  // The holder needs a moment to enter its namespace (seconds on a machine under heavy load).
  std::string self = RunOutput({"readlink", "/proc/self/ns/net"});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    std::string theirs =
        RunOutput({"readlink", "/proc/" + std::to_string(holder_.pid()) + "/ns/net"});
    if (!theirs.empty() && theirs != self) break;
    if (std::chrono::steady_clock::now() > deadline) {
      error_ = "the namespace holder did not enter its namespace";
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::string pid = std::to_string(holder_.pid());
  if (!RunQuiet({"ip", "link", "set", far, "netns", pid})) {
    error_ = "cannot move " + far + " into the client namespace";
    return;
  }
  for (const std::vector<std::string>& cmd :
       std::vector<std::vector<std::string>>{{"ip", "link", "set", "lo", "up"},
                                             {"ip", "link", "set", far, "address", mac},
                                             {"ip", "addr", "add", ip + "/24", "dev", far},
                                             {"ip", "link", "set", far, "up"}}) {
    std::vector<std::string> argv = {"nsenter", "-t", pid, "-n"};
    argv.insert(argv.end(), cmd.begin(), cmd.end());
    if (!RunQuiet(argv)) {
      error_ = "client set-up failed: " + cmd[0] + " " + cmd[1] + " " + cmd[2];
      return;
    }
  }
}

LanClient::~LanClient() {
  holder_.Stop();
}

std::string LanClient::Run(const std::vector<std::string>& argv) const {
  std::vector<std::string> full = {"nsenter", "-t", std::to_string(holder_.pid()), "-n"};
  full.insert(full.end(), argv.begin(), argv.end());
  return RunOutput(full);
}

std::string LanClient::DigA(const std::string& name, const std::string& server) const {
  std::string out = Run({"dig", "@" + server, "+short", "+time=2", "+tries=1", name, "A"});
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

}  // namespace zctest
