#include "dns_peers/peer_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "dns/codec/dns_wire.h"

namespace dnspeer {

namespace {

using Clock = std::chrono::steady_clock;

bool FillAddr(const std::string& host, uint16_t port, sockaddr_storage* out, socklen_t* len) {
  std::memset(out, 0, sizeof *out);
  auto* a4 = reinterpret_cast<sockaddr_in*>(out);
  if (inet_pton(AF_INET, host.c_str(), &a4->sin_addr) == 1) {
    a4->sin_family = AF_INET;
    a4->sin_port = htons(port);
    *len = sizeof(sockaddr_in);
    return true;
  }
  auto* a6 = reinterpret_cast<sockaddr_in6*>(out);
  if (inet_pton(AF_INET6, host.c_str(), &a6->sin6_addr) == 1) {
    a6->sin6_family = AF_INET6;
    a6->sin6_port = htons(port);
    *len = sizeof(sockaddr_in6);
    return true;
  }
  return false;
}

bool WaitReadable(int fd, std::chrono::milliseconds timeout) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, static_cast<int>(timeout.count())) > 0;
}

}  // namespace

bool HaveProgram(const std::string& name) {
  for (const char* dir : {"/usr/sbin", "/usr/bin", "/sbin", "/bin", "/usr/local/bin"}) {
    if (access((std::string(dir) + "/" + name).c_str(), X_OK) == 0) return true;
  }
  return false;
}

std::string BuildDir() {
  if (const char* d = getenv("ZC_BUILD_DIR")) return d;
  // Run by hand: the test binary sits in <build>/tests/dns_peers/.
  char exe[4096] = {};
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  std::string path(exe, n > 0 ? static_cast<size_t>(n) : 0);
  for (int up = 0; up < 3 && !path.empty(); up++) path.resize(path.rfind('/'));
  return path.empty() ? "." : path;
}

