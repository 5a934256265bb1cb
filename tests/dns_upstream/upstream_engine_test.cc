// dig through zuncore-dns with one upstream of each transport: UDP (a fault peer that forges and
// delays), TCP, TLS (unbound) and HTTPS (dnsdist, HTTP/1.1), plus a truncating UDP upstream; and
// HTTPS over HTTP/2 (unbound's HTTP/2-only port, dnsdist with -http2).
#include <sys/stat.h>

#include "dns_upstream/upstream_peer_fixture.h"
#include "support/requires.h"
#include "support/temp_root.h"

namespace zctest {
namespace {

std::vector<std::string> Dig(int port, const std::vector<std::string>& extra) {
  std::vector<std::string> argv = {"dig",     "@127.0.0.1", "-p", std::to_string(port),
                                   "+time=3", "+tries=1"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  std::istringstream out(RunOutput(argv));
  std::vector<std::string> lines;
  for (std::string line; std::getline(out, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

std::string EngineProgram() {
  const char* build = getenv("ZC_BUILD_DIR");
  return std::string(build ? build : ".") + "/src/dns/standalone/zuncore-dns";
}

using UpstreamEngineTest = UpstreamPeerTest;

TEST_F(UpstreamEngineTest, DigResolvesThroughEveryTransport) {
  struct stat st {};
  if (stat(EngineProgram().c_str(), &st) != 0) ZC_MISSING() << "zuncore-dns is not built";
  TempRoot root;
  TestCa ca;  // under the root: the trust file is a router path
  root.Write("/etc/certs/.keep", "");
  ASSERT_TRUE(ca.Create(root("/etc/certs"), "ca"));
  ASSERT_TRUE(ca.Issue("upstream", {"upstream.test"}, {"127.0.0.1"}));

  ChildProcess tls_unbound, doh_unbound, small_unbound, dnsdist, engine;
  UnboundOptions t;
  t.port = FreePort();
  t.tls_port = FreePort();
  t.cert = ca.Path("upstream", ".pem");
  t.key = ca.Path("upstream", ".key");
  t.miss_address = "192.0.2.31";
  ASSERT_TRUE(StartUnbound(dir_, t, &tls_unbound));
  UnboundOptions h;
  h.port = FreePort();
  h.miss_address = "192.0.2.41";
  ASSERT_TRUE(StartUnbound(dir_, h, &doh_unbound));
  UnboundOptions s;
  s.port = FreePort();
  s.max_udp_size = 512;
  ASSERT_TRUE(StartUnbound(dir_, s, &small_unbound));
  int doh = FreePort(), dot = FreePort();
  ASSERT_TRUE(StartDnsdist(dir_, h.port, doh, dot, t.cert, t.key, &dnsdist));
  int udp = StartFault({"--a", "192.0.2.21", "--delay-ms", "30", "--forge-from", "127.0.0.2",
                        "--forged-a", "192.0.2.66"});
  int tcp = StartFault({"--a", "192.0.2.51"});

  int port = FreePort();
  std::string p = std::to_string(port);
  auto at = [](int n) { return "127.0.0.1:" + std::to_string(n); };
  root.Write("/tmp/zundns.conf",
             "bind 127.0.0.1:" + p + "\nbind-tcp 127.0.0.1:" + p +
                 "\nspeed-check-mode none\ndualstack-ip-selection no\nrr-ttl-min 0\n"
                 "ca-file " +
                 ca.cert() +
                 "\n"
                 "server " +
                 at(udp) +
                 "\n"
                 "server-tcp " +
                 at(tcp) +
                 " -group tcp -exclude-default-group\n"
                 "server-tls " +
                 at(t.tls_port) +
                 " -host-name upstream.test -group tls -exclude-default-group\n"
                 "server-https https://" +
                 at(doh) +
                 "/dns-query -host-name upstream.test -group doh -exclude-default-group\n"
                 "server " +
                 at(s.port) +
                 " -group small -exclude-default-group\n"
                 "nameserver /tcp.miss.test/tcp\n"
                 "nameserver /tls.miss.test/tls\n"
                 "nameserver /doh.miss.test/doh\n"
                 "nameserver /big.test/small\n");
  ASSERT_TRUE(engine.Start({EngineProgram()}, dir_ + "/engine.log"));
  ASSERT_TRUE(WaitForDns(port, "ready.test", std::chrono::seconds(5)));

  // UDP: the forged answer from 127.0.0.2 never wins; the question keeps its case.
  EXPECT_EQ(Dig(port, {"+short", "Mixed.Case.Test"}), std::vector<std::string>{"192.0.2.21"});
  EXPECT_EQ(Dig(port, {"+short", "x.tcp.miss.test"}), std::vector<std::string>{"192.0.2.51"});
  EXPECT_EQ(Dig(port, {"+short", "+tcp", "x.tls.miss.test"}),
            std::vector<std::string>{"192.0.2.31"});
  EXPECT_EQ(Dig(port, {"+short", "x.doh.miss.test"}), std::vector<std::string>{"192.0.2.41"});
  // The truncating upstream is asked again over TCP: all 8 records, over TCP and over UDP with
  // a large enough client buffer.
  EXPECT_EQ(Dig(port, {"+short", "+tcp", "big.test", "TXT"}).size(), 8u);
  EXPECT_EQ(Dig(port, {"+short", "+bufsize=4096", "big.test", "TXT"}).size(), 8u);
  std::vector<std::string> tcp_log = LogLines(FaultLog(tcp));
  ASSERT_FALSE(tcp_log.empty());
  EXPECT_EQ(tcp_log[0].rfind("tcp ", 0), 0u);
}

// unbound's DoH port speaks only HTTP/2: the engine learns it on the first query; dnsdist is
// asked over HTTP/1.1 by default and over HTTP/2 with -http2.
TEST_F(UpstreamEngineTest, DigResolvesThroughHttp2Upstreams) {
  struct stat st {};
  if (stat(EngineProgram().c_str(), &st) != 0) ZC_MISSING() << "zuncore-dns is not built";
  TempRoot root;
  TestCa ca;
  root.Write("/etc/certs/.keep", "");
  ASSERT_TRUE(ca.Create(root("/etc/certs"), "ca"));
  ASSERT_TRUE(ca.Issue("upstream", {"upstream.test"}, {"127.0.0.1"}));

  ChildProcess h2_unbound, back_unbound, dnsdist, engine;
  UnboundOptions u;
  u.port = FreePort();
  u.https_port = FreePort();
  u.cert = ca.Path("upstream", ".pem");
  u.key = ca.Path("upstream", ".key");
  u.miss_address = "192.0.2.61";
  ASSERT_TRUE(StartUnbound(dir_, u, &h2_unbound));
  ASSERT_TRUE(WaitForTcp(u.https_port, std::chrono::seconds(2)));
  UnboundOptions b;
  b.port = FreePort();
  b.miss_address = "192.0.2.71";
  ASSERT_TRUE(StartUnbound(dir_, b, &back_unbound));
  int doh = FreePort();
  ASSERT_TRUE(StartDnsdist(dir_, b.port, doh, FreePort(), u.cert, u.key, &dnsdist));

  int port = FreePort();
  std::string p = std::to_string(port);
  auto uri = [](int n) { return "https://127.0.0.1:" + std::to_string(n) + "/dns-query"; };
  root.Write("/tmp/zundns.conf",
             "bind 127.0.0.1:" + p +
                 "\nspeed-check-mode none\ndualstack-ip-selection no\nrr-ttl-min 0\n"
                 "ca-file " +
                 ca.cert() + "\nlog-level warn\nserver-https " + uri(u.https_port) +
                 " -host-name upstream.test\n"
                 "server-https " +
                 uri(doh) +
                 " -host-name upstream.test -group h1 -exclude-default-group\n"
                 "server-https " +
                 uri(doh) +
                 " -host-name upstream.test -http2 -group h2 -exclude-default-group\n"
                 "nameserver /h1.miss.test/h1\n"
                 "nameserver /h2.miss.test/h2\n");
  ASSERT_TRUE(engine.Start({EngineProgram()}, dir_ + "/engine.log"));
  auto engine_log = [this] {
    std::string text;
    for (const std::string& line : LogLines(dir_ + "/engine.log")) text += line + "\n";
    return text;
  };
  ASSERT_TRUE(WaitForDns(port, "ready.miss.test", std::chrono::seconds(5))) << engine_log();

  for (int i = 0; i < 3; ++i) {
    std::string n = std::to_string(i);
    EXPECT_EQ(Dig(port, {"+short", "u" + n + ".miss.test"}),
              std::vector<std::string>{"192.0.2.61"});
    EXPECT_EQ(Dig(port, {"+short", "x" + n + ".h1.miss.test"}),
              std::vector<std::string>{"192.0.2.71"});
    EXPECT_EQ(Dig(port, {"+short", "x" + n + ".h2.miss.test"}),
              std::vector<std::string>{"192.0.2.71"});
  }
  engine.Stop();
  std::string log = engine_log();
  size_t switches = 0;
  for (size_t pos = 0; (pos = log.find("does not speak", pos)) != std::string::npos; ++pos) {
    ++switches;
  }
  EXPECT_EQ(switches, 1u) << log;  // unbound's port, once; never dnsdist
}

}  // namespace
}  // namespace zctest
