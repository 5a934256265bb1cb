// Dual-stack selection in the whole engine, with unbound as the upstream: first with a scripted
// speed checker (each address has a fixed round trip, or none), so every decision is exact;
// then with real probes inside the test's network namespace, where the echo responder makes one
// family's address answer and leaves the other silent or slow.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <future>
#include <mutex>
#include <sstream>

#include "dns_peers/peer_support.h"
#include "dns_prober/prober_support.h"
#include "support/requires.h"
#include "support/wait.h"
#include "utils/timescale.h"

namespace probertest {
namespace {

using zc::dns::SpeedCheckOrders;
using zc::dns::SpeedCheckStart;
using zc::dns::SpeedResult;

// Every address gets its scripted round trip at once (tenths of a millisecond; not listed:
// never answers; kHang: its checks never end). Results never ask for an early reply, so the reply
// always waits for the companion and the decision does not depend on which thread runs first.
inline constexpr int kHang = -2;

class ScriptedSpeed : public zc::dns::SpeedChecker {
 public:
  explicit ScriptedSpeed(std::map<std::string, int> times) : times_(std::move(times)) {}
  bool Attach(uint64_t, const SpeedCheckOrders&, Deliver deliver) override {
    std::lock_guard lock(mutex_);
    deliver_ = std::move(deliver);
    return true;
  }
  void Detach() override {
    std::lock_guard lock(mutex_);
    deliver_ = nullptr;
  }
  bool Available() const override { return true; }
  bool Ipv6Available() const override { return ipv6; }
  std::atomic<bool> ipv6{true};
  bool Start(const SpeedCheckStart& start) override {
    SpeedResult r;
    r.handle = start.handle;
    r.last = true;
    bool hang = false;
    for (const zc::dns::SpeedProbe& p : start.probes) {
      char text[INET6_ADDRSTRLEN] = {};
      inet_ntop(p.family, p.addr, text, sizeof text);
      std::lock_guard lock(mutex_);
      probed_.push_back(text);
      auto it = times_.find(text);
      hang = hang || (it != times_.end() && it->second == kHang);
      if (it != times_.end() && (r.best_time < 1 || it->second < r.best_time)) {
        r.best_time = it->second;
        r.ranked = {p};
      }
    }
    std::lock_guard lock(mutex_);
    if (!deliver_) return false;
    if (hang) return true;
    deliver_(std::move(r));
    return true;
  }
  std::vector<std::string> probed() const {
    std::lock_guard lock(mutex_);
    return probed_;
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, int> times_;
  Deliver deliver_;
  std::vector<std::string> probed_;
};

class DualStack : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!InTestNetwork() || !dnspeer::HaveProgram("unbound")) return;
    dnspeer::MarkPrivateNetwork();
    // IPv6 counts as reachable only with a route towards the probe address.
    RunCommand({"ip", "-6", "addr", "replace", "2001::/128", "dev", "lo", "nodad"});
    char tmpl[] = "/tmp/zc-dualstack-XXXXXX";
    dir_ = mkdtemp(tmpl);
    up_ = new dnspeer::Unbound;
    dnspeer::UnboundOptions o;
    o.tag = "ds";
    for (std::string name : {"dual", "again", "off", "on", "big", "force", "opt"}) {
      o.extra_data.push_back(name + ".ds.test. 300 IN A 192.0.2.10");
      o.extra_data.push_back(name + ".ds.test. 300 IN AAAA 2001:db8::10");
    }
    o.extra_data.push_back("mute6.ds.test. 300 IN A 192.0.2.10");
    o.extra_data.push_back("mute6.ds.test. 300 IN AAAA 2001:db8::11");  // never answers
    o.extra_data.push_back("v4only.ds.test. 300 IN A 192.0.2.10");
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
    port2_ = dnspeer::FreePort();
  }
  void TearDown() override { zc::SetTimeScaleForTest(1.0); }

