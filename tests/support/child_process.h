// A child process of a test: started from an argument vector (no shell) with its standard
// output and error appended to a log file, stopped by its pid (SIGTERM, then SIGKILL after a
// grace period) in Stop() or the destructor, never by name. It also ends when the test process
// dies, so a crashed test leaves no peer behind.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace zctest {

inline constexpr std::chrono::seconds kChildStopGrace{2};

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess() { Stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // argv[0] is a path or a name found on PATH. False when the fork failed.
  bool Start(const std::vector<std::string>& argv, const std::string& log_file);
  void Stop();
  // False once the process has ended (it is reaped then).
  bool Running();
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

}  // namespace zctest
