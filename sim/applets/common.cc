#include <unistd.h>

#include <cerrno>

#include "applets/applets.h"
#include "core/simroot.h"
#include "core/state.h"

namespace zsim {
namespace {

void WriteFd(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

void Out(const std::string& text) {
  WriteFd(STDOUT_FILENO, text);
}
void Err(const std::string& text) {
  WriteFd(STDERR_FILENO, text);
}

int Unsupported(const std::string& program, const Args& args) {
  std::string line = "zunsim: unsupported: " + program;
  for (const auto& a : args) line += " " + a;
  Err(line + "\n");
  return 2;
}

const std::vector<Applet>& AllApplets() {
  static const std::vector<Applet> applets = {
      {"flash", AppletFlash, false},
      {"nv", AppletNv, false},
      {"mpctl", AppletMpctl, false},
      {"iwpriv", AppletIwpriv, false},
      {"pidof", AppletPidof, false},
      {"killall", AppletKillall, false},
      {"dnsmasq", AppletDnsmasq, true},
      {"vsntp", AppletVsntp, true},
      {"cwmpClient", AppletCwmpClient, true},
      {"ifconfig", AppletIfconfig, false},
      {"ebtables", AppletEbtables, false},
      {"iptables", AppletIptables, false},
      {"fwu_starter.sh", AppletFwuStarter, false},
      {"config_xmlconfig.sh", AppletXmlConfig, false},
      {"ping", AppletPing, false},
      {"traceroute", AppletTraceroute, false},
      {"reboot", AppletReboot, false},
      {"halt", AppletReboot, false},
      {"poweroff", AppletReboot, false},
      {"zunsimd", AppletZunsimd, true},
      {"zunlauncher", AppletLauncher, true},
  };
  return applets;
}

const Applet* FindApplet(const std::string& name) {
  for (const auto& a : AllApplets()) {
    if (name == a.name) return &a;
  }
  return nullptr;
}

bool InRouterNetns() {
  auto recorded = ReadText(P("/sim/run/router.netns"));
  if (!recorded) return false;
  char buf[64];
  ssize_t n = readlink("/proc/self/ns/net", buf, sizeof buf - 1);
  if (n <= 0) return false;
  std::string mine(buf, static_cast<size_t>(n));
  std::string want = *recorded;
  while (!want.empty() && (want.back() == '\n' || want.back() == ' ')) want.pop_back();
  return mine == want;
}

}  // namespace zsim
