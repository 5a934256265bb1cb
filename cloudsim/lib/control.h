// The tests' handle on the simulator: a small HTTP/JSON API on 127.0.0.1 (prefix /v1).
//
//   (also on DIR/control.sock: curl --unix-socket DIR/control.sock http://cloudsim/v1/ready)
//   GET  /v1/ready                      200 once the NATS client is connected
//   POST /v1/reset                      services back to the profile; {"records":true} also
//                                       forgets the records
//   GET  /v1/services                   names and modes
//   PUT  /v1/services/{name}            {"mode","delay_ms","count","raw_b64","reply"}
//   POST /v1/push                       {"to","type","envelope"|"raw_b64","mutate","request",
//                                       "headers"} -> {"seq","ack_b64","ack_headers"}
//   POST /v1/publish                    {"subject","payload_b64","reply","headers"}
//   GET  /v1/records?kind=&subject=&type=&since=&transid=&match=path=value
//   GET  /v1/wait?...&count=n&timeout_ms=   the first n matching records, or 408
//   GET  /v1/transactions/{transid}     every CONFIGRESP of a transaction
//   POST /v1/nats/{stop|start|restart}  {"down_ms"} (when the simulator runs the server)
//   PUT  /v1/{signon|fwvalidate|fwresult}  reply in JSON form, merged over the profile's
//   GET  /  (or /console)                the console page (files under /console/);
//                                       GET /v1/console its summary, GET /v1/console/device?id=
//                                       one device's figures over time
//   Requests naming another host than the loopback, and changes asked by another site's page
//   (Origin), are refused (lib/request_guard.h).
//   plus the endpoints of the HTTP services (/v1/bootstrap, /v1/http/routes)
#pragma once

#include <event2/http.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lib/cloud.h"
#include "lib/event_loop.h"
#include "lib/nats_server.h"
#include "lib/records.h"
#include "lib/web_server.h"
#include "utils/event_handles.h"

namespace cloudsim {

class ControlServer {
 public:
  ControlServer(EventLoop& loop, Cloud& cloud, RecordStore& records, const json_object* profile,
                NatsServerProcess* server);
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  bool Start(int port, std::string* error);
  // The same API on a Unix socket (path in the work directory): reachable from the host shell
  // while the simulator runs inside a private network namespace
  // ("curl --unix-socket DIR/control.sock http://cloudsim/v1/records").
  bool StartUnix(const std::string& path, std::string* error);
  // The HTTP services' control endpoints and reset.
  void SetWebServer(WebServer* web) { web_ = web; }
  int port() const { return port_; }
  // Re-checks the waiting long-polls (called on the loop thread).
  void CheckWaits();

 private:
  struct Wait {
    uint64_t id;
    evhttp_request* request;
    RecordFilter filter;
    size_t count;
  };

  static void OnRequest(evhttp_request* request, void* self);
  void Route(evhttp_request* request);
  void HandlePush(evhttp_request* request, const json_object* body);
  void HandleServices(evhttp_request* request, const std::string& name, const json_object* body);
  void HandleWait(evhttp_request* request, const RecordFilter& filter, size_t count,
                  int64_t timeoutMs);
  void HandleNats(evhttp_request* request, const std::string& action, const json_object* body);

  EventLoop& loop_;
  Cloud& cloud_;
  RecordStore& records_;
  const json_object* profile_;
  NatsServerProcess* server_;
  WebServer* web_ = nullptr;
  zc::ev::HttpPtr http_;
  int port_ = 0;
  std::list<Wait> waits_;
  uint64_t nextWaitId_ = 1;
  std::mutex workersMutex_;
  std::vector<std::thread> workers_;
  std::shared_ptr<std::atomic<bool>> alive_;
};

// Sends a JSON reply (helpers shared with services that answer HTTP later).
void SendJson(evhttp_request* request, int code, const json_object* body);
void SendError(evhttp_request* request, int code, const std::string& message);

}  // namespace cloudsim
