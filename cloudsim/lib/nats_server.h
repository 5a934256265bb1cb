// A real nats-server on 127.0.0.1, plain or TLS-only, that can be stopped and started again on
// the same port with the same configuration.
#pragma once

#include <chrono>
#include <string>

#include "lib/process.h"

namespace cloudsim {

class NatsServerProcess {
 public:
  struct Options {
    std::string dir;  // configuration and log go here
    int port = 0;     // 0: a free port
    bool tls = true;
    std::string certFile;
    std::string keyFile;
    int monitorPort = -1;  // HTTP monitoring on 127.0.0.1 (0: a free port, -1: none)
  };

  explicit NatsServerProcess(Options options);
  ~NatsServerProcess() { Stop(); }

  bool Start(std::string* error = nullptr);
  void Stop();
  // Stops, waits `down`, starts again on the same port.
  bool Restart(std::chrono::milliseconds down, std::string* error = nullptr);
  bool Running() { return process_.Running(); }

  int port() const { return options_.port; }
  int monitorPort() const { return options_.monitorPort; }
  bool tls() const { return options_.tls; }
  std::string url() const;
  std::string logFile() const { return options_.dir + "/nats.log"; }

 private:
  Options options_;
  ChildProcess process_;
};

}  // namespace cloudsim
