// zunsim: one program for the simulated router's command line and every stand-in program,
// selected by the name it is run under.
#include <csignal>
#include <string>

#include "applets/applets.h"
#include "cli/cli.h"
#include "core/calls.h"
#include "core/simroot.h"

int main(int argc, char** argv) {
  std::string self = argc > 0 ? argv[0] : "zunsim";
  size_t slash = self.rfind('/');
  std::string name = slash == std::string::npos ? self : self.substr(slash + 1);
  zsim::Args args(argv + (argc > 0 ? 1 : 0), argv + argc);
  signal(SIGPIPE, SIG_IGN);
  const zsim::Applet* applet = zsim::FindApplet(name);
  if (!applet) return zsim::CliMain(args);
  zsim::EnforceGuard(name.c_str());
  int rc = applet->run(args);
  if (!applet->logsItself) zsim::LogExec(name, args, rc);
  return rc;
}
