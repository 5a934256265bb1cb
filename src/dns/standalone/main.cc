// zuncore-dns: the agent's DNS engine on its own, as a small forwarder. It reads the option file
// under the root prefix, logs to standard output, and runs until SIGINT or SIGTERM. No
// messaging and no filter: every verdict is "allowed".
//
//   zuncore-dns [-c <option file>]     (default /tmp/zundns.conf, under ZUNCORE_ROOT)
#include <arpa/inet.h>
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "dns/engine/dns_conf.h"
#include "dns/engine/dns_engine.h"
#include "dns/standalone/run_as_user.h"
#include "utils/log.h"
#include "utils/paths.h"

namespace {

int Usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s [-c <option file>]\n"
               "upstream server lines of the option file:\n"
               "  server ADDR[:PORT], server-tcp ADDR[:PORT], server-tls ADDR[:PORT],\n"
               "  server-https https://HOST[:PORT]/PATH, each followed by server options:\n"
               "  -blacklist-ip -whitelist-ip -spki-pin PIN -host-name NAME -http-host HOST\n"
               "  -no-check-certificate -tls-host-verify NAME -group NAME -exclude-default-group\n"
               "  -http2 (server-https: HTTP/2 from the start; HTTP/1.1 otherwise, HTTP/2 when\n"
               "          the server speaks only that)\n",
               program);
  return 2;
}

// With a `user` in the option file, become that user before any thread or socket exists. A
// file that does not load is left for the engine to report.
bool SwitchUser(zc::dns::DnsEngineOptions* options, std::string* error) {
  zc::dns::DnsConf conf;
  std::string ignored;
  int level = g_loglevel.exchange(LL_CRIT);  // the engine reads the file again, and logs
  bool loaded = zc::dns::LoadDnsConf(options->conf_path, &conf, &ignored);
  g_loglevel.store(level);
  if (!loaded || conf.user.empty()) return true;
  if (!zc::dns::RunAsUser(conf.user, error)) {
    *error = "user " + conf.user + ": " + *error;
    return false;
  }
  options->user_applied = true;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  zc::dns::DnsEngineOptions options;
  options.apply_log_level = true;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    if ((arg == "-c" || arg == "--conf") && i + 1 < argc) {
      options.conf_path = argv[++i];
    } else if (arg == "-h" || arg == "--help") {
      return Usage(argv[0]);
    } else {
      std::fprintf(stderr, "%s: unknown argument %s\n", argv[0], arg.c_str());
      return Usage(argv[0]);
    }
  }
  // The signals this process ends on are taken synchronously by the main thread; every thread
  // started below inherits the blocked mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  setvbuf(stdout, nullptr, _IOLBF, 0);

  std::string error;
  if (!SwitchUser(&options, &error)) {
    std::fprintf(stderr, "zuncore-dns: start failed: %s\n", error.c_str());
    return 1;
  }
  zc::dns::DnsEngine engine(options);
  if (!engine.Start(&error)) {
    std::fprintf(stderr, "zuncore-dns: start failed: %s\n", error.c_str());
    return 1;
  }
  for (const sockaddr_storage& a : engine.BoundAddresses()) {
    char host[64] = "?";
    unsigned port = 0;
    if (a.ss_family == AF_INET) {
      const auto& a4 = reinterpret_cast<const sockaddr_in&>(a);
      inet_ntop(AF_INET, &a4.sin_addr, host, sizeof host);
      port = ntohs(a4.sin_port);
    } else {
      const auto& a6 = reinterpret_cast<const sockaddr_in6&>(a);
      inet_ntop(AF_INET6, &a6.sin6_addr, host, sizeof host);
      port = ntohs(a6.sin6_port);
    }
    std::printf("zuncore-dns: listening on %s port %u\n", host, port);
  }
  int sig = 0;
  sigwait(&stop_signals, &sig);
  std::printf("zuncore-dns: stopping on signal %d\n", sig);
  engine.Stop();
  return 0;
}
