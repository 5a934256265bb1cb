#include "support/dns_peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/dns_query.h"
#include "support/wait.h"
#include "utils/exec.h"

namespace zctest {

namespace {

constexpr auto kPoll = std::chrono::milliseconds(20);

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

bool WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
  return static_cast<bool>(out);
}

}  // namespace

bool WaitForTcp(int port, std::chrono::milliseconds timeout) {
  return WaitFor(
      [port] {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = Loopback(port);
        bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(fd);
        return ok;
      },
      timeout, kPoll);
}

bool WaitForDns(int port, const std::string& name, std::chrono::milliseconds timeout) {
  std::vector<uint8_t> query = BuildDnsQuery(name, kDnsTypeA);
  auto deadline = std::chrono::steady_clock::now() + timeout;
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(port);
  connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  bool ok = false;
  while (!ok && std::chrono::steady_clock::now() < deadline) {
    send(fd, query.data(), query.size(), MSG_NOSIGNAL);
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) == 1) {
      uint8_t buf[512];
      ok = recv(fd, buf, sizeof buf, 0) >= 12 && (buf[3] & 0x0f) == 0;
    }
  }
  close(fd);
  return ok;
}

std::string MakeTempDir(const std::string& tag) {
  std::string pattern = std::filesystem::temp_directory_path().string() + "/zc-" + tag + "-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back(0);
  return mkdtemp(buf.data()) ? std::string(buf.data()) : std::string();
}

void RemoveTree(const std::string& path) {
  std::error_code ignored;
  if (!path.empty()) std::filesystem::remove_all(path, ignored);
}

std::string PeerProgram(const std::string& name) {
  const char* build = getenv("ZC_BUILD_DIR");
  return std::string(build ? build : ".") + "/tests/peers/" + name;
}

bool RunQuiet(const std::vector<std::string>& argv) {
  return ::RunArgv(argv).status == 0;
}

std::string RunOutput(const std::vector<std::string>& argv) {
  return ::RunArgv(argv).output;
}

bool TestCa::Create(const std::string& dir, const std::string& name) {
  dir_ = dir;
  name_ = name;
  return RunQuiet({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                   "ec_paramgen_curve:P-256", "-nodes", "-keyout", Path(name, ".key"), "-out",
                   cert(), "-days", "2", "-subj", "/CN=zuncore test " + name});
}

bool TestCa::Issue(const std::string& stem, const std::vector<std::string>& dns_names,
                   const std::vector<std::string>& ip_addresses) {
  std::string san;
  for (const std::string& n : dns_names) san += (san.empty() ? "" : ",") + ("DNS:" + n);
  for (const std::string& ip : ip_addresses) san += (san.empty() ? "" : ",") + ("IP:" + ip);
  std::string cn = dns_names.empty() ? ip_addresses.front() : dns_names.front();
  std::string ext = Path(stem, ".ext");
  if (!WriteText(ext, "subjectAltName=" + san + "\n")) return false;
  return RunQuiet({"openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                   "-nodes", "-keyout", Path(stem, ".key"), "-out", Path(stem, ".csr"), "-subj",
                   "/CN=" + cn}) &&
         RunQuiet({"openssl", "x509", "-req", "-in", Path(stem, ".csr"), "-CA", cert(), "-CAkey",
                   Path(name_, ".key"), "-CAcreateserial", "-out", Path(stem, ".pem"), "-days", "2",
                   "-extfile", ext});
}

std::string SpkiPin(const std::string& cert_file) {
  std::string command = "openssl x509 -in '" + cert_file +
                        "' -pubkey -noout | openssl pkey -pubin -outform der | "
                        "openssl dgst -sha256 -binary | base64";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  char line[128] = "";
  if (fgets(line, sizeof line, pipe) == nullptr) line[0] = 0;
  pclose(pipe);
  std::string pin = line;
  while (!pin.empty() && (pin.back() == '\n' || pin.back() == '\r')) pin.pop_back();
  return pin;
}