  // Listener 1 selects; listener 2 has -no-dualstack-selection.
  std::string Conf(const std::string& extra = "") const {
    return "bind 127.0.0.1:" + std::to_string(port_) +
           "\nbind 127.0.0.1:" + std::to_string(port2_) +
           " -no-dualstack-selection\nserver 127.0.0.1:" + std::to_string(up_->port()) +
           "\nlog-level debug\n" + extra;
  }
  dnspeer::Reply Ask(const std::string& name, uint16_t qtype, uint16_t port = 0) const {
    return dnspeer::QueryUdp("127.0.0.1", port ? port : port_, name, qtype, {}, 3s);
  }
  static bool IsSoa(const dnspeer::Reply& r) {
    return r.ok && r.rcode == 0 && r.a.empty() && r.has_soa;
  }

  static inline std::string dir_;
  static inline dnspeer::Unbound* up_ = nullptr;
  static inline bool ok_ = false;
  uint16_t port_ = 0;
  uint16_t port2_ = 0;
};

// IPv4 1 ms, IPv6 30 ms: AAAA gets a SOA on the selecting listener, from upstream and from the
// cache alike, with the audit saying why; the other listener gets the address; the companion's
// A answer is cached, so the A query that follows costs no upstream query.
TEST_F(DualStack, SlowerFamilyGetsSoaWhereSelectionIsOn) {
  ScriptedSpeed speed({{"192.0.2.10", 10}, {"2001:db8::10", 300}});
  zc::dns::DnsEngineOptions options;
  options.speed = &speed;
  dnspeer::Engine e(options);
  ASSERT_EQ(e.Start(Conf("audit-enable yes\naudit-SOA yes\n")), "");

  dnspeer::Reply r = Ask("dual.ds.test", DNS_T_AAAA);
  EXPECT_TRUE(IsSoa(r)) << r.a.size();
  uint64_t upstream = e.engine().Stats().upstream_queries;
  EXPECT_EQ(upstream, 2u);  // the query and its companion
  r = Ask("dual.ds.test", DNS_T_A);
  EXPECT_EQ(r.a, std::vector<std::string>{"192.0.2.10"});
  EXPECT_EQ(e.engine().Stats().upstream_queries, upstream);
  // Cached: the rule is applied again, per listener.
  EXPECT_TRUE(IsSoa(Ask("dual.ds.test", DNS_T_AAAA)));
  EXPECT_EQ(Ask("dual.ds.test", DNS_T_AAAA, port2_).a, std::vector<std::string>{"2001:db8::10"});
  EXPECT_EQ(e.engine().Stats().upstream_queries, upstream);

  // A fresh name on the other listener: no companion, the address.
  r = Ask("again.ds.test", DNS_T_AAAA, port2_);
  EXPECT_EQ(r.a, std::vector<std::string>{"2001:db8::10"});
  EXPECT_EQ(e.engine().Stats().upstream_queries, upstream + 1);

  // A name without IPv6 keeps its A; an IPv6 address that never answers gives way.
  EXPECT_EQ(Ask("v4only.ds.test", DNS_T_A).a, std::vector<std::string>{"192.0.2.10"});
  EXPECT_TRUE(IsSoa(Ask("mute6.ds.test", DNS_T_AAAA)));
  EXPECT_EQ(Ask("mute6.ds.test", DNS_T_A).a, std::vector<std::string>{"192.0.2.10"});

  std::string audit;
  EXPECT_TRUE(zctest::WaitFor([&] {
    audit = e.root().Read("/tmp/zundns-audit.log");
    return audit.find("query mute6.ds.test") != std::string::npos;
  }));
  EXPECT_NE(audit.find("query dual.ds.test, time "), std::string::npos) << audit;
  EXPECT_NE(audit.find(", type 28, result dualstack soa"), std::string::npos) << audit;
  EXPECT_NE(audit.find(", type 28, result 2001:db8::10"), std::string::npos) << audit;
}

