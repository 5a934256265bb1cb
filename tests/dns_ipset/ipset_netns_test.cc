// Ipset rules against the kernel's own sets, inside this test's private network namespace: the
// sets are made with the ipset tool, filled by the ipset client and by the engine answering
// dig, and read back with `ipset list`.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dns/ipset/ipset_client.h"
#include "dns_peers/peer_support.h"
#include "support/requires.h"
#include "support/wait.h"
#include "utils/log.h"

namespace dnspeer {
namespace {

using zc::dns::IpsetClient;
using zc::dns::IpsetEntry;

// "ipset list" of one set; empty when the set cannot be listed.
std::string ListSet(const std::string& set) {
  RunResult r = RunProgram({"ipset", "list", set});
  return r.status == 0 ? r.output : std::string();
}

// The member line of an address ("192.0.2.1" or "192.0.2.1 timeout 598"), or "" when absent.
std::string Member(const std::string& set, const std::string& addr) {
  std::string list = ListSet(set);
  size_t members = list.find("Members:\n");
  if (members == std::string::npos) return {};
  size_t pos = members;
  while ((pos = list.find('\n', pos)) != std::string::npos) {
    pos++;
    size_t end = list.find('\n', pos);
    std::string line = list.substr(pos, end == std::string::npos ? end : end - pos);
    if (line == addr || line.rfind(addr + " ", 0) == 0) return line;
  }
  return {};
}

// Seconds left of a member's timeout; -1 without one.
int TimeoutOf(const std::string& member) {
  size_t t = member.find(" timeout ");
  return t == std::string::npos ? -1 : std::stoi(member.substr(t + 9));
}

class KernelSets : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InPrivateNetwork()) ZC_MISSING() << "no private network namespace";
    if (!HaveProgram("ipset")) ZC_MISSING() << "the ipset tool (Debian package ipset)";
    RunResult probe = RunProgram({"ipset", "create", "zc-probe", "hash:ip"});
    if (probe.status != 0) {
      ZC_MISSING() << "the kernel refuses ipset in a network namespace (ip_set module missing "
                      "or netfilter netlink not permitted): "
                   << probe.output;
    }
    Destroy("zc-probe");
  }
  void TearDown() override {
    for (const std::string& s : made_) Destroy(s);
  }
  void Create(const std::string& name, const std::vector<std::string>& options) {
    std::vector<std::string> argv = {"ipset", "create", name};
    argv.insert(argv.end(), options.begin(), options.end());
    RunResult r = RunProgram(argv);
    ASSERT_EQ(r.status, 0) << r.output;
    made_.push_back(name);
  }
  static void Destroy(const std::string& name) { RunProgram({"ipset", "destroy", name}); }
  std::vector<std::string> made_;
};

IpsetEntry Entry(const std::string& set, const char* addr, uint32_t timeout) {
  IpsetEntry e;
  e.set = set;
  e.family = std::string(addr).find(':') == std::string::npos ? AF_INET : AF_INET6;
  inet_pton(e.family, addr, e.addr);
  e.timeout = timeout;
  return e;
}

// Counts the refusal lines the client's thread logs.
class RefusalLines : public LogTap {
 public:
  RefusalLines() : LogTap(LL_ERR) {}
  void Line(int, const char* message) override {
    if (std::strstr(message, "kernel refused")) count++;
  }
  std::atomic<int> count{0};
};