RunResult RunProgram(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
  RunResult result;
  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0) return result;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipefd[1], 1);
    dup2(pipefd[1], 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(pipefd[1]);
  auto deadline = Clock::now() + timeout;
  char buf[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      kill(pid, SIGKILL);
      break;
    }
    pollfd p{pipefd[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    ssize_t n = read(pipefd[0], buf, sizeof buf);
    if (n <= 0) break;
    result.output.append(buf, static_cast<size_t>(n));
  }
  close(pipefd[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

Reply ParseReply(const std::vector<uint8_t>& raw) {
  Reply r;
  r.raw = raw;
  DnsPacketObject buf;
  if (buf.Decode(raw.data(), static_cast<int>(raw.size())) != 0) return r;
  dns_packet* p = buf.get();
  r.ok = true;
  r.id = p->head.id;
  r.rcode = p->head.rcode;
  r.tc = p->head.tc;
  r.aa = p->head.aa;
  r.rd = p->head.rd;
  r.opcode = p->head.opcode;
  r.ancount = p->head.ancount;
  r.has_opt = p->payloadsize != 0;
  char name[kDnsNameTextMax];
  char target[kDnsNameTextMax];
  int qtype = 0, qclass = 0, ttl = 0;
  if (const dns_rrs* q = dns_get_rrs_start(p, DNS_RRS_QD, nullptr)) {
    if (dns_get_domain(q, name, sizeof name, &qtype, &qclass) == 0) {
      r.qname = name;
      r.qclass = qclass;
    }
  }
  for (const dns_rrs* e = dns_get_rrs_start(p, DNS_RRS_AN, nullptr); e;
       e = dns_get_rrs_next(p, e)) {
    uint8_t addr[16];
    char text[INET6_ADDRSTRLEN];
    const unsigned char* data;
    int len = 0;
    if (dns_get_RAW(e, name, sizeof name, nullptr, &ttl, &data, &len) == 0) r.ttls.push_back(ttl);
    if (dns_get_A(e, name, sizeof name, &ttl, addr) == 0) {
      r.a.push_back(inet_ntop(AF_INET, addr, text, sizeof text));
    } else if (dns_get_AAAA(e, name, sizeof name, &ttl, addr) == 0) {
      r.a.push_back(inet_ntop(AF_INET6, addr, text, sizeof text));
    } else if (dns_get_CNAME(e, name, sizeof name, &ttl, target, sizeof target) == 0 ||
               dns_get_PTR(e, name, sizeof name, &ttl, target, sizeof target) == 0) {
      r.names.push_back(target);
    }
  }
  for (const dns_rrs* e = dns_get_rrs_start(p, DNS_RRS_NS, nullptr); e;
       e = dns_get_rrs_next(p, e)) {
    if (e->type == DNS_T_SOA) r.has_soa = true;
  }
  for (const dns_rrs* o = dns_get_rrs_start(p, DNS_RRS_OPT, nullptr); o;
       o = dns_get_rrs_next(p, o)) {
    dns_opt_ecs ecs;
    if (dns_get_OPT_ECS(o, nullptr, nullptr, &ecs) == 0) r.ecs = ecs;
  }
  return r;
}

std::vector<uint8_t> BuildQuery(const std::string& name, uint16_t qtype, const QueryOptions& o) {
  DnsPacketBuffer<> buf;
  dns_head head;
  head.id = o.id;
  head.rd = 1;
  head.opcode = static_cast<uint16_t>(o.opcode);
  dns_packet_init(buf.get(), buf.size(), &head);
  dns_add_domain(buf.get(), name.c_str(), qtype, o.qclass);
  if (o.edns || o.ecs) dns_set_OPT_payload_size(buf.get(), o.payload);
  if (o.ecs) dns_add_OPT_ECS(buf.get(), &*o.ecs);
  std::vector<uint8_t> out(kDnsMessageMax);
  int n = dns_encode(out.data(), static_cast<int>(out.size()), buf.get());
  out.resize(n > 0 ? n : 0);
  return out;
}

Reply SendUdp(const std::string& server, uint16_t port, const std::vector<uint8_t>& query,
              std::chrono::milliseconds timeout, const std::string& source) {
  sockaddr_storage to{};
  socklen_t to_len = 0;
  if (!FillAddr(server, port, &to, &to_len)) return {};
  int fd = socket(to.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return {};
  if (!source.empty()) {
    sockaddr_storage from{};
    socklen_t from_len = 0;
    FillAddr(source, 0, &from, &from_len);
    bind(fd, reinterpret_cast<sockaddr*>(&from), from_len);
  }
  Reply reply;
  if (sendto(fd, query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&to), to_len) > 0 &&
      WaitReadable(fd, timeout)) {
    std::vector<uint8_t> buf(65536);
    sockaddr_storage from{};
    socklen_t from_len = sizeof from;
    ssize_t n =
        recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &from_len);
    // A reply from another address than the one asked is not an answer (a client drops it).
    if (n > 0 && from_len == to_len &&
        std::memcmp(&from, &to,
                    to.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6)) == 0) {
      buf.resize(static_cast<size_t>(n));
      reply = ParseReply(buf);
    }
  }
  close(fd);
  return reply;
}

Reply QueryUdp(const std::string& server, uint16_t port, const std::string& name, uint16_t qtype,
               const QueryOptions& o, std::chrono::milliseconds timeout,
               const std::string& source) {
  return SendUdp(server, port, BuildQuery(name, qtype, o), timeout, source);
}

int ConnectTcp(const std::string& server, uint16_t port) {
  sockaddr_storage to{};
  socklen_t to_len = 0;
  if (!FillAddr(server, port, &to, &to_len)) return -1;
  int fd = socket(to.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), to_len) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::vector<uint8_t>& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

std::optional<std::vector<uint8_t>> ReadFramed(int fd, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  std::vector<uint8_t> buf;
  size_t want = 2;
  while (buf.size() < want) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || !WaitReadable(fd, left)) return std::nullopt;
    uint8_t chunk[4096];
    size_t ask = std::min(sizeof chunk, want - buf.size());
    ssize_t n = recv(fd, chunk, ask, 0);
    if (n <= 0) return std::nullopt;
    buf.insert(buf.end(), chunk, chunk + n);
    if (buf.size() == 2 && want == 2) want = 2 + (static_cast<size_t>(buf[0]) << 8 | buf[1]);
  }
  return std::vector<uint8_t>(buf.begin() + 2, buf.end());
}