// The threshold, forcing AAAA for A queries, and the option itself.
TEST_F(DualStack, ThresholdForceAaaaAndTheOption) {
  {
    ScriptedSpeed speed({{"192.0.2.10", 10}, {"2001:db8::10", 300}});
    zc::dns::DnsEngineOptions options;
    options.speed = &speed;
    dnspeer::Engine e(options);
    ASSERT_EQ(e.Start(Conf("dualstack-ip-selection-threshold 30\n")), "");
    EXPECT_EQ(Ask("big.ds.test", DNS_T_AAAA).a, std::vector<std::string>{"2001:db8::10"});
    EXPECT_EQ(Ask("big.ds.test", DNS_T_AAAA).a, std::vector<std::string>{"2001:db8::10"});
    EXPECT_EQ(Ask("big.ds.test", DNS_T_A).a, std::vector<std::string>{"192.0.2.10"});
  }
  {
    // IPv6 is the faster one: A keeps its answer unless forcing AAAA is allowed.
    ScriptedSpeed speed({{"192.0.2.10", 300}, {"2001:db8::10", 10}});
    zc::dns::DnsEngineOptions options;
    options.speed = &speed;
    dnspeer::Engine e(options);
    ASSERT_EQ(e.Start(Conf()), "");
    EXPECT_EQ(Ask("force.ds.test", DNS_T_A).a, std::vector<std::string>{"192.0.2.10"});
    EXPECT_EQ(Ask("force.ds.test", DNS_T_AAAA).a, std::vector<std::string>{"2001:db8::10"});
  }
  {
    ScriptedSpeed speed({{"192.0.2.10", 300}, {"2001:db8::10", 10}});
    zc::dns::DnsEngineOptions options;
    options.speed = &speed;
    dnspeer::Engine e(options);
    ASSERT_EQ(e.Start(Conf("dualstack-ip-allow-force-AAAA yes\n")), "");
    EXPECT_TRUE(IsSoa(Ask("force.ds.test", DNS_T_A)));
    EXPECT_EQ(Ask("force.ds.test", DNS_T_AAAA).a, std::vector<std::string>{"2001:db8::10"});
    EXPECT_TRUE(IsSoa(Ask("force.ds.test", DNS_T_A)));  // from the cache
  }
  {
    ScriptedSpeed speed({{"192.0.2.10", 10}, {"2001:db8::10", 300}});
    zc::dns::DnsEngineOptions options;
    options.speed = &speed;
    dnspeer::Engine e(options);
    ASSERT_EQ(e.Start(Conf("dualstack-ip-selection no\n")), "");
    EXPECT_EQ(Ask("opt.ds.test", DNS_T_AAAA).a, std::vector<std::string>{"2001:db8::10"});
    EXPECT_EQ(e.engine().Stats().upstream_queries, 1u);
    EXPECT_EQ(speed.probed(), std::vector<std::string>{"2001:db8::10"});
  }
}

// A domain rule's choice wins over the listener's and the option.
TEST_F(DualStack, DomainRulesSwitchItPerDomain) {
  ScriptedSpeed speed({{"192.0.2.10", 10}, {"2001:db8::10", 300}});
  zc::dns::DnsEngineOptions options;
  options.speed = &speed;
  dnspeer::Engine e(options);
  ASSERT_EQ(e.Start(Conf("domain-rules /off.ds.test/ -dualstack-ip-selection no\n"
                         "domain-rules /on.ds.test/ -dualstack-ip-selection yes\n")),
            "");
  EXPECT_EQ(Ask("off.ds.test", DNS_T_AAAA).a, std::vector<std::string>{"2001:db8::10"});
  EXPECT_EQ(Ask("off.ds.test", DNS_T_AAAA).a, std::vector<std::string>{"2001:db8::10"});
  EXPECT_TRUE(IsSoa(Ask("on.ds.test", DNS_T_AAAA, port2_)));
  EXPECT_TRUE(IsSoa(Ask("on.ds.test", DNS_T_AAAA, port2_)));
}