TEST_F(KernelSets, ClientAddsAddressesAndReportsRefusals) {
  auto lines = std::make_shared<RefusalLines>();
  LogTapScope scope(lines);  // the client's thread takes it over
  Create("zc-t4", {"hash:ip", "timeout", "0"});
  Create("zc-6", {"hash:ip", "family", "inet6"});
  Create("zc-plain", {"hash:ip"});
  IpsetClient client;
  std::string error;
  ASSERT_TRUE(client.Start(&error)) << error;
  EXPECT_TRUE(client.Add(Entry("zc-t4", "192.0.2.1", 120)));
  // The same twice: sent once when both are in one batch (the sender may already have taken
  // the first one on a slow machine, so one more send is allowed below).
  EXPECT_TRUE(client.Add(Entry("zc-t4", "192.0.2.1", 120)));
  EXPECT_TRUE(client.Add(Entry("zc-6", "2001:db8::1", 0)));
  EXPECT_TRUE(client.Add(Entry("zc-plain", "198.51.100.3", 0)));
  // Refused by the kernel, logged, and the others still go in: a set that does not exist, a
  // timeout for a set made without timeouts, an IPv4 address for an IPv6 set.
  EXPECT_TRUE(client.Add(Entry("zc-nosuch", "192.0.2.2", 0)));
  EXPECT_TRUE(client.Add(Entry("zc-plain", "198.51.100.4", 30)));
  EXPECT_TRUE(client.Add(Entry("zc-6", "192.0.2.3", 0)));
  EXPECT_TRUE(client.Add(Entry("zc-t4", "192.0.2.4", 60)));
  ASSERT_TRUE(client.Flush(std::chrono::seconds(5)));

  std::string m = Member("zc-t4", "192.0.2.1");
  ASSERT_FALSE(m.empty()) << ListSet("zc-t4");
  EXPECT_GT(TimeoutOf(m), 100);
  EXPECT_LE(TimeoutOf(m), 120);
  EXPECT_FALSE(Member("zc-t4", "192.0.2.4").empty());
  EXPECT_EQ(Member("zc-6", "2001:db8::1"), "2001:db8::1") << ListSet("zc-6");
  EXPECT_EQ(Member("zc-plain", "198.51.100.3"), "198.51.100.3");
  EXPECT_TRUE(Member("zc-plain", "198.51.100.4").empty());
  zc::dns::IpsetStats stats = client.stats();
  EXPECT_GE(stats.sent, 7u);
  EXPECT_LE(stats.sent, 8u);
  EXPECT_EQ(stats.refused, 3u);
  EXPECT_EQ(stats.dropped, 0u);
  EXPECT_EQ(lines->count.load(), 3);

  // A burst of refusals (no such set, as on a kernel without ipset): all counted, few logged.
  for (int i = 0; i < 30; i++) {
    std::string addr = "203.0.113." + std::to_string(i + 1);
    EXPECT_TRUE(client.Add(Entry("zc-nosuch", addr.c_str(), 0)));
  }
  ASSERT_TRUE(client.Flush(std::chrono::seconds(5)));
  EXPECT_EQ(client.stats().refused, 33u);
  EXPECT_EQ(lines->count.load(), zc::dns::kMaxIpsetLogLines);
}

