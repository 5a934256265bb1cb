#include "lib/web_server.h"

#include <arpa/inet.h>
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/bufferevent_ssl.h>
#include <event2/keyvalq_struct.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace cloudsim {
namespace {

constexpr int kListenBacklog = 64;

const char* MethodName(evhttp_cmd_type m) {
  switch (m) {
    case EVHTTP_REQ_GET:
      return "GET";
    case EVHTTP_REQ_POST:
      return "POST";
    case EVHTTP_REQ_PUT:
      return "PUT";
    case EVHTTP_REQ_HEAD:
      return "HEAD";
    case EVHTTP_REQ_DELETE:
      return "DELETE";
    default:
      return "OTHER";
  }
}

SSL_CTX* MakeContext(const std::string& certFile, const std::string& keyFile, std::string* error) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (!ctx) {
    *error = "SSL_CTX_new failed";
    return nullptr;
  }
  if (SSL_CTX_use_certificate_chain_file(ctx, certFile.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    SSL_CTX_free(ctx);
    *error = "cannot load the certificate " + certFile;
    return nullptr;
  }
  return ctx;
}

}  // namespace

int ListenLoopback(int port, int* boundPort) {
  return ListenOn("127.0.0.1", port, boundPort);
}

int ListenOn(const std::string& address, int port, int* boundPort) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) return -1;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(fd, kListenBacklog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    return -1;
  }
  if (boundPort) *boundPort = ntohs(addr.sin_port);
  return fd;
}

WebServer::WebServer(EventLoop& loop, RecordStore& records) : loop_(loop), records_(records) {}

WebServer::~WebServer() {
  https_.reset();
  http_.reset();
  for (auto& [conn, flag] : open_) *flag = false;
  for (auto& [name, ctx] : contexts_) SSL_CTX_free(ctx);
}

bool WebServer::Listen(evhttp* http, int port, int* bound, std::string* error) {
  int fd = ListenOn(address_, port, bound);
  if (fd < 0 || !evhttp_accept_socket_with_handle(http, fd)) {
    if (fd >= 0) close(fd);
    *error = "cannot listen on " + address_ + ":" + std::to_string(port);
    return false;
  }
  return true;
}

bool WebServer::Start(const Options& options, std::string* error) {
  workDir_ = options.workDir;
  address_ = options.address;
  SSL_CTX* ctx = MakeContext(options.certFile, options.keyFile, error);
  if (!ctx) return false;
  contexts_[""] = ctx;
  https_.reset(evhttp_new(loop_.base()));
  http_.reset(evhttp_new(loop_.base()));
  evhttp_set_gencb(https_.get(), OnRequest, &httpsTag_);
  evhttp_set_gencb(http_.get(), OnRequest, &httpTag_);
  evhttp_set_bevcb(https_.get(), MakeTlsBufferevent, this);
  const int methods = EVHTTP_REQ_GET | EVHTTP_REQ_POST | EVHTTP_REQ_PUT | EVHTTP_REQ_HEAD;
  evhttp_set_allowed_methods(https_.get(), methods);
  evhttp_set_allowed_methods(http_.get(), methods);
  return Listen(https_.get(), options.httpsPort, &httpsPort_, error) &&
         Listen(http_.get(), options.httpPort, &httpPort_, error);
}

void WebServer::AddService(std::unique_ptr<HttpService> service) {
  services_.push_back(std::move(service));
}

bool WebServer::AddCertificate(const std::string& name, const std::string& certFile,
                               const std::string& keyFile, std::string* error) {
  SSL_CTX* ctx = MakeContext(certFile, keyFile, error);
  if (!ctx) return false;
  if (contexts_.count(name)) SSL_CTX_free(contexts_[name]);
  contexts_[name] = ctx;
  return true;
}

bool WebServer::Control(evhttp_request* request, evhttp_cmd_type method, const std::string& path,
                        const json_object* body) {
  for (auto& s : services_) {
    if (s->Control(request, method, path, body)) return true;
  }
  return false;
}

void WebServer::Reset() {
  for (auto& s : services_) s->Reset();
}

bufferevent* WebServer::MakeTlsBufferevent(event_base* base, void* self) {
  auto* server = static_cast<WebServer*>(self);
  SSL_CTX* ctx = server->contexts_[""];
  for (auto& s : server->services_) {
    std::string name = s->TakeTlsCertificate();
    if (!name.empty() && server->contexts_.count(name)) ctx = server->contexts_[name];
  }
  SSL* ssl = SSL_new(ctx);
  bufferevent* bev = bufferevent_openssl_socket_new(base, -1, ssl, BUFFEREVENT_SSL_ACCEPTING,
                                                    BEV_OPT_CLOSE_ON_FREE);
  if (bev) bufferevent_openssl_set_allow_dirty_shutdown(bev, 1);
  return bev;
}

