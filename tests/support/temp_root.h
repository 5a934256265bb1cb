// A fresh router root in a temporary directory for one test, with ZUNCORE_ROOT pointing at it.
#pragma once

#include <string>

namespace zctest {

class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::string& path() const { return path_; }
  // Path of a router path under this root ("/tmp/x" -> "<root>/tmp/x").
  std::string operator()(const std::string& routerPath) const { return path_ + routerPath; }
  // Writes a file (creating directories), optionally executable.
  void Write(const std::string& routerPath, const std::string& content, bool executable = false);
  std::string Read(const std::string& routerPath) const;
  bool Exists(const std::string& routerPath) const;

 private:
  std::string path_;
  std::string savedRoot_;
  bool hadRoot_ = false;
};

// Captures what the process writes to standard output while alive.
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  std::string Text();

 private:
  int savedFd_ = -1;
  std::string file_;
};

}  // namespace zctest