bool StartUnbound(const std::string& dir, const UnboundOptions& o, ChildProcess* process) {
  std::string conf = "server:\n";
  auto listen = [&](int port) { conf += "  interface: 127.0.0.1@" + std::to_string(port) + "\n"; };
  listen(o.port);
  if (o.tls_port > 0) listen(o.tls_port);
  if (o.https_port > 0) listen(o.https_port);
  conf += "  port: " + std::to_string(o.port) + "\n";
  if (o.tls_port > 0) conf += "  tls-port: " + std::to_string(o.tls_port) + "\n";
  if (o.https_port > 0) conf += "  https-port: " + std::to_string(o.https_port) + "\n";
  if (o.tls_port > 0 || o.https_port > 0) {
    conf += "  tls-service-key: \"" + o.key + "\"\n  tls-service-pem: \"" + o.cert + "\"\n";
  }
  if (o.max_udp_size > 0) conf += "  max-udp-size: " + std::to_string(o.max_udp_size) + "\n";
  conf += "  username: \"\"\n  chroot: \"\"\n  directory: \"" + dir + "\"\n  pidfile: \"" + dir +
          "/unbound.pid\"\n  use-syslog: no\n  logfile: \"\"\n  verbosity: 0\n"
          "  do-daemonize: no\n  module-config: \"iterator\"\n  do-not-query-localhost: no\n"
          "  do-ip6: no\n  num-threads: 1\n"
          "  local-zone: \"test.\" static\n"
          "  local-data: \"a.test. 300 IN A " +
          o.a_address +
          "\"\n"
          "  local-data: \"aaaa.test. 300 IN AAAA 2001:db8::1\"\n"
          "  local-data: \"multi.test. 300 IN A 192.0.2.1\"\n"
          "  local-data: \"multi.test. 300 IN A 192.0.2.2\"\n"
          "  local-data: \"cname.test. 300 IN CNAME a.test.\"\n"
          "  local-zone: \"blocked.test.\" always_nxdomain\n"
          "  local-zone: \"miss.test.\" redirect\n"
          "  local-data: \"miss.test. 300 IN A " +
          o.miss_address + "\"\n";
  for (char c = 'a'; c < 'a' + 8; ++c) {
    conf += "  local-data: 'big.test. 300 IN TXT \"" + std::string(250, c) + "\"'\n";
  }
  conf += "remote-control:\n  control-enable: no\n";
  std::string path = dir + "/unbound-" + std::to_string(o.port) + ".conf";
  if (!WriteText(path, conf)) return false;
  if (!process->Start({"unbound", "-d", "-c", path}, dir + "/unbound.log")) return false;
  return WaitForDns(o.port, "a.test", std::chrono::seconds(5)) &&
         (o.tls_port <= 0 || WaitForTcp(o.tls_port, std::chrono::seconds(2)));
}

bool StartDnsdist(const std::string& dir, int backend_port, int doh_port, int tls_port,
                  const std::string& cert, const std::string& key, ChildProcess* process) {
  int local = FreePort();
  std::string conf = "setLocal(\"127.0.0.1:" + std::to_string(local) + "\")\n" +
                     "newServer({address=\"127.0.0.1:" + std::to_string(backend_port) +
                     "\", checkName=\"a.test.\"})\n" +
                     "addDOHLocal(\"127.0.0.1:" + std::to_string(doh_port) + "\", \"" + cert +
                     "\", \"" + key + "\", \"/dns-query\")\n" +
                     "addTLSLocal(\"127.0.0.1:" + std::to_string(tls_port) + "\", \"" + cert +
                     "\", \"" + key + "\")\n" + "setSecurityPollSuffix(\"\")\n";
  std::string path = dir + "/dnsdist.conf";
  if (!WriteText(path, conf)) return false;
  if (!process->Start({"dnsdist", "--supervised", "--disable-syslog", "-C", path},
                      dir + "/dnsdist.log")) {
    return false;
  }
  // Ready once it answers through the backend (its health check has passed).
  return WaitForDns(local, "a.test", std::chrono::seconds(5)) &&
         WaitForTcp(doh_port, std::chrono::seconds(2)) &&
         WaitForTcp(tls_port, std::chrono::seconds(2));
}

}  // namespace zctest
