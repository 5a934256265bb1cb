// Child programs of the simulator and of the tests: nats-server, openssl. Only processes started
// here are ever signalled, by their pid.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace cloudsim {

// Runs a program to its end; its exit status, or -1 when it could not run. Output goes to
// logFile (appended) or nowhere.
int RunProgram(const std::vector<std::string>& argv, const std::string& logFile = "");

// A child that is killed when the thread that started it ends.
class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() { Stop(); }

  bool Start(const std::vector<std::string>& argv, const std::string& logFile = "");
  // SIGTERM, then SIGKILL after the grace period; waits for the end.
  void Stop(std::chrono::milliseconds grace = std::chrono::milliseconds(3000));
  bool Running();
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

// True once something accepts TCP connections on 127.0.0.1:port.
bool WaitTcpPort(int port, std::chrono::milliseconds timeout);
// A TCP port free on 127.0.0.1 right now.
int FreeLoopbackPort();

// A test certificate authority and a server certificate for localhost and 127.0.0.1, made with
// the openssl program: dir/ca.pem, ca.key, server.pem, server.key.
bool MakeTestPki(const std::string& dir, std::string* error);

}  // namespace cloudsim