void WebServer::OnRequest(evhttp_request* request, void* arg) {
  auto* tag = static_cast<ListenerTag*>(arg);
  WebRequest r;
  r.request = request;
  r.listener = tag->name;
  r.method = MethodName(evhttp_request_get_command(request));
  const evhttp_uri* uri = evhttp_request_get_evhttp_uri(request);
  const char* path = uri ? evhttp_uri_get_path(uri) : nullptr;
  const char* query = uri ? evhttp_uri_get_query(uri) : nullptr;
  r.path = path ? path : "/";
  r.query = query ? query : "";
  evbuffer* in = evhttp_request_get_input_buffer(request);
  r.body.resize(evbuffer_get_length(in));
  if (!r.body.empty()) evbuffer_copyout(in, r.body.data(), r.body.size());
  for (evkeyval* h = evhttp_request_get_input_headers(request)->tqh_first; h;
       h = h->next.tqe_next) {
    r.headers.emplace_back(h->key, h->value);
  }
  for (auto& s : tag->server->services_) {
    if (s->Handle(r)) return;
  }
  tag->server->Record(RecordOf(r, 404));
  Reply(r, 404, "no such path\n");
}

JsonPtr WebServer::RecordOf(const WebRequest& r, int status) {
  JsonPtr record(json_object_new_object());
  json_object_object_add(record.get(), "kind", json_object_new_string("http"));
  json_object_object_add(record.get(), "listener", json_object_new_string(r.listener.c_str()));
  json_object_object_add(record.get(), "method", json_object_new_string(r.method.c_str()));
  json_object_object_add(record.get(), "path", json_object_new_string(r.path.c_str()));
  if (!r.query.empty()) {
    json_object_object_add(record.get(), "query", json_object_new_string(r.query.c_str()));
  }
  json_object_object_add(record.get(), "status", json_object_new_int(status));
  JsonPtr headers(json_object_new_object());
  for (const auto& [k, v] : r.headers) {
    json_object_object_add(headers.get(), k.c_str(), json_object_new_string(v.c_str()));
  }
  json_object_object_add(record.get(), "headers", headers.release());
  if (!r.body.empty()) {
    json_object_object_add(record.get(), "size", json_object_new_int64(r.body.size()));
    if (JsonPtr body = ParseJson(r.body)) {
      json_object_object_add(record.get(), "body_json", body.release());
    } else {
      json_object_object_add(record.get(), "body_b64",
                             json_object_new_string(Base64Encode(r.body).c_str()));
    }
  }
  return record;
}

void WebServer::Reply(const WebRequest& r, int status, const std::string& body,
                      const char* contentType) {
  evhttp_add_header(evhttp_request_get_output_headers(r.request), "Content-Type", contentType);
  zc::ev::BufferPtr out(evbuffer_new());
  evbuffer_add(out.get(), body.data(), body.size());
  evhttp_send_reply(r.request, status, status < 400 ? "OK" : "Error", out.get());
}

void WebServer::Drop(evhttp_request* request) {
  evhttp_connection* conn = evhttp_request_get_connection(request);
  bufferevent* bev = conn ? evhttp_connection_get_bufferevent(conn) : nullptr;
  int fd = bev ? static_cast<int>(bufferevent_getfd(bev)) : -1;
  if (fd >= 0) shutdown(fd, SHUT_RDWR);
  // The answer cannot reach the client any more; its failed write frees the connection.
  evhttp_send_error(request, 500, nullptr);
}

void WebServer::Cut(evhttp_request* request) {
  evhttp_connection* conn = evhttp_request_get_connection(request);
  bufferevent* bev = conn ? evhttp_connection_get_bufferevent(conn) : nullptr;
  int fd = bev ? static_cast<int>(bufferevent_getfd(bev)) : -1;
  if (fd >= 0) shutdown(fd, SHUT_RDWR);
  // One more byte fails to be written, which frees the connection.
  zc::ev::BufferPtr one(evbuffer_new());
  evbuffer_add(one.get(), "x", 1);
  evhttp_send_reply_chunk(request, one.get());
}

std::shared_ptr<const bool> WebServer::Watch(evhttp_request* request) {
  evhttp_connection* conn = evhttp_request_get_connection(request);
  if (!conn) return std::make_shared<bool>(false);
  auto& flag = open_[conn];
  if (!flag) {
    flag = std::make_shared<bool>(true);
    evhttp_connection_set_closecb(conn, OnConnectionClosed, this);
  }
  return flag;
}

void WebServer::OnConnectionClosed(evhttp_connection* connection, void* self) {
  auto* server = static_cast<WebServer*>(self);
  auto it = server->open_.find(connection);
  if (it == server->open_.end()) return;
  *it->second = false;
  server->open_.erase(it);
}

}  // namespace cloudsim
