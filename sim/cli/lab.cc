// The network lab and the launcher (pending).
#include "cli/cli.h"

namespace zsim {

int CmdLab(const Args& a) {
  return Unsupported("zunsim lab", a);
}
int CmdLauncher(const Args& a) {
  return Unsupported("zunsim launcher", a);
}

}  // namespace zsim

namespace zsim {
int AppletLauncher(const Args& a) {
  return Unsupported("zunlauncher", a);
}
}  // namespace zsim
