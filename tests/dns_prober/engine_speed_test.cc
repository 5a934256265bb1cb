// Speed checks in the whole engine: unbound answers names whose addresses sit on lo, the echo
// responder decides how far away each one is, and the reply carries the fastest. Then the same
// through zuncore-dns and dig.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "dns_peers/peer_support.h"
#include "dns_prober/prober_support.h"
#include "support/requires.h"
#include "support/temp_root.h"
#include "utils/timescale.h"

namespace probertest {
namespace {

using Clock = std::chrono::steady_clock;

class EngineSpeed : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!InTestNetwork() || !dnspeer::HaveProgram("unbound")) return;
    dnspeer::MarkPrivateNetwork();
    char tmpl[] = "/tmp/zc-prober-XXXXXX";
    dir_ = mkdtemp(tmpl);
    up_ = new dnspeer::Unbound;
    dnspeer::UnboundOptions o;
    o.tag = "speed";
    o.extra_data = {
        "near.speed.test. 300 IN A 192.0.2.13",     "near.speed.test. 300 IN A 192.0.2.11",
        "near.speed.test. 300 IN A 192.0.2.10",     "far.speed.test. 300 IN A 192.0.2.13",
        "far.speed.test. 300 IN A 192.0.2.11",      "pair.speed.test. 300 IN A 192.0.2.10",
        "pair.speed.test. 300 IN A 192.0.2.12",     "quiet.speed.test. 300 IN A 192.0.2.12",
        "tcp.speed.test. 300 IN A 192.0.2.13",      "tcp.speed.test. 300 IN A 192.0.2.12",
        "six.speed.test. 300 IN AAAA 2001:db8::11", "six.speed.test. 300 IN AAAA 2001:db8::10",
    };
    ok_ = up_->Start(dir_, o);
  }
  static void TearDownTestSuite() {
    delete up_;
    up_ = nullptr;
    if (!dir_.empty()) dnspeer::RunProgram({"rm", "-rf", dir_});
  }
  void SetUp() override {
    if (!InTestNetwork()) ZC_MISSING() << "no private network namespace";
    if (!ok_) ZC_MISSING() << "unbound is not available";
    port_ = dnspeer::FreePort();
  }
  void TearDown() override { zc::SetTimeScaleForTest(1.0); }
  std::string Conf(const std::string& extra = "") const {
    std::string p = std::to_string(port_);
    return "bind 127.0.0.1:" + p + "\nbind-tcp 127.0.0.1:" + p +
           "\nserver 127.0.0.1:" + std::to_string(up_->port()) + "\ndualstack-ip-selection no\n" +
           extra;
  }
  // A query and how long its reply took.
  dnspeer::Reply Ask(const std::string& name, uint16_t qtype, std::chrono::milliseconds* took) {
    auto t0 = Clock::now();
    dnspeer::Reply r = dnspeer::QueryUdp("127.0.0.1", port_, name, qtype, {}, 3s);
    *took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
    return r;
  }

  static inline std::string dir_;
  static inline dnspeer::Unbound* up_ = nullptr;
  static inline bool ok_ = false;
  uint16_t port_ = 0;
};

TEST_F(EngineSpeed, TheFastestAddressIsTheAnswer) {
  EchoResponder responder;
  ASSERT_TRUE(responder.Start({{kFast, {0ms}}, {kSlow, {200ms}}, {kOther, {400ms}}}));
  dnspeer::Engine e;
  ASSERT_EQ(e.Start(Conf()), "");
  std::chrono::milliseconds took;

  // A near address answers at once, whatever order the upstream gave.
  dnspeer::Reply r = Ask("near.speed.test", DNS_T_A, &took);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.a, std::vector<std::string>{kFast});
  EXPECT_LT(took, 390ms);  // not waiting for the 400 ms one

  // 200 ms and 400 ms: the reply waits until both are measured and gives the nearer.
  r = Ask("far.speed.test", DNS_T_A, &took);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.a, std::vector<std::string>{kSlow});
  EXPECT_GE(took, 390ms);
  EXPECT_LT(took, 900ms);
  // Cached with its choice: the second answer is immediate and the same.
  r = Ask("far.speed.test", DNS_T_A, &took);
  EXPECT_EQ(r.a, std::vector<std::string>{kSlow});
  EXPECT_LT(took, 200ms);
}

