// Upstreams that cannot be reached: a closed port (ICMP port unreachable), an address without a
// route, an unreachable route, and an on-link neighbour that never answers (host unreachable
// after address resolution fails). The client gets SERVFAIL as soon as the kernel reports the
// error, not after every retry has timed out (2.2 s); another server of the group still answers.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "dns_peers/peer_support.h"
#include "support/requires.h"

namespace dnspeer {
namespace {

using Clock = std::chrono::steady_clock;

// Far below the 500 ms before the first retry and the 2.2 s a silent server takes, far above
// what an engine under the sanitizers on a loaded machine needs to relay an error.
constexpr auto kPromptly = 1000ms;

class DnsUnreachable : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InPrivateNetwork()) ZC_MISSING() << "no private network namespace";
    port = FreePort();
  }
  std::string Conf(const std::string& servers) {
    std::string p = std::to_string(port);
    return "bind 127.0.0.1:" + p + "\n" + servers + "speed-check-mode none\nlog-level info\n";
  }
  // Asks for `count` names never asked before; each must be SERVFAIL, well before a retry.
  void ExpectPromptServfail(const std::string& label, int count = 4) {
    for (int i = 0; i < count; ++i) {
      std::string name = label + std::to_string(i) + ".example";
      auto start = Clock::now();
      Reply r = QueryUdp("127.0.0.1", port, name, DNS_T_A, {}, 4s);
      auto took = Clock::now() - start;
      ASSERT_TRUE(r.ok) << name;
      EXPECT_EQ(r.rcode, DNS_RC_SERVFAIL) << name;
      EXPECT_LT(took, kPromptly)
          << name << " took " << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
          << " ms";
    }
  }
  uint16_t port = 0;
};

TEST_F(DnsUnreachable, ClosedPortGivesServfailAtOnce) {
  uint16_t closed = FreePort();  // nothing listens there: the kernel answers port unreachable
  Engine e;
  ASSERT_EQ(e.Start(Conf("server 127.0.0.1:" + std::to_string(closed) + "\n")), "");
  ExpectPromptServfail("closed");
}

TEST_F(DnsUnreachable, UnroutableAddressesGiveServfailAtOnce) {
  // Only lo is up here: 203.0.113.1 has no route at all; 198.51.100.0/24 an unreachable one.
  RunResult route = RunProgram({"ip", "route", "add", "unreachable", "198.51.100.0/24"});
  ASSERT_EQ(route.status, 0) << route.output;
  Engine e;
  ASSERT_EQ(e.Start(Conf("server 203.0.113.1\nserver 198.51.100.1\n")), "");
  ExpectPromptServfail("noroute");
  e.Stop();
  RunProgram({"ip", "route", "del", "unreachable", "198.51.100.0/24"});
}

TEST_F(DnsUnreachable, NeighbourThatNeverAnswersGivesServfailWhenResolutionFails) {
  // An on-link address nobody holds: the kernel gives up on address resolution and reports
  // host unreachable for the queued datagram (after three probes 30 ms apart).
  RunResult link =
      RunProgram({"ip", "link", "add", "zcu0", "type", "veth", "peer", "name", "zcu1"});
  if (link.status != 0) ZC_MISSING() << "veth links: " << link.output;
  for (const auto& argv : std::vector<std::vector<std::string>>{
           {"ip", "link", "set", "zcu0", "up"},
           {"ip", "link", "set", "zcu1", "up"},
           {"ip", "addr", "add", "10.77.0.1/24", "dev", "zcu0"},
           {"sysctl", "-qw", "net.ipv4.neigh.zcu0.retrans_time_ms=30"}}) {
    RunResult r = RunProgram(argv);
    ASSERT_EQ(r.status, 0) << argv[1] << " " << argv[2] << ": " << r.output;
  }
  RunProgram({"sysctl", "-qw", "net.ipv4.neigh.zcu0.mcast_solicit=1"});  // not in every netns
  Engine e;
  ASSERT_EQ(e.Start(Conf("server 10.77.0.2\n")), "");
  ExpectPromptServfail("neigh");
  e.Stop();
  RunProgram({"ip", "link", "del", "zcu0"});
}

TEST_F(DnsUnreachable, AnotherServerOfTheGroupStillAnswers) {
  FaultUpstream slow;
  char tmpl[] = "/tmp/zc-unreach-XXXXXX";
  std::string dir = mkdtemp(tmpl);
  if (!slow.Start(dir, "slow", "192.0.2.8", 50)) ZC_MISSING() << "fault_upstream not built";
  uint16_t closed = FreePort();
  Engine e;
  ASSERT_EQ(e.Start(Conf("server 127.0.0.1:" + std::to_string(closed) +
                         "\nserver 127.0.0.1:" + std::to_string(slow.port()) + "\n")),
            "");
  for (int i = 0; i < 3; ++i) {
    Reply r = QueryUdp("127.0.0.1", port, "both" + std::to_string(i) + ".test", DNS_T_A, {}, 4s);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.rcode, DNS_RC_NOERROR);
    EXPECT_EQ(r.a, std::vector<std::string>{"192.0.2.8"});
  }
  e.Stop();
  slow.Stop();
  RunProgram({"rm", "-rf", dir});
}

}  // namespace
}  // namespace dnspeer
