// doh2_responder: a DNS-over-HTTPS test server speaking only HTTP/2 (ALPN "h2"), with the
// stream and connection faults real servers produce rarely and never on demand.
//
//   doh2_responder --port P --cert FILE --key FILE [--mode MODE] [--a A.B.C.D] [--log FILE]
//
// Answers each POST body (a DNS query) itself: A queries get --a. Modes:
//   normal  every request answered
//   reset   every third request of a connection gets RST_STREAM (REFUSED_STREAM)
//   goaway  at the third request of a connection: a GOAWAY announcing the shutdown, that
//           request held while the client moves on (100 ms without input), then answered; then the
//           final GOAWAY and the connection closes
// --log appends one line per connection ("connection") and per request ("request <n>").
#include <arpa/inet.h>
#include <netinet/in.h>
#include <nghttp2/nghttp2.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dns/upstream/nghttp2_handles.h"
#include "peers/peer_dns.h"

namespace {

struct Options {
  int port = 0;
  std::string cert, key, mode = "normal", log;
  peer::AnswerShape answer;
};
Options gOptions;
std::mutex gLogMutex;

void Log(const std::string& line) {
  if (gOptions.log.empty()) return;
  std::lock_guard lock(gLogMutex);
  if (FILE* f = fopen(gOptions.log.c_str(), "a")) {
    fprintf(f, "%s\n", line.c_str());
    fclose(f);
  }
}

struct Connection {
  SSL* ssl = nullptr;
  zc::dns::Nghttp2SessionPtr session;
  std::map<int32_t, std::vector<uint8_t>> bodies, answers;
  int requests = 0;
  int32_t held = 0;
  bool closing = false;

  bool Send() {
    const uint8_t* data = nullptr;
    for (ssize_t n; (n = nghttp2_session_mem_send(session.get(), &data)) > 0;) {
      if (SSL_write(ssl, data, static_cast<int>(n)) <= 0) return false;
    }
    return true;
  }

  void Answer(int32_t id) {
    peer::Question q;
    std::vector<uint8_t> answer;
    if (peer::ParseQuestion(bodies[id], &q)) answer = peer::BuildAnswer(q, gOptions.answer);
    answers[id] = std::move(answer);
    static char status[] = ":status", ok[] = "200";
    nghttp2_nv headers[] = {{reinterpret_cast<uint8_t*>(status), reinterpret_cast<uint8_t*>(ok), 7,
                             3, NGHTTP2_NV_FLAG_NONE}};
    nghttp2_data_provider data{};
    data.source.ptr = &answers[id];
    data.read_callback = [](nghttp2_session*, int32_t, uint8_t* buffer, size_t length,
                            uint32_t* flags, nghttp2_data_source* source, void*) -> ssize_t {
      auto* rest = static_cast<std::vector<uint8_t>*>(source->ptr);
      size_t n = std::min(length, rest->size());
      memcpy(buffer, rest->data(), n);
      rest->erase(rest->begin(), rest->begin() + static_cast<long>(n));
      if (rest->empty()) *flags |= NGHTTP2_DATA_FLAG_EOF;
      return static_cast<ssize_t>(n);
    };
    nghttp2_submit_response(session.get(), id, headers, 1, &data);
  }

  void Requested(int32_t id) {
    ++requests;
    Log("request " + std::to_string(requests));
    if (gOptions.mode == "reset" && requests % 3 == 0) {
      nghttp2_submit_rst_stream(session.get(), NGHTTP2_FLAG_NONE, id, NGHTTP2_REFUSED_STREAM);
      return;
    }
    if (gOptions.mode == "goaway" && requests == 3) {
      nghttp2_submit_shutdown_notice(session.get());
      held = id;
      return;
    }
    Answer(id);
  }
};

int SelectAlpn(SSL*, const unsigned char** out, unsigned char* outlen, const unsigned char* in,
               unsigned int inlen, void*) {
  for (unsigned i = 0; i < inlen; i += 1 + in[i]) {
    if (std::string(reinterpret_cast<const char*>(in + i + 1), in[i]) == "h2") {
      *out = in + i + 1;
      *outlen = in[i];
      return SSL_TLSEXT_ERR_OK;
    }
  }
  return SSL_TLSEXT_ERR_ALERT_FATAL;
}

void Serve(SSL_CTX* ctx, int fd) {
  Connection c;
  c.ssl = SSL_new(ctx);
  SSL_set_fd(c.ssl, fd);
  if (SSL_accept(c.ssl) == 1) {
    Log("connection");
    nghttp2_session_callbacks* raw = nullptr;
    nghttp2_session_callbacks_new(&raw);
    zc::dns::Nghttp2CallbacksPtr callbacks(raw);
    nghttp2_session_callbacks_set_on_data_chunk_recv_callback(
        callbacks.get(),
        [](nghttp2_session*, uint8_t, int32_t id, const uint8_t* data, size_t length, void* user) {
          auto& body = static_cast<Connection*>(user)->bodies[id];
          body.insert(body.end(), data, data + length);
          return 0;
        });
    nghttp2_session_callbacks_set_on_frame_recv_callback(
        callbacks.get(), [](nghttp2_session*, const nghttp2_frame* frame, void* user) {
          if (frame->hd.type == NGHTTP2_DATA && (frame->hd.flags & NGHTTP2_FLAG_END_STREAM)) {
            static_cast<Connection*>(user)->Requested(frame->hd.stream_id);
          }
          return 0;
        });
    nghttp2_session* session = nullptr;
    nghttp2_session_server_new(&session, callbacks.get(), &c);
    c.session.reset(session);
    nghttp2_submit_settings(session, NGHTTP2_FLAG_NONE, nullptr, 0);
    uint8_t buffer[16384];
    while (c.Send()) {
      if (c.held != 0) {
        // Give the client time to see the notice and take its new queries elsewhere.
        pollfd p{fd, POLLIN, 0};
        if (SSL_pending(c.ssl) == 0 && poll(&p, 1, 100) == 0) {
          c.Answer(c.held);
          c.held = 0;
          nghttp2_submit_goaway(session, NGHTTP2_FLAG_NONE,
                                nghttp2_session_get_last_proc_stream_id(session), NGHTTP2_NO_ERROR,
                                nullptr, 0);
          c.closing = true;
          continue;
        }
      }
      if (c.closing) break;
      int n = SSL_read(c.ssl, buffer, sizeof buffer);
      if (n <= 0) break;
      if (nghttp2_session_mem_recv(session, buffer, static_cast<size_t>(n)) < 0) break;
    }
    c.session.reset();
    SSL_shutdown(c.ssl);
  }
  SSL_free(c.ssl);
  close(fd);
}

void Usage() {
  fprintf(stderr, "usage: doh2_responder --port P --cert C --key K [--mode M] [--a IP]\n");
  exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (i + 1 >= argc) Usage();
    const char* value = argv[++i];
    if (arg == "--port") {
      gOptions.port = atoi(value);
    } else if (arg == "--cert") {
      gOptions.cert = value;
    } else if (arg == "--key") {
      gOptions.key = value;
    } else if (arg == "--mode") {
      gOptions.mode = value;
    } else if (arg == "--log") {
      gOptions.log = value;
    } else if (arg == "--a") {
      if (inet_pton(AF_INET, value, gOptions.answer.a) != 1) Usage();
    } else {
      Usage();
    }
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
    perror("doh2_responder: bind");
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
