// Test main of the DNS real-peer tests: the test process, and every peer it starts, moves into a
// private network namespace (loopback only) before GoogleTest starts any thread, so ports,
// addresses added to lo and port 53 are all private to this run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "dns_peers/peer_support.h"

namespace {

bool WriteProcFile(const char* path, const std::string& text) {
  int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

std::string EnterNamespace() {
  uid_t uid = getuid();
  gid_t gid = getgid();
  bool user_ns = uid != 0;
  if (unshare(CLONE_NEWNET | (user_ns ? CLONE_NEWUSER : 0)) != 0) {
    if (user_ns || unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return "unshare failed";
    user_ns = true;
  }
  if (user_ns) {
    WriteProcFile("/proc/self/setgroups", "deny");
    if (!WriteProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
        !WriteProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
      return "uid/gid map failed";
    }
  }
  if (dnspeer::RunProgram({"ip", "link", "set", "lo", "up"}).status != 0) return "lo up failed";
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  std::string failure = EnterNamespace();
  if (failure.empty()) {
    dnspeer::MarkPrivateNetwork();
  } else {
    std::fprintf(stderr, "dns peer tests: no private network namespace (%s); they skip\n",
                 failure.c_str());
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
