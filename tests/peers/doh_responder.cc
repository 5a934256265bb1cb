// doh_responder: a DNS-over-HTTPS (HTTP/1.1) test server with fault modes.
//
//   doh_responder --port P --cert FILE --key FILE [--mode MODE] [--alpn h2] [--log FILE]
//                 [--a A.B.C.D]
//
// Answers each POST body (a DNS query) itself: A queries get --a. Modes:
//   normal     200 with Content-Length and a lower-case content-type (as dnsdist sends it)
//   chunked    Transfer-Encoding: chunked, the body in 3 chunks with an extension and a trailer
//   hugecl     Content-Length: 1000000000
//   split      status line and each header field in their own TLS record, 3 ms apart
//   pair       holds an answer until the next request arrives and sends both in one write
//   404        404 Not Found
//   noclen     no Content-Length; the body ends with the connection
//   h2garbage  answers with HTTP/2 frame bytes
//   bigheaders a 9000-byte header field
// --alpn h2 selects only "h2" (a client offering only http/1.1 gets a fatal alert).
// --log appends "POST <path> host=<host> len=<n>" per request. Runs until killed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "peers/peer_dns.h"

namespace {

struct Options {
  int port = 0;
  std::string cert, key, mode = "normal", alpn, log;
  peer::AnswerShape answer;
};

Options gOptions;
std::mutex gLogMutex;

void Usage() {
  fprintf(stderr, "usage: doh_responder --port P --cert C --key K [--mode M] [--alpn h2]\n");
  exit(2);
}

int SelectAlpn(SSL*, const unsigned char** out, unsigned char* outlen, const unsigned char* in,
               unsigned int inlen, void*) {
  std::string wanted = gOptions.alpn.empty() ? "http/1.1" : gOptions.alpn;
  for (unsigned i = 0; i < inlen; i += 1 + in[i]) {
    if (std::string(reinterpret_cast<const char*>(in + i + 1), in[i]) == wanted) {
      *out = in + i + 1;
      *outlen = in[i];
      return SSL_TLSEXT_ERR_OK;
    }
  }
  return gOptions.alpn.empty() ? SSL_TLSEXT_ERR_NOACK : SSL_TLSEXT_ERR_ALERT_FATAL;
}

bool WriteAll(SSL* ssl, const std::string& data) {
  return data.empty() || SSL_write(ssl, data.data(), static_cast<int>(data.size())) > 0;
}

// Reads one request; false when the connection ended. `buffered` keeps pipelined bytes.
bool ReadRequest(SSL* ssl, std::string& buffered, std::string* path, std::string* host,
                 std::vector<uint8_t>* body) {
  char chunk[4096];
  size_t end;
  while ((end = buffered.find("\r\n\r\n")) == std::string::npos) {
    int n = SSL_read(ssl, chunk, sizeof chunk);
    if (n <= 0) return false;
    buffered.append(chunk, static_cast<size_t>(n));
  }
  std::string head = buffered.substr(0, end + 2);
  size_t sp1 = head.find(' '), sp2 = head.find(' ', sp1 + 1);
  *path = head.substr(sp1 + 1, sp2 - sp1 - 1);
  size_t length = 0;
  host->clear();
  for (size_t pos = head.find("\r\n") + 2; pos < head.size();) {
    size_t eol = head.find("\r\n", pos);
    std::string line = head.substr(pos, eol - pos);
    pos = eol + 2;
    std::string name = line.substr(0, line.find(':'));
    for (char& c : name) c = static_cast<char>(tolower(c));
    std::string value = line.substr(line.find(':') + 1);
    while (!value.empty() && value.front() == ' ') value.erase(0, 1);
    if (name == "content-length") length = strtoul(value.c_str(), nullptr, 10);
    if (name == "host") *host = value;
  }
  buffered.erase(0, end + 4);
  while (buffered.size() < length) {
    int n = SSL_read(ssl, chunk, sizeof chunk);
    if (n <= 0) return false;
    buffered.append(chunk, static_cast<size_t>(n));
  }
  body->assign(buffered.begin(), buffered.begin() + static_cast<long>(length));
  buffered.erase(0, length);
  return true;
}

std::string Body(const std::vector<uint8_t>& query) {
  peer::Question q;
  if (!peer::ParseQuestion(query, &q)) return "";
  std::vector<uint8_t> answer = peer::BuildAnswer(q, gOptions.answer);
  return std::string(answer.begin(), answer.end());
}

std::string Normal(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nServer: doh_responder\r\ncontent-type: application/dns-message\r\n"
         "content-length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Writes the answer for one request; false to close the connection.
bool Respond(SSL* ssl, const std::string& body, std::string* held) {
  const std::string& mode = gOptions.mode;
  if (mode == "chunked") {
    size_t a = body.size() / 3, b = 2 * body.size() / 3;
    char line[64];
    std::string out =
        "HTTP/1.1 200 OK\r\nContent-Type: application/dns-message\r\n"
        "Transfer-Encoding: chunked\r\n\r\n";
    snprintf(line, sizeof line, "%zx;note=1\r\n", a);
    out += line + body.substr(0, a) + "\r\n";
    snprintf(line, sizeof line, "%zX\r\n", b - a);
    out += line + body.substr(a, b - a) + "\r\n";
    snprintf(line, sizeof line, "%zx\r\n", body.size() - b);
    out += line + body.substr(b) + "\r\n0\r\nX-Trailer: 1\r\n\r\n";
    return WriteAll(ssl, out);
  }
  if (mode == "hugecl") {
    return WriteAll(ssl,
                    "HTTP/1.1 200 OK\r\nContent-Type: application/dns-message\r\n"
                    "Content-Length: 1000000000\r\n\r\n" +
                        body);
  }
  if (mode == "split") {
    std::string full = Normal(body);
    size_t pos = 0;
    while (pos < full.size()) {
      size_t eol = full.find("\r\n", pos);
      size_t next = eol == std::string::npos ? full.size() : eol + 2;
      if (next - pos > 2) {  // cut header lines in the middle too
        size_t half = pos + (next - pos) / 2;
        if (!WriteAll(ssl, full.substr(pos, half - pos))) return false;
        usleep(3000);
        pos = half;
      }
      if (!WriteAll(ssl, full.substr(pos, next - pos))) return false;
      usleep(3000);
      pos = next;
    }
    return true;
  }
  if (mode == "pair") {
    if (held->empty()) {
      *held = Normal(body);
      return true;
    }
    std::string both = *held + Normal(body);
    held->clear();
    return WriteAll(ssl, both);
  }
  if (mode == "404")
    return WriteAll(ssl, "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found");
  if (mode == "noclen") {
    WriteAll(ssl,
             "HTTP/1.1 200 OK\r\nContent-Type: application/dns-message\r\n"
             "Connection: close\r\n\r\n" +
                 body);
    return false;
  }
  if (mode == "h2garbage") {
    static const char kSettings[] = {0, 0, 0, 4, 0, 0, 0, 0, 0};
    WriteAll(ssl, std::string(kSettings, sizeof kSettings));
    return false;
  }
  if (mode == "bigheaders") {
    return WriteAll(ssl, "HTTP/1.1 200 OK\r\nX-Pad: " + std::string(9000, 'p') +
                             "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                             body);
  }
  return WriteAll(ssl, Normal(body));
}

void Serve(SSL_CTX* ctx, int fd) {
  SSL* ssl = SSL_new(ctx);
  SSL_set_fd(ssl, fd);
  if (SSL_accept(ssl) == 1) {
    std::string buffered, held, path, host;
    std::vector<uint8_t> query;
    while (true) {
      if (!held.empty() && buffered.empty() && SSL_pending(ssl) == 0) {
        // "pair": wait a little for the next request, else send the held answer alone.
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 300) <= 0) {
          WriteAll(ssl, held);
          held.clear();
        }
      }
      if (!ReadRequest(ssl, buffered, &path, &host, &query)) break;
      if (!gOptions.log.empty()) {
        std::lock_guard lock(gLogMutex);
        if (FILE* f = fopen(gOptions.log.c_str(), "a")) {
          fprintf(f, "POST %s host=%s len=%zu\n", path.c_str(), host.c_str(), query.size());
          fclose(f);
        }
      }
      if (!Respond(ssl, Body(query), &held)) break;
    }
    SSL_shutdown(ssl);
  }
  SSL_free(ssl);
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (i + 1 >= argc) Usage();
    const char* value = argv[++i];
    if (arg == "--port")
      gOptions.port = atoi(value);
    else if (arg == "--cert")
      gOptions.cert = value;
    else if (arg == "--key")
      gOptions.key = value;
    else if (arg == "--mode")
      gOptions.mode = value;
    else if (arg == "--alpn")
      gOptions.alpn = value;
    else if (arg == "--log")
      gOptions.log = value;
    else if (arg == "--a") {
      if (inet_pton(AF_INET, value, gOptions.answer.a) != 1) Usage();
    } else
      Usage();
  }
  if (gOptions.port <= 0 || gOptions.cert.empty() || gOptions.key.empty()) Usage();
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (SSL_CTX_use_certificate_chain_file(ctx, gOptions.cert.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx, gOptions.key.c_str(), SSL_FILETYPE_PEM) != 1) {
    ERR_print_errors_fp(stderr);
    return 1;
  }
  SSL_CTX_set_alpn_select_cb(ctx, SelectAlpn, nullptr);
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(gOptions.port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 64) != 0) {
    perror("doh_responder: bind");
    return 1;
  }
  printf("ready\n");
  fflush(stdout);
  while (true) {
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::thread(Serve, ctx, fd).detach();
  }
}