// The companion's checks never end: the reply waits for it no longer than a check may take.
TEST_F(DualStack, ACompanionThatNeverEndsDelaysTheReplyOnlyBriefly) {
  zc::SetTimeScaleForTest(0.2);  // 950 ms -> 190 ms; a request's 10 s life -> 2 s
  ScriptedSpeed speed({{"192.0.2.10", kHang}, {"2001:db8::10", 300}});
  zc::dns::DnsEngineOptions options;
  options.speed = &speed;
  dnspeer::Engine e(options);
  ASSERT_EQ(e.Start(Conf()), "");
  auto t0 = std::chrono::steady_clock::now();
  dnspeer::Reply r = Ask("dual.ds.test", DNS_T_AAAA);
  auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_EQ(r.a, std::vector<std::string>{"2001:db8::10"});
  EXPECT_GE(took, 150ms);
  EXPECT_LT(took, 1500ms);
}

// No companion where it could not change anything: without IPv6 (AAAA would go unchecked), and
// for the engine's own queries, which need an address of the family they ask for.
TEST_F(DualStack, NoCompanionWithoutIpv6NorForTheEnginesOwnQueries) {
  ScriptedSpeed speed({{"192.0.2.10", 10}, {"2001:db8::10", 300}});
  zc::dns::DnsEngineOptions options;
  options.speed = &speed;
  dnspeer::Engine e(options);
  ASSERT_EQ(e.Start(Conf()), "");
  std::promise<std::string> own;
  e.engine().Query("dual.ds.test", DNS_T_AAAA,
                   [&](int, std::string address) { own.set_value(address); });
  auto done = own.get_future();
  ASSERT_EQ(done.wait_for(3s), std::future_status::ready);
  EXPECT_EQ(done.get(), "2001:db8::10");
  EXPECT_EQ(e.engine().Stats().upstream_queries, 1u);
  speed.ipv6 = false;
  EXPECT_EQ(Ask("v4only.ds.test", DNS_T_A).a, std::vector<std::string>{"192.0.2.10"});
  EXPECT_EQ(e.engine().Stats().upstream_queries, 2u);
}

// --- real probes ---------------------------------------------------------------------------------

class DualStackProbes : public DualStack {
 protected:
  void SetUp() override {
    DualStack::SetUp();
    zc::SetTimeScaleForTest(0.5);  // the checks' 950 ms become 475 ms
  }
  std::string ProbeConf(const std::string& extra = "") const {
    return Conf("speed-check-mode ping\n" + extra);
  }
};

// 192.0.2.10 answers echoes at once; 2001:db8::11 never does.
TEST_F(DualStackProbes, SilentFamilyGetsSoa) {
  EchoResponder responder;
  ASSERT_TRUE(responder.Start({{kFast, {0ms}}}));
  dnspeer::Engine e;
  ASSERT_EQ(e.Start(ProbeConf()), "");
  EXPECT_TRUE(IsSoa(Ask("mute6.ds.test", DNS_T_AAAA)));
  EXPECT_EQ(Ask("mute6.ds.test", DNS_T_A).a, std::vector<std::string>{kFast});
  EXPECT_TRUE(IsSoa(Ask("mute6.ds.test", DNS_T_AAAA)));
  // The listener without selection gets the address, from the cache too.
  EXPECT_EQ(Ask("mute6.ds.test", DNS_T_AAAA, port2_).a, std::vector<std::string>{"2001:db8::11"});
  EXPECT_GE(responder.requests(), 1);
}

