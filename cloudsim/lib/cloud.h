// The cloud's NATS client: subscribes the services' subjects, records every message it receives
// (decoded with the agent's schema), answers requests according to each service's mode, and
// pushes messages to the agent for the tests.
#pragma once

#include <nats/nats.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "lib/event_loop.h"
#include "lib/records.h"
#include "lib/service.h"

namespace cloudsim {

enum class ReplyMode { kReply, kDrop, kNoResponders, kDelay, kGarbage, kTruncate, kRaw };
bool ParseReplyMode(const std::string& text, ReplyMode* mode);
const char* ReplyModeName(ReplyMode mode);

// How a service answers its next requests.
struct ModeSettings {
  ReplyMode mode = ReplyMode::kReply;
  int64_t delayMs = 0;  // agent time (scaled)
  int count = -1;       // requests the mode applies to, then back to kReply; -1: until changed
  std::string raw;      // kRaw
};

class Cloud {
 public:
  struct Options {
    std::string url;
    bool tls = false;
    std::string caFile;
  };
  struct PushResult {
    natsStatus status = NATS_OK;
    bool answered = false;
    std::string reply;
    Headers replyHeaders;
  };

  Cloud(RecordStore& records, EventLoop& loop);
  ~Cloud();
  Cloud(const Cloud&) = delete;
  Cloud& operator=(const Cloud&) = delete;

  bool Connect(const Options& options, std::string* error);
  void Close();
  bool Connected();

  bool AddService(std::unique_ptr<Service> service, std::string* error);
  Service* FindService(const std::string& name);
  std::vector<std::string> ServiceNames();
  bool SetMode(const std::string& name, const ModeSettings& settings, std::string* error);
  ModeSettings Mode(const std::string& name);
  // Every service back to its profile reply and the normal mode.
  void Reset();
  // Also records everything on ">" (debugging; hides no-responders from the agent).
  bool MonitorAll(std::string* error);

  // Publishes; for a request waits at most `timeout` (real) for the first reply. Blocking.
  PushResult Push(const std::string& subject, const std::string& payload, const Headers& headers,
                  bool request, std::chrono::milliseconds timeout);
  natsStatus Publish(const std::string& subject, const std::string& reply,
                     const std::string& payload, const Headers& headers);

 private:
  struct Binding {
    Cloud* cloud;
    Service* service;
    std::string subject;
    natsSubscription* subscription = nullptr;
  };

  static void OnMessage(natsConnection* nc, natsSubscription* sub, natsMsg* msg, void* closure);
  void Handle(const Binding& binding, natsMsg* msg);
  ModeSettings TakeMode(const std::string& name);
  bool Subscribe(Binding& binding, std::string* error);
  void Unsubscribe(Binding& binding);

  RecordStore& records_;
  EventLoop& loop_;
  natsConnection* nc_ = nullptr;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Service>> services_;
  std::vector<std::unique_ptr<Binding>> bindings_;
  std::map<std::string, ModeSettings> modes_;
  std::unique_ptr<Binding> monitor_;
  std::unique_ptr<Service> monitorService_;
};

}  // namespace cloudsim