// One address never answers an echo: the reply goes when the checks' time is up (scaled here)
// with the address that did answer; when none answers, with the upstream's address anyway.
TEST_F(EngineSpeed, SilentAddressesAreWaitedForOnlyUntilTheTimeOut) {
  zc::SetTimeScaleForTest(0.5);  // 950 ms → 475 ms
  EchoResponder responder;
  ASSERT_TRUE(responder.Start({{kFast, {200ms}}}));
  dnspeer::Engine e;
  ASSERT_EQ(e.Start(Conf("speed-check-mode ping\n")), "");
  std::chrono::milliseconds took;
  dnspeer::Reply r = Ask("quiet.speed.test", DNS_T_A, &took);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.a, std::vector<std::string>{kQuiet});
  EXPECT_GE(took, 450ms);
  EXPECT_LT(took, 1200ms);
  r = Ask("pair.speed.test", DNS_T_A, &took);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.a, std::vector<std::string>{kFast});
  EXPECT_GE(took, 450ms);  // 200 ms is not worth answering at once: the silent one may be nearer
}

// A domain's own check orders apply: TCP to a port only one address listens on.
TEST_F(EngineSpeed, DomainRuleOrdersAndAddressesCloseToTheBest) {
  Listener listener;
  ASSERT_TRUE(listener.Tcp(kQuiet));
  EchoResponder responder;
  ASSERT_TRUE(responder.Start({{kFast, {200ms}}, {kQuiet, {200ms}}}));
  dnspeer::Engine e;
  ASSERT_EQ(e.Start(Conf("domain-rules /tcp.speed.test/ -speed-check-mode tcp:" +
                         std::to_string(listener.port()) + "\n")),
            "");
  std::chrono::milliseconds took;
  dnspeer::Reply r = Ask("tcp.speed.test", DNS_T_A, &took);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.a, std::vector<std::string>{kQuiet});  // .13 refuses the port
  EXPECT_LT(took, 500ms);
  // Two addresses 200 ms away, within a tenth of each other: both go, the faster first.
  r = Ask("pair.speed.test", DNS_T_A, &took);
  ASSERT_TRUE(r.ok);
  ASSERT_EQ(r.a.size(), 2u);
  EXPECT_NE(r.a[0], r.a[1]);
}

// Without a route to IPv6 an AAAA answer passes through as the upstream gave it; with one, the
// nearest IPv6 address is the answer.
TEST_F(EngineSpeed, AaaaIsCheckedOnlyWhenIpv6IsReachable) {
  EchoResponder responder;
  ASSERT_TRUE(responder.Start({{kFast6, {0ms}}, {kSlow6, {60ms}}}));
  std::chrono::milliseconds took;
  {
    dnspeer::Engine e;
    ASSERT_EQ(e.Start(Conf()), "");
    dnspeer::Reply r = Ask("six.speed.test", DNS_T_AAAA, &took);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.a.size(), 2u);
    EXPECT_EQ(responder.requests(), 0);
  }
  ASSERT_TRUE(RunCommand({"ip", "-6", "addr", "add", "2001::/128", "dev", "lo", "nodad"}));
  dnspeer::Engine e;
  std::string started = e.Start(Conf());
  RunCommand({"ip", "-6", "addr", "del", "2001::/128", "dev", "lo"});
  ASSERT_EQ(started, "");
  dnspeer::Reply r = Ask("six.speed.test", DNS_T_AAAA, &took);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.a, std::vector<std::string>{kFast6});
  EXPECT_GE(responder.requests(), 1);
}

std::vector<std::string> DigShort(uint16_t port, const std::string& name) {
  auto out = dnspeer::RunProgram({"dig", "@127.0.0.1", "-p", std::to_string(port), "+time=3",
                                  "+tries=1", "+short", name, "A"});
  std::vector<std::string> lines;
  std::istringstream in(out.output);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

TEST_F(EngineSpeed, DigThroughZuncoreDns) {
  if (!dnspeer::HaveProgram("dig")) ZC_MISSING() << "dig is not available";
  std::string program = dnspeer::BuildDir() + "/src/dns/standalone/zuncore-dns";
  struct stat st {};
  if (stat(program.c_str(), &st) != 0) ZC_MISSING() << "zuncore-dns is not built";
  EchoResponder responder;
  ASSERT_TRUE(responder.Start({{kFast, {0ms}}, {kSlow, {200ms}}, {kOther, {400ms}}}));
  zctest::TempRoot root;
  root.Write("/tmp/zundns.conf", Conf("log-level debug\n"));
  dnspeer::Process engine;
  ASSERT_TRUE(engine.Start({program}, dir_ + "/zuncore-dns.log"));
  ASSERT_TRUE(dnspeer::WaitForDns("127.0.0.1", port_, "a.test"));
  EXPECT_EQ(DigShort(port_, "far.speed.test"), std::vector<std::string>{kSlow});
  EXPECT_EQ(DigShort(port_, "near.speed.test"), std::vector<std::string>{kFast});
  engine.Stop();
  std::ifstream log(dir_ + "/zuncore-dns.log");
  std::stringstream text;
  text << log.rdbuf();
  EXPECT_NE(text.str().find("with icmp"), std::string::npos);
}

}  // namespace
}  // namespace probertest
