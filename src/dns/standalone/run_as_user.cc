#include "dns/standalone/run_as_user.h"

#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace zc::dns {

namespace {

std::string Failed(const char* what) {
  return std::string(what) + " failed: " + std::strerror(errno);
}

// Effective and permitted: what the engine needs after the switch, nothing more.
bool KeepResolverCapabilities(std::string* error) {
  __user_cap_header_struct header{};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  header.pid = 0;
  __user_cap_data_struct data[2] = {};
  uint32_t wanted = (1u << CAP_NET_ADMIN) | (1u << CAP_NET_RAW) | (1u << CAP_NET_BIND_SERVICE);
  data[0].effective = wanted;
  data[0].permitted = wanted;
  if (syscall(SYS_capset, &header, data) != 0) {
    *error = Failed("capset");
    return false;
  }
  return true;
}

}  // namespace

bool RunAsUser(const std::string& user, std::string* error) {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd pw{};
  passwd* found = nullptr;
  int rc = getpwnam_r(user.c_str(), &pw, buf.data(), buf.size(), &found);
  if (rc != 0 || found == nullptr) {
    *error = "unknown user " + user;
    return false;
  }
  if (getuid() == pw.pw_uid && geteuid() == pw.pw_uid) return true;
  // Capabilities survive the change of user only with this flag set (it is cleared below).
  if (prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0) {
    *error = Failed("prctl(PR_SET_KEEPCAPS)");
    return false;
  }
  gid_t gid = pw.pw_gid;
  if (setgroups(1, &gid) != 0) {
    *error = Failed("setgroups");
    return false;
  }
  if (setresgid(gid, gid, gid) != 0) {
    *error = Failed("setresgid");
    return false;
  }
  if (setresuid(pw.pw_uid, pw.pw_uid, pw.pw_uid) != 0) {
    *error = Failed("setresuid");
    return false;
  }
  if (prctl(PR_SET_KEEPCAPS, 0, 0, 0, 0) != 0) {
    *error = Failed("prctl(PR_SET_KEEPCAPS, 0)");
    return false;
  }
  return KeepResolverCapabilities(error);
}

}  // namespace zc::dns
