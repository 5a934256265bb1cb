// A tiny plain-HTTP server on loopback for client tests: each connection reads one request and
// plays back a scripted answer (pieces with pauses, or a stall).
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace zctest {

struct HttpPiece {
  std::string bytes;
  std::chrono::milliseconds pauseBefore{0};
};
using HttpScript = std::vector<HttpPiece>;

class HttpServer {
 public:
  // handler: request text (head and body) -> pieces to send; the connection closes afterwards
  // unless holdOpen is set (a stalled peer).
  explicit HttpServer(std::function<HttpScript(const std::string& request)> handler,
                      bool holdOpen = false);
  ~HttpServer();
  int port() const { return port_; }
  std::string Url(const std::string& path) const;
  int requests() const { return requests_.load(); }

  // "HTTP/1.1 <status> X\r\nContent-Length: N\r\n\r\n<body>".
  static std::string Response(int status, const std::string& body);

 private:
  void Serve(int fd);
  std::function<HttpScript(const std::string&)> handler_;
  bool holdOpen_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  std::thread acceptor_;
  std::vector<std::thread> workers_;
};

}  // namespace zctest
