#include "support/temp_root.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "utils/paths.h"

namespace fs = std::filesystem;

namespace zctest {

TempRoot::TempRoot() {
  char templ[] = "/tmp/zc-root-XXXXXX";
  char* dir = mkdtemp(templ);
  if (!dir) std::abort();
  path_ = dir;
  for (const char* d :
       {"tmp", "etc/config", "etc/launcher", "var/run", "bin", "sim/state", "sim/log", "dev"}) {
    fs::create_directories(path_ + "/" + d);
  }
  Write("/sim/ROOT", "zunsim root\n");
  if (const char* old = getenv("ZUNCORE_ROOT")) {
    hadRoot_ = true;
    savedRoot_ = old;
  }
  setenv("ZUNCORE_ROOT", path_.c_str(), 1);
  zc::ReloadRootFromEnv();
}

TempRoot::~TempRoot() {
  if (hadRoot_) {
    setenv("ZUNCORE_ROOT", savedRoot_.c_str(), 1);
  } else {
    unsetenv("ZUNCORE_ROOT");
  }
  zc::ReloadRootFromEnv();
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void TempRoot::Write(const std::string& routerPath, const std::string& content, bool executable) {
  std::string full = path_ + routerPath;
  fs::create_directories(fs::path(full).parent_path());
  {
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    out << content;
  }
  if (executable) {
    fs::permissions(full, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
  }
}

std::string TempRoot::Read(const std::string& routerPath) const {
  std::ifstream in(path_ + routerPath, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool TempRoot::Exists(const std::string& routerPath) const {
  return fs::exists(path_ + routerPath);
}

StdoutCapture::StdoutCapture() {
  char templ[] = "/tmp/zc-stdout-XXXXXX";
  int fd = mkstemp(templ);
  file_ = templ;
  fflush(stdout);
  savedFd_ = dup(STDOUT_FILENO);
  dup2(fd, STDOUT_FILENO);
  close(fd);
}

StdoutCapture::~StdoutCapture() {
  fflush(stdout);
  dup2(savedFd_, STDOUT_FILENO);
  close(savedFd_);
  unlink(file_.c_str());
}

std::string StdoutCapture::Text() {
  fflush(stdout);
  std::ifstream in(file_, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace zctest
