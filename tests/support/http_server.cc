#include "support/http_server.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace zctest {

HttpServer::HttpServer(std::function<HttpScript(const std::string&)> handler, bool holdOpen)
    : handler_(std::move(handler)), holdOpen_(holdOpen) {
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  listen(listenFd_, 64);
  acceptor_ = std::thread([this] {
    while (!stop_) {
      pollfd p{listenFd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int fd = accept(listenFd_, nullptr, nullptr);
      if (fd < 0) continue;
      workers_.emplace_back([this, fd] { Serve(fd); });
    }
  });
}

HttpServer::~HttpServer() {
  stop_ = true;
  acceptor_.join();
  for (auto& w : workers_) w.join();
  close(listenFd_);
}

std::string HttpServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string HttpServer::Response(int status, const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) +
         " X\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
         body;
}

void HttpServer::Serve(int fd) {
  std::string request;
  char buf[4096];
  // Read the head, then as much body as Content-Length announces.
  while (!stop_) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    request.append(buf, static_cast<size_t>(n));
    auto head = request.find("\r\n\r\n");
    if (head == std::string::npos) continue;
    size_t want = 0;
    auto cl = request.find("Content-Length: ");
    if (cl != std::string::npos && cl < head)
      want = std::strtoul(request.c_str() + cl + 16, nullptr, 10);
    if (request.size() >= head + 4 + want) break;
  }
  ++requests_;
  for (const auto& piece : handler_(request)) {
    auto until = std::chrono::steady_clock::now() + piece.pauseBefore;
    while (!stop_ && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (stop_) break;
    if (send(fd, piece.bytes.data(), piece.bytes.size(), MSG_NOSIGNAL) < 0) break;
  }
  while (holdOpen_ && !stop_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  close(fd);
}

}  // namespace zctest
