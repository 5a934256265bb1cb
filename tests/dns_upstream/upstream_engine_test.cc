// dig through zuncore-dns with one upstream of each transport: UDP (a fault peer that forges and
// delays), TCP, TLS (unbound) and HTTPS (dnsdist, HTTP/1.1), plus a truncating UDP upstream.
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

}  // namespace
}  // namespace zctest
