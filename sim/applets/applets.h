// Stand-ins for the router's programs. Each returns its exit status; main() records the call.
#pragma once

#include <string>
#include <vector>

namespace zsim {

using Args = std::vector<std::string>;

// Writes the whole text to standard output in one write.
void Out(const std::string& text);
void Err(const std::string& text);
// Prints "zunsim: unsupported: PROGRAM ARGS" and returns 2.
int Unsupported(const std::string& program, const Args& args);

struct Applet {
  const char* name;
  int (*run)(const Args& args);
  // Daemons record their own call once they are running.
  bool logsItself;
};
// The applet for a program name, or null.
const Applet* FindApplet(const std::string& name);
const std::vector<Applet>& AllApplets();

int AppletFlash(const Args& args);
int AppletNv(const Args& args);
int AppletMpctl(const Args& args);
int AppletIwpriv(const Args& args);
int AppletPidof(const Args& args);
int AppletKillall(const Args& args);
int AppletDnsmasq(const Args& args);
int AppletVsntp(const Args& args);
int AppletCwmpClient(const Args& args);
int AppletIfconfig(const Args& args);
int AppletEbtables(const Args& args);
int AppletIptables(const Args& args);
int AppletFwuStarter(const Args& args);
int AppletXmlConfig(const Args& args);
int AppletPing(const Args& args);
int AppletTraceroute(const Args& args);
int AppletReboot(const Args& args);
int AppletZunsimd(const Args& args);
int AppletLauncher(const Args& args);

// Processes matching a name under the rules of pidof/killall: same pid namespace and user,
// the same ZUNCORE_ROOT in the environment, comm equal to the name, never the caller.
std::vector<int> FindRouterProcesses(const std::string& name);

// True when this process runs in the network namespace recorded as the router's.
bool InRouterNetns();

}  // namespace zsim
