// The simulator's HTTP side: an HTTPS listener (certificate of the test CA) and a plain HTTP
// listener, both on 127.0.0.1. HTTP services (the bootstrap endpoint, firmware images, the time
// service) answer the requests; their settings come from the profile and the control API.
#pragma once

#include <event2/http.h>
#include <openssl/ssl.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "lib/event_loop.h"
#include "lib/records.h"
#include "lib/service.h"
#include "utils/event_handles.h"

namespace cloudsim {

// One request as an HTTP service sees it. `request` stays valid until it is answered or dropped.
struct WebRequest {
  evhttp_request* request = nullptr;
  std::string listener;  // "https" or "http"
  std::string method;
  std::string path;
  std::string query;
  std::string body;
  Headers headers;
};

class WebServer;

class HttpService {
 public:
  virtual ~HttpService() = default;
  // Reads the service's own part of the profile.
  virtual bool Configure(const json_object* profile, std::string* error) = 0;
  // Answers (now or later) a request it serves; false when the request is not its.
  virtual bool Handle(const WebRequest& request) = 0;
  // Its control endpoints under /v1; false when the path is not its.
  virtual bool Control(evhttp_request* request, evhttp_cmd_type method, const std::string& path,
                       const json_object* body) = 0;
  // Back to the profile's settings.
  virtual void Reset() = 0;
  // Name of the certificate for the next TLS handshake ("" for the normal one); a service that
  // answers with another certificate consumes its setting here.
  virtual std::string TakeTlsCertificate() { return ""; }
};

class WebServer {
 public:
  struct Options {
    int httpsPort = 0;  // 0: a free port
    int httpPort = 0;
    std::string certFile;
    std::string keyFile;
    std::string workDir;  // where extra certificates are made
    // The listeners' IPv4 address: loopback unless agents in other network namespaces must
    // reach them (the fleet bench).
    std::string address = "127.0.0.1";
  };

  WebServer(EventLoop& loop, RecordStore& records);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  bool Start(const Options& options, std::string* error);
  int httpsPort() const { return httpsPort_; }
  int httpPort() const { return httpPort_; }
  EventLoop& loop() { return loop_; }
  const std::string& workDir() const { return workDir_; }
  RecordStore& records() { return records_; }

  void AddService(std::unique_ptr<HttpService> service);
  // Another certificate the listener can answer with (e.g. "rogue", of an unknown CA).
  bool AddCertificate(const std::string& name, const std::string& certFile,
                      const std::string& keyFile, std::string* error);
  bool HasCertificate(const std::string& name) const { return contexts_.count(name) > 0; }

  // Control API and reset, forwarded to the services.
  bool Control(evhttp_request* request, evhttp_cmd_type method, const std::string& path,
               const json_object* body);
  void Reset();

  // The record of a request (kind "http"), completed by the caller and added with Record.
  static JsonPtr RecordOf(const WebRequest& request, int status);
  int64_t Record(JsonPtr record) { return records_.Add(std::move(record)); }
  // Answers with a complete body.
  static void Reply(const WebRequest& request, int status, const std::string& body,
                    const char* contentType = "text/plain");
  // Ends the connection without an answer (the client sees it closed).
  static void Drop(evhttp_request* request);
  // Cuts a reply that has started: the client sees the body end early.
  static void Cut(evhttp_request* request);
  // A flag that turns false once the request's connection has gone: work scheduled for later
  // checks it before touching the request.
  std::shared_ptr<const bool> Watch(evhttp_request* request);

 private:
  static void OnRequest(evhttp_request* request, void* self);
  static void OnConnectionClosed(evhttp_connection* connection, void* self);
  static bufferevent* MakeTlsBufferevent(event_base* base, void* self);
  bool Listen(evhttp* http, int port, int* bound, std::string* error);

  struct ListenerTag {
    WebServer* server;
    const char* name;
  };

  EventLoop& loop_;
  RecordStore& records_;
  ListenerTag httpsTag_{this, "https"};
  ListenerTag httpTag_{this, "http"};
  zc::ev::HttpPtr https_;
  zc::ev::HttpPtr http_;
  std::string workDir_;
  std::string address_ = "127.0.0.1";
  int httpsPort_ = 0;
  int httpPort_ = 0;
  std::map<std::string, SSL_CTX*> contexts_;
  std::vector<std::unique_ptr<HttpService>> services_;
  std::map<evhttp_connection*, std::shared_ptr<bool>> open_;
};

// A listening TCP socket on 127.0.0.1 (port 0: a free one): its descriptor (non-blocking) and
// port, or -1.
int ListenLoopback(int port, int* boundPort);
// The same on a given IPv4 address.
int ListenOn(const std::string& address, int port, int* boundPort);

}  // namespace cloudsim
