// Real DNS peers for tests: child processes stopped by pid, free loopback ports, a throw-away
// test CA made with the openssl tool, and ready-made unbound / dnsdist / in-tree peer setups.
// Everything listens on 127.0.0.1 only and lives in a temporary directory of the test.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/ports.h"

namespace zctest {

// True once `port` accepts TCP connections on 127.0.0.1.
bool WaitForTcp(int port, std::chrono::milliseconds timeout);
// True once a UDP DNS query for `name` on 127.0.0.1:port gets a NOERROR answer.
bool WaitForDns(int port, const std::string& name, std::chrono::milliseconds timeout);
// A fresh temporary directory, removed with its content by RemoveTree.
std::string MakeTempDir(const std::string& tag);
void RemoveTree(const std::string& path);
// Path of an in-tree peer program (tests/peers/<name> in the build tree).
std::string PeerProgram(const std::string& name);
// Runs a shell-free command line; true on exit status 0.
bool RunQuiet(const std::vector<std::string>& argv);
// Runs a shell-free command line and returns its standard output.
std::string RunOutput(const std::vector<std::string>& argv);

// A test CA in `dir`; Issue() signs server certificates for names and addresses.
class TestCa {
 public:
  bool Create(const std::string& dir, const std::string& name = "ca");
  // Writes <dir>/<stem>.pem and <dir>/<stem>.key with CN = first name and the SANs.
  bool Issue(const std::string& stem, const std::vector<std::string>& dns_names,
             const std::vector<std::string>& ip_addresses);
  std::string cert() const { return dir_ + "/" + name_ + ".pem"; }
  std::string Path(const std::string& stem, const char* ext) const {
    return dir_ + "/" + stem + ext;
  }

 private:
  std::string dir_;
  std::string name_;
};

// Base64 SHA-256 of a certificate's subject public key (the `spki-pin` value).
std::string SpkiPin(const std::string& cert_file);

// unbound serving "test." from local data: a.test A 192.0.2.1, aaaa.test AAAA 2001:db8::1,
// multi.test A 192.0.2.1 and .2, cname.test CNAME a.test, big.test 8 TXT of 250 bytes,
// blocked.test NXDOMAIN, and any *.miss.test A 192.0.2.9.
struct UnboundOptions {
  int port = 0;        // plain DNS (UDP+TCP)
  int tls_port = 0;    // DNS over TLS when > 0
  int https_port = 0;  // DNS over HTTPS (HTTP/2 only in unbound) when > 0
  std::string cert, key;
  int max_udp_size = 0;                    // e.g. 512 to force TC
  std::string a_address = "192.0.2.1";     // a.test
  std::string miss_address = "192.0.2.9";  // every name under miss.test
};
bool StartUnbound(const std::string& dir, const UnboundOptions& options, ChildProcess* process);

// dnsdist in front of a plain upstream: DoH (HTTP/1.1) on doh_port, DoT on tls_port.
bool StartDnsdist(const std::string& dir, int backend_port, int doh_port, int tls_port,
                  const std::string& cert, const std::string& key, ChildProcess* process);

}  // namespace zctest
