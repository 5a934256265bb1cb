#include "support/netns.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace zctest {
namespace {

bool gInNetns = false;

bool WriteProcFile(const char* path, const std::string& text) {
  int fd = open(path, O_WRONLY);
  if (fd < 0) return false;
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

int Run(const std::string& command) {
  int status = system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::string EnterLoopbackNetwork() {
  uid_t uid = getuid();
  gid_t gid = getgid();
  int flags = CLONE_NEWNET;
  if (uid != 0) flags |= CLONE_NEWUSER;
  if (unshare(flags) != 0) {
    // Root without the capability (some containers): try with a user namespace.
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return "unshare failed";
    flags |= CLONE_NEWUSER;
  }
  if (flags & CLONE_NEWUSER) {
    WriteProcFile("/proc/self/setgroups", "deny");
    if (!WriteProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
        !WriteProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
      return "uid/gid map failed";
    }
  }
  if (Run("ip link set lo up") != 0) return "ip link set lo up failed";
  gInNetns = true;
  return {};
}

std::string EnterPrivateNetwork(const std::string& eth0Mac) {
  if (std::string failure = EnterLoopbackNetwork(); !failure.empty()) return failure;
  if (Run("ip link add eth0 type veth peer name eth0-peer") != 0 ||
      Run("ip link set eth0 address " + eth0Mac) != 0 || Run("ip link set eth0 up") != 0 ||
      Run("ip link set eth0-peer up") != 0) {
    gInNetns = false;
    return "creating eth0 failed";
  }
  return {};
}

bool InPrivateNetwork() {
  return gInNetns;
}

void MarkPrivateNetwork() {
  gInNetns = true;
}

}  // namespace zctest