TEST_F(KernelSets, EngineAddsAnswerAddressesOfMatchingDomains) {
  if (!HaveProgram("unbound")) ZC_MISSING() << "unbound is not available";
  if (!HaveProgram("dig")) ZC_MISSING() << "dig (Debian package dnsutils)";
  char tmpl[] = "/tmp/zc-ipset-XXXXXX";
  std::string dir = mkdtemp(tmpl);
  Unbound up;
  UnboundOptions uo;
  uo.extra_data = {"gone.test. 300 IN A 192.0.2.77", "sub.a.test. 300 IN A 192.0.2.88"};
  ASSERT_TRUE(up.Start(dir, uo));
  Create("zc-web4", {"hash:ip", "timeout", "0"});
  Create("zc-web6", {"hash:ip", "family", "inet6", "timeout", "0"});
  Create("zc-multi", {"hash:ip", "timeout", "0"});
  Create("zc-short", {"hash:ip", "timeout", "0"});
  uint16_t port = FreePort();
  uint16_t plain_port = FreePort();
  Engine e;
  std::string conf = "bind 127.0.0.1:" + std::to_string(port) + "\n" +
                     "bind 127.0.0.1:" + std::to_string(plain_port) + " -no-rule-ipset\n" +
                     "server 127.0.0.1:" + std::to_string(up.port()) + "\n" +
                     "rr-ttl-min 0\n"
                     "ipset-timeout yes\n"
                     // Both families of a.test to zc-web4, except IPv6, which has its own set.
                     "ipset /a.test/zc-web4\n"
                     "ipset /a.test/#6:zc-web6\n"
                     // Below a.test, IPv4 answers are kept out of every set.
                     "ipset /sub.a.test/#4:-\n"
                     // Answered as received (no speed check): the same rules apply.
                     "domain-rules /multi.test/ -speed-check-mode none -ipset zc-multi\n"
                     "ipset /short.test/zc-short\n"
                     // A set nobody made: the refusal goes to the engine's own log.
                     "ipset /gone.test/zc-gone\n";
  ASSERT_EQ(e.Start(conf), "");
  std::string p = std::to_string(port);
  RunResult dig = RunProgram({"dig", "@127.0.0.1", "-p", p, "a.test", "A", "+short"});
  EXPECT_NE(dig.output.find("192.0.2.1"), std::string::npos) << dig.output;
  dig = RunProgram({"dig", "@127.0.0.1", "-p", p, "a.test", "AAAA", "+short"});
  EXPECT_NE(dig.output.find("2001:db8::1"), std::string::npos) << dig.output;
  dig = RunProgram({"dig", "@127.0.0.1", "-p", p, "multi.test", "A", "+short"});
  EXPECT_NE(dig.output.find("192.0.2.11"), std::string::npos) << dig.output;
  dig = RunProgram({"dig", "@127.0.0.1", "-p", p, "sub.a.test", "A", "+short"});
  EXPECT_NE(dig.output.find("192.0.2.88"), std::string::npos) << dig.output;
  dig = RunProgram({"dig", "@127.0.0.1", "-p", p, "gone.test", "A", "+short"});
  EXPECT_NE(dig.output.find("192.0.2.77"), std::string::npos) << dig.output;
  // Through the listener that ignores ipset rules: answered, but no set changes.
  dig = RunProgram(
      {"dig", "@127.0.0.1", "-p", std::to_string(plain_port), "short.test", "A", "+short"});
  EXPECT_NE(dig.output.find("192.0.2.5"), std::string::npos) << dig.output;

  ASSERT_TRUE(zctest::WaitFor([] {
    return !Member("zc-web4", "192.0.2.1").empty() && !Member("zc-web6", "2001:db8::1").empty() &&
           !Member("zc-multi", "192.0.2.11").empty() && !Member("zc-multi", "192.0.2.12").empty();
  })) << ListSet("zc-web4")
      << ListSet("zc-web6") << ListSet("zc-multi");
  // Timeouts are twice the TTL given (300 s from unbound).
  int t = TimeoutOf(Member("zc-web4", "192.0.2.1"));
  EXPECT_GT(t, 590);
  EXPECT_LE(t, 600);
  t = TimeoutOf(Member("zc-multi", "192.0.2.12"));
  EXPECT_GT(t, 590);
  EXPECT_LE(t, 600);
  EXPECT_TRUE(zctest::WaitFor([&] {
    return e.root()
               .Read("/tmp/zundns.log")
               .find(
                   "][ERROR] IpsetClient: kernel refused adding 192.0.2.77 to set \"zc-gone\": no "
                   "such "
                   "set") != std::string::npos;
  })) << e.root().Read("/tmp/zundns.log");
  // Entries go to the kernel in answer order: after the refusal above, sub.a.test's would be in.
  EXPECT_TRUE(Member("zc-web4", "192.0.2.88").empty());
  // The IPv6 address went to its own set only.
  EXPECT_TRUE(Member("zc-web4", "2001:db8::1").empty());
  e.Stop();
  EXPECT_TRUE(Member("zc-short", "192.0.2.5").empty()) << ListSet("zc-short");
  up.Stop();
  RunProgram({"rm", "-rf", dir});
}

}  // namespace
}  // namespace dnspeer