Reply QueryTcp(const std::string& server, uint16_t port, const std::string& name, uint16_t qtype,
               const QueryOptions& o, std::chrono::milliseconds timeout) {
  int fd = ConnectTcp(server, port);
  if (fd < 0) return {};
  std::vector<uint8_t> q = BuildQuery(name, qtype, o);
  std::vector<uint8_t> framed = {static_cast<uint8_t>(q.size() >> 8),
                                 static_cast<uint8_t>(q.size())};
  framed.insert(framed.end(), q.begin(), q.end());
  Reply reply;
  if (SendAll(fd, framed)) {
    if (auto m = ReadFramed(fd, timeout)) reply = ParseReply(*m);
  }
  close(fd);
  return reply;
}

bool WaitForDns(const std::string& server, uint16_t port, const std::string& name,
                std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    if (QueryUdp(server, port, name, DNS_T_A, {}, 200ms).ok) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

std::vector<std::string> TestZone() {
  std::vector<std::string> z = {
      "a.test. 300 IN A 192.0.2.1",      "a.test. 300 IN AAAA 2001:db8::1",
      "multi.test. 300 IN A 192.0.2.11", "multi.test. 300 IN A 192.0.2.12",
      "www.test. 300 IN CNAME a.test.",  "short.test. 5 IN A 192.0.2.5",
      "txt.test. 300 IN TXT hello",      "mail.test. 300 IN MX 10 a.test.",
  };
  for (int i = 0; i < 8; i++) {
    z.push_back("big.test. 300 IN TXT " + std::string(250, static_cast<char>('a' + i)));
  }
  return z;
}

bool Unbound::Start(const std::string& dir, const UnboundOptions& options) {
  port_ = FreePort();
  std::string conf = dir + "/unbound-" + options.tag + ".conf";
  std::ofstream out(conf);
  out << "server:\n"
      << "  interface: 127.0.0.1@" << port_ << "\n  port: " << port_ << "\n"
      << "  do-daemonize: no\n  use-syslog: no\n  logfile: \"\"\n  username: \"\"\n"
      << "  chroot: \"\"\n  directory: \"" << dir << "\"\n  pidfile: \"\"\n"
      << "  module-config: \"iterator\"\n  do-not-query-localhost: no\n"
      << "  access-control: 127.0.0.0/8 allow\n  num-threads: 1\n"
      << "  local-zone: \"test.\" static\n"
      << "  local-zone: \"blocked.test.\" always_nxdomain\n";
  if (options.max_udp_512) out << "  max-udp-size: 512\n";
  std::vector<std::string> data = TestZone();
  data.insert(data.end(), options.extra_data.begin(), options.extra_data.end());
  for (const std::string& line : data) {
    // TXT data is quoted for unbound; everything else is taken as written.
    size_t txt = line.find(" TXT ");
    if (txt != std::string::npos) {
      out << "  local-data: '" << line.substr(0, txt + 5) << "\"" << line.substr(txt + 5)
          << "\"'\n";
    } else {
      out << "  local-data: \"" << line << "\"\n";
    }
  }
  for (const std::string& line : options.after_server) out << line << "\n";
  out.close();
  if (!process_.Start({"unbound", "-d", "-c", conf}, dir + "/unbound-" + options.tag + ".log")) {
    return false;
  }
  return WaitForDns("127.0.0.1", port_, "a.test");
}

bool Nsd::Start(const std::string& dir, const std::string& zone, const std::string& zone_text) {
  port_ = FreePort();
  std::string zone_file = dir + "/" + zone + ".zone";
  std::ofstream(zone_file) << zone_text;
  std::string conf = dir + "/nsd-" + zone + ".conf";
  std::ofstream out(conf);
  out << "server:\n"
      << "  ip-address: 127.0.0.1@" << port_ << "\n  port: " << port_ << "\n"
      << "  username: \"\"\n  chroot: \"\"\n  zonesdir: \"" << dir << "\"\n"
      << "  pidfile: \"" << dir << "/nsd.pid\"\n  database: \"\"\n"
      << "  xfrdfile: \"" << dir << "/xfrd.state\"\n  xfrdir: \"" << dir << "\"\n"
      << "  zonelistfile: \"" << dir << "/zone.list\"\n  logfile: \"" << dir << "/nsd.log\"\n"
      << "  server-count: 1\n  verbosity: 1\n"
      << "remote-control:\n  control-enable: no\n"
      << "zone:\n  name: \"" << zone << "\"\n  zonefile: \"" << zone_file << "\"\n";
  out.close();
  if (!process_.Start({"nsd", "-d", "-c", conf}, dir + "/nsd-" + zone + ".out")) return false;
  auto deadline = Clock::now() + 5s;
  while (Clock::now() < deadline) {
    if (QueryUdp("127.0.0.1", port_, zone, DNS_T_SOA, {}, 200ms).rcode == DNS_RC_NOERROR) {
      return true;
    }
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

std::vector<std::string> AnswerRecords(const std::vector<uint8_t>& raw) {
  std::vector<std::string> lines;
  DnsPacketObject buf;
  if (buf.Decode(raw.data(), static_cast<int>(raw.size())) != 0) return lines;
  for (const dns_rrs* e = dns_get_rrs_start(buf.get(), DNS_RRS_AN, nullptr); e;
       e = dns_get_rrs_next(buf.get(), e)) {
    char owner[kDnsNameTextMax];
    const unsigned char* data = nullptr;
    int len = 0;
    if (dns_get_RAW(e, owner, sizeof owner, nullptr, nullptr, &data, &len) != 0) continue;
    std::string line = owner;
    for (char& c : line) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    line += " " + std::to_string(e->type) + " ";
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < len; i++) {
      line += kHex[data[i] >> 4];
      line += kHex[data[i] & 15];
    }
    lines.push_back(std::move(line));
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

bool FaultUpstream::Start(const std::string& dir, const std::string& tag, const std::string& a,
                          int delay_ms, const std::vector<std::string>& extra) {
  port_ = FreePort();
  log_ = dir + "/" + tag + ".queries";
  std::string bin = BuildDir() + "/tests/peers/fault_upstream";
  if (access(bin.c_str(), X_OK) != 0) return false;
  std::vector<std::string> argv = {bin, "--port",     std::to_string(port_),   "--log", log_, "--a",
                                   a,   "--delay-ms", std::to_string(delay_ms)};
  argv.insert(argv.end(), extra.begin(), extra.end());
  process_.Start(argv, dir + "/" + tag + ".log");
  return WaitForDns("127.0.0.1", port_, "ready.test");
}

int FaultUpstream::QueriesFor(const std::string& name) const {
  std::ifstream in(log_);
  std::string line;
  int n = 0;
  while (std::getline(in, line)) n += line.find(" " + name + ".") != std::string::npos;
  return n;
}

Engine::Engine(zc::dns::DnsEngineOptions options) : engine_(std::move(options)) {}

Engine::~Engine() {
  engine_.Stop();
}

std::string Engine::Start(const std::string& conf_text) {
  root_.Write("/tmp/zundns.conf", conf_text);
  std::string error;
  if (!engine_.Start(&error)) return error.empty() ? "start failed" : error;
  return {};
}

}  // namespace dnspeer