// 2001:db8::10 answers 60 ms late: slower than IPv4 by more than 15 ms, less than 100 ms.
TEST_F(DualStackProbes, SlowFamilyAndTheThreshold) {
  EchoResponder responder;
  ASSERT_TRUE(responder.Start({{kFast, {0ms}}, {kFast6, {60ms}}}));
  {
    dnspeer::Engine e;
    ASSERT_EQ(e.Start(ProbeConf()), "");
    EXPECT_TRUE(IsSoa(Ask("dual.ds.test", DNS_T_AAAA)));
    EXPECT_EQ(Ask("dual.ds.test", DNS_T_A).a, std::vector<std::string>{kFast});
  }
  {
    dnspeer::Engine e;
    ASSERT_EQ(e.Start(ProbeConf("dualstack-ip-selection-threshold 100\n")), "");
    EXPECT_EQ(Ask("dual.ds.test", DNS_T_AAAA).a, std::vector<std::string>{kFast6});
    EXPECT_EQ(Ask("dual.ds.test", DNS_T_A).a, std::vector<std::string>{kFast});
    EXPECT_EQ(Ask("dual.ds.test", DNS_T_AAAA).a, std::vector<std::string>{kFast6});
  }
  {
    dnspeer::Engine e;
    ASSERT_EQ(e.Start(ProbeConf("domain-rules /off.ds.test/ -dualstack-ip-selection no\n")), "");
    EXPECT_EQ(Ask("off.ds.test", DNS_T_AAAA).a, std::vector<std::string>{kFast6});
    EXPECT_TRUE(IsSoa(Ask("on.ds.test", DNS_T_AAAA)));
    EXPECT_EQ(Ask("again.ds.test", DNS_T_AAAA, port2_).a, std::vector<std::string>{kFast6});
  }
}

// The standalone engine and dig: the AAAA of a name whose IPv6 is silent has no answer records.
TEST_F(DualStackProbes, DigThroughZuncoreDns) {
  if (!dnspeer::HaveProgram("dig")) ZC_MISSING() << "dig is not available";
  std::string program = dnspeer::BuildDir() + "/src/dns/standalone/zuncore-dns";
  struct stat st {};
  if (stat(program.c_str(), &st) != 0) ZC_MISSING() << "zuncore-dns is not built";
  zc::SetTimeScaleForTest(1.0);
  EchoResponder responder;
  ASSERT_TRUE(responder.Start({{kFast, {0ms}}}));
  zctest::TempRoot root;
  root.Write("/tmp/zundns.conf", ProbeConf("audit-enable yes\naudit-SOA yes\nlog-level debug\n"));
  dnspeer::Process engine;
  ASSERT_TRUE(engine.Start({program}, dir_ + "/zuncore-dns.log"));
  ASSERT_TRUE(dnspeer::WaitForDns("127.0.0.1", port_, "a.test"));
  auto dig = [&](uint16_t port, const char* type) {
    return dnspeer::RunProgram({"dig", "@127.0.0.1", "-p", std::to_string(port), "+time=3",
                                "+tries=1", "+noall", "+answer", "+authority", "mute6.ds.test",
                                type})
        .output;
  };
  std::string six = dig(port_, "AAAA");
  EXPECT_EQ(six.find("2001:db8::11"), std::string::npos) << six;
  EXPECT_NE(six.find("SOA"), std::string::npos) << six;
  EXPECT_NE(dig(port_, "A").find("192.0.2.10"), std::string::npos);
  EXPECT_NE(dig(port2_, "AAAA").find("2001:db8::11"), std::string::npos);
  std::string audit;
  zctest::WaitFor([&] {
    audit = root.Read("/tmp/zundns-audit.log");
    return audit.find("result dualstack soa") != std::string::npos;
  });
  engine.Stop();
  EXPECT_NE(audit.find("query mute6.ds.test, time "), std::string::npos) << audit;
  EXPECT_NE(audit.find(", type 28, result dualstack soa"), std::string::npos) << audit;
  std::ifstream log(dir_ + "/zuncore-dns.log");
  std::stringstream text;
  text << log.rdbuf();
  EXPECT_NE(text.str().find("force IPv4 perfered"), std::string::npos);
  EXPECT_NE(text.str().find("dualstack result: domain: mute6.ds.test"), std::string::npos);
}

}  // namespace
}  // namespace probertest
