#include "lib/nats_server.h"

#include <unistd.h>
#include <cstdio>
#include <cstdlib>

#include <thread>

namespace cloudsim {

namespace {
constexpr std::chrono::seconds kStartTimeout{10};

std::string ServerProgram() {
  if (const char* env = getenv("ZC_NATS_SERVER")) return env;
  return access("/usr/sbin/nats-server", X_OK) == 0 ? "/usr/sbin/nats-server" : "nats-server";
}
}  // namespace

NatsServerProcess::NatsServerProcess(Options options) : options_(std::move(options)) {}

std::string NatsServerProcess::url() const {
  return "nats://127.0.0.1:" + std::to_string(options_.port);
}

bool NatsServerProcess::Start(std::string* error) {
  if (options_.port <= 0) options_.port = FreeLoopbackPort();
  if (options_.monitorPort == 0) options_.monitorPort = FreeLoopbackPort();
  const std::string conf = options_.dir + "/nats.conf";
  FILE* f = fopen(conf.c_str(), "we");
  if (!f) {
    if (error) *error = "cannot write " + conf;
    return false;
  }
  fprintf(f, "listen: 127.0.0.1:%d\n", options_.port);
  if (options_.monitorPort > 0) fprintf(f, "http: 127.0.0.1:%d\n", options_.monitorPort);
  if (options_.tls) {
    // A generous handshake time: sanitizer builds on a busy machine are slow to shake hands.
    fprintf(f, "tls {\n  cert_file: \"%s\"\n  key_file: \"%s\"\n  timeout: 10\n}\n",
            options_.certFile.c_str(), options_.keyFile.c_str());
  }
  fclose(f);
  if (!process_.Start({ServerProgram(), "-c", conf}, logFile())) {
    if (error) *error = "cannot start nats-server";
    return false;
  }
  if (!WaitTcpPort(options_.port, kStartTimeout) || !process_.Running()) {
    if (error) *error = "nats-server did not listen on port " + std::to_string(options_.port);
    process_.Stop();
    return false;
  }
  return true;
}

void NatsServerProcess::Stop() {
  process_.Stop();
}

bool NatsServerProcess::Restart(std::chrono::milliseconds down, std::string* error) {
  Stop();
  std::this_thread::sleep_for(down);
  return Start(error);
}

}  // namespace cloudsim
