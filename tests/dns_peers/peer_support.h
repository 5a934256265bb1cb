// Helpers for the real-peer tests of the DNS engine: child processes stopped by pid, free
// ports, unbound and dnsmasq configurations, and a small DNS client over UDP and TCP.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dns/codec/dns_packet.h"
#include "dns/engine/dns_engine.h"
#include "support/child_process.h"
#include "support/netns.h"
#include "support/ports.h"
#include "support/temp_root.h"

namespace dnspeer {

using namespace std::chrono_literals;

// Set once the process runs in its own network namespace.
using zctest::InPrivateNetwork;
using zctest::MarkPrivateNetwork;

using zctest::FreePort;
// Whether a program is on PATH.
bool HaveProgram(const std::string& name);
std::string BuildDir();

using Process = zctest::ChildProcess;

// Output and status of a finished command (argv, no shell).
struct RunResult {
  int status = -1;
  std::string output;
};
RunResult RunProgram(const std::vector<std::string>& argv, std::chrono::milliseconds timeout = 10s);

// A DNS reply as the tests look at it.
struct Reply {
  bool ok = false;
  std::vector<uint8_t> raw;
  uint16_t id = 0;
  int rcode = -1;
  bool tc = false;
  bool aa = false;
  bool rd = false;
  int opcode = 0;
  int qclass = 0;
  std::string qname;
  int ancount = 0;
  std::vector<std::string> a;      // A and AAAA addresses of the answer section, as text
  std::vector<std::string> names;  // CNAME/PTR targets of the answer section
  std::vector<int> ttls;           // TTL of every answer record
  bool has_soa = false;
  bool has_opt = false;
  std::optional<dns_opt_ecs> ecs;
};
Reply ParseReply(const std::vector<uint8_t>& raw);

struct QueryOptions {
  uint16_t id = 0x1234;
  uint16_t qclass = DNS_C_IN;
  int opcode = 0;
  bool edns = false;
  uint16_t payload = 1232;
  std::optional<dns_opt_ecs> ecs;
};
std::vector<uint8_t> BuildQuery(const std::string& name, uint16_t qtype,
                                const QueryOptions& o = {});

// One UDP exchange from `source` (empty: any) to addr:port.
Reply QueryUdp(const std::string& server, uint16_t port, const std::string& name, uint16_t qtype,
               const QueryOptions& o = {}, std::chrono::milliseconds timeout = 2s,
               const std::string& source = "");
Reply SendUdp(const std::string& server, uint16_t port, const std::vector<uint8_t>& query,
              std::chrono::milliseconds timeout = 2s, const std::string& source = "");
Reply QueryTcp(const std::string& server, uint16_t port, const std::string& name, uint16_t qtype,
               const QueryOptions& o = {}, std::chrono::milliseconds timeout = 2s);

// A connected TCP socket to addr:port (-1 on failure), and framed reads.
int ConnectTcp(const std::string& server, uint16_t port);
bool SendAll(int fd, const std::vector<uint8_t>& bytes);
std::optional<std::vector<uint8_t>> ReadFramed(int fd, std::chrono::milliseconds timeout);

// Waits until a DNS server answers a query for `name` on UDP.
bool WaitForDns(const std::string& server, uint16_t port, const std::string& name,
                std::chrono::milliseconds timeout = 5s);

// An unbound instance on 127.0.0.1 serving the local zone "test." of the peer tests.
struct UnboundOptions {
  std::vector<std::string> extra_data;  // more local-data lines (unbound syntax, no quotes)
  bool max_udp_512 = false;
  std::string tag = "u";
  std::vector<std::string> after_server;  // clauses after the server section (stub-zone: ...)
};
class Unbound {
 public:
  bool Start(const std::string& dir, const UnboundOptions& options = {});
  uint16_t port() const { return port_; }
  void Stop() { process_.Stop(); }

 private:
  Process process_;
  uint16_t port_ = 0;
};

// nsd on 127.0.0.1 serving one zone from the given zone-file text (authoritative only).
class Nsd {
 public:
  // Starts and waits until the zone's apex answers. `zone` without the final dot.
  bool Start(const std::string& dir, const std::string& zone, const std::string& zone_text);
  uint16_t port() const { return port_; }
  void Stop() { process_.Stop(); }

 private:
  Process process_;
  uint16_t port_ = 0;
};

// The answer section of a reply as sorted "owner type hex-rdata" lines (TTLs left out), so two
// servers' answers compare record for record.
std::vector<std::string> AnswerRecords(const std::vector<uint8_t>& raw);

// The in-tree fault peer as a slow upstream that logs every query it gets.
class FaultUpstream {
 public:
  bool Start(const std::string& dir, const std::string& tag, const std::string& a, int delay_ms,
             const std::vector<std::string>& extra = {});
  uint16_t port() const { return port_; }
  int QueriesFor(const std::string& name) const;
  void Stop() { process_.Stop(); }

 private:
  Process process_;
  uint16_t port_ = 0;
  std::string log_;
};

// The engine in this process, with its option file under a fresh root.
class Engine {
 public:
  explicit Engine(zc::dns::DnsEngineOptions options = {});
  ~Engine();
  // Writes /tmp/zundns.conf under the root and starts. Empty string or the error.
  std::string Start(const std::string& conf_text);
  void Stop() { engine_.Stop(); }
  zc::dns::DnsEngine& engine() { return engine_; }
  zctest::TempRoot& root() { return root_; }

 private:
  zctest::TempRoot root_;
  zc::dns::DnsEngine engine_;
};

// Standard test zone data (unbound local-data lines).
std::vector<std::string> TestZone();

}  // namespace dnspeer
