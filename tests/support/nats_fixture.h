// NATS test fixtures: a real nats-server on a free loopback port (plain or TLS-only, with a test
// CA made by openssl), stoppable and restartable on the same port; the agent's main loop on a
// thread, so connections are opened and closed on the loop thread as in the agent.
#pragma once

#include <event2/event.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "lib/nats_server.h"
#include "support/wait.h"
#include "utils/event_handles.h"

namespace zctest {

// A CA and a server certificate for 127.0.0.1/localhost, made once per test process.
struct TestPki {
  std::string dir;
  std::string caFile;
  std::string certFile;
  std::string keyFile;
};
const TestPki& SharedTestPki();

// A fresh temporary directory, removed with everything in it.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "zc-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

class NatsServerFixture {
 public:
  struct Options {
    bool tls = false;
    bool monitor = false;  // HTTP monitoring (connz) on a free port
  };
  explicit NatsServerFixture(Options options);
  NatsServerFixture() : NatsServerFixture(Options{}) {}
  ~NatsServerFixture();

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  int port() const { return server_->port(); }
  int monitorPort() const { return server_->monitorPort(); }
  std::string url() const { return server_->url(); }
  bool tls() const { return server_->tls(); }
  const std::string& dir() const { return dir_.path(); }

  void Stop() { server_->Stop(); }
  bool Start() { return server_->Start(&error_); }
  bool Restart(std::chrono::milliseconds down) { return server_->Restart(down, &error_); }

  // Installs the test CA as the agent's trust file <root>/tmp/cacert.pem.
  static bool InstallCa(const std::string& root);

 private:
  TempDir dir_;
  std::unique_ptr<cloudsim::NatsServerProcess> server_;
  std::string error_;
};

// The agent's main event loop running on its own thread.
class LoopThread {
 public:
  LoopThread();
  ~LoopThread();
  LoopThread(const LoopThread&) = delete;
  LoopThread& operator=(const LoopThread&) = delete;

  event_base* base() const { return base_.get(); }
  // Runs fn on the loop thread and waits for it to finish.
  void Run(std::function<void()> fn);

 private:
  zc::ev::BasePtr base_;
  zc::ev::EventPtr keepAlive_;  // after base_: freed first
  std::thread thread_;
};

// One HTTP/1.1 exchange with 127.0.0.1:port ("Connection: close"); status 0 when it failed.
struct HttpResponse {
  int status = 0;
  std::string body;
};
HttpResponse HttpCall(int port, const std::string& method, const std::string& path,
                      const std::string& body = "");

}  // namespace zctest
