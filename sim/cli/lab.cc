// The network lab (pending).
#include "cli/cli.h"

namespace zsim {

int CmdLab(const Args& a) {
  return Unsupported("zunsim lab", a);
}

}  // namespace zsim
