// Option file, rules and lease parsing.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "dns/engine/conf_parser.h"
#include "dns/engine/dns_conf.h"
#include "dns/engine/dns_engine.h"
#include "dns/engine/dns_hosts.h"
#include "dns/engine/dns_rules.h"
#include "utils/paths.h"

namespace zc::dns {
namespace {

namespace fs = std::filesystem;

bool Load(const std::string& text, DnsConf* conf, std::string* error) {
  return LoadDnsConfText("/nonexistent/zundns.conf", text, conf, error);
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/zc-conf-XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() { fs::remove_all(path_); }
  std::string Write(const std::string& name, const std::string& text) const {
    std::string p = path_ + "/" + name;
    std::ofstream(p) << text;
    return p;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(DnsConf, DirectivesDefaultsAndFailures) {
  DnsConf conf;
  std::string error;
  ASSERT_TRUE(
      Load("# comment\n\n"
           "cache-size 0\n"
           "cache-persist auto\n"
           "serve-expired no\n"
           "prefetch-domain yes\n"
           "some-future-option 1\n"
           "log-size 2m\n"
           "force-qtype-SOA 28 65\n"
           "user nobody\n"
           "edns-client-subnet 192.0.2.0/24\n"
           "edns-client-subnet 2001:db8::/56\n"
           "server-name \"my router\"\n",
           &conf, &error))
      << error;
  EXPECT_EQ(conf.cache_size, 0);
  EXPECT_EQ(conf.cache_persist, 2);
  EXPECT_FALSE(conf.serve_expired);
  EXPECT_TRUE(conf.prefetch_domain);
  EXPECT_EQ(conf.log_size, 2 * 1024 * 1024);
  EXPECT_TRUE(conf.force_aaaa_soa);
  EXPECT_EQ(conf.force_qtype_soa.count(65), 1u);
  EXPECT_EQ(conf.user, "nobody");
  EXPECT_EQ(conf.server_name, "my router");
  EXPECT_EQ(conf.rr_ttl_min, 600);
  ASSERT_TRUE(conf.ecs_v4.set);
  EXPECT_EQ(conf.ecs_v4.value.source_prefix, 24);
  EXPECT_EQ(conf.ecs_v4.value.addr[2], 2);
  EXPECT_EQ(conf.ecs_v6.value.source_prefix, 56);

  struct Case {
    const char* text;
    const char* expect;  // substring of the error
  };
  const Case failing[] = {
      {"cache-size 1\ntcp-idle-time 4000\n", ":2:"},
      {"prefetch-domain\n", ":1:"},
      {"edns-client-subnet 192.0.2.0/40\n", ":1:"},
      {"edns-client-subnet 2001:db8::/129\n", ":1:"},
      {"bind :53 -bogus\n", "unknown option"},
      {"server 1.1.1.1 -spki-pin AAAA\n", "spki data length is invalid."},
      {"server 1.1.1.1 -spki-pin "
       "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\n",
       "spki data length is invalid."},
      {"address /a.test/1.2.3.4.5\n", ":1:"},
      {"log-level loud\n", ":1:"},
      {"max-reply-ip-num 0\n", ":1:"},
      {"speed-check-mode icmp\n", ":1:"},
  };
  for (const Case& c : failing) {
    DnsConf bad;
    EXPECT_FALSE(Load(c.text, &bad, &error)) << c.text;
    EXPECT_NE(error.find(c.expect), std::string::npos) << c.text << " -> " << error;
  }
  // A 2000-character line fails as a whole, with its line number; nothing of it is parsed.
  DnsConf longline;
  std::string text = "cache-size 7\naddress /" + std::string(1990, 'a') + "/1.2.3.4\n";
  EXPECT_FALSE(Load(text, &longline, &error));
  EXPECT_NE(error.find(":2:"), std::string::npos) << error;
}

TEST(DnsConf, BindsServersAndRepeatableParsing) {
  const std::string text =
      "bind 127.0.0.1:5353 -group kids -no-cache\n"
      "bind 127.0.0.1:5353\n"
      "bind-tcp [::1]:5353 -force-aaaa-soa\n"
      "bind :53\n"
      "server 192.0.2.1 -blacklist-ip\n"
      "server-tcp [2001:db8::1]:5300 -group kids -exclude-default-group\n"
      "server-tls 192.0.2.2 -host-name dns.test -tls-host-verify dns.test "
      "-spki-pin 47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=\n"
      "server-https https://doh.test/dns-query -http-host doh.test --no-check-certificate\n"
      "speed-check-mode tcp:0,ping\n";
  for (bool icmp : {true, false}) {
    for (int round = 0; round < 2; round++) {
      DnsConf conf;
      conf.icmp_available = icmp;
      std::string error;
      ASSERT_TRUE(Load(text, &conf, &error)) << error;
      ASSERT_EQ(conf.binds.size(), 3u);  // the repeated UDP bind is skipped
      EXPECT_EQ(conf.binds[0].group, "kids");
      EXPECT_EQ(conf.binds[0].flags, kBindNoCache);
      EXPECT_EQ(conf.binds[1].transport, Transport::kTcp);
      EXPECT_EQ(conf.binds[1].flags, kBindForceAAAASoa);
      EXPECT_EQ(conf.binds[2].addr.ss_family, AF_INET6);
      ASSERT_EQ(conf.upstream.servers.size(), 4u);
      const auto& s = conf.upstream.servers;
      EXPECT_EQ(s[0].flags, kServerFlagBlacklistIp);
      EXPECT_EQ(s[1].port, 5300);
      EXPECT_EQ(s[1].host, "2001:db8::1");
      EXPECT_TRUE(s[1].exclude_default_group);
      ASSERT_EQ(s[1].groups.size(), 1u);
      EXPECT_EQ(s[2].spki_pin.size(), 32u);
      EXPECT_EQ(s[2].tls_host_verify, "dns.test");
      EXPECT_EQ(s[3].http_path, "/dns-query");
      EXPECT_TRUE(s[3].no_check_certificate);
      EXPECT_FALSE(s[3].http2);
      EXPECT_EQ(conf.orders[0].kind, SpeedCheckOrder::Kind::kTcp);
      EXPECT_EQ(conf.orders[0].port, 80);
      EXPECT_EQ(conf.orders[1].kind,
                icmp ? SpeedCheckOrder::Kind::kPing : SpeedCheckOrder::Kind::kNone);
    }
  }
}

// -http2 belongs to HTTPS servers only.
TEST(DnsConf, Http2IsAnHttpsServerOption) {
  DnsConf conf;
  std::string error;
  ASSERT_TRUE(Load("server-https https://doh.test/q -http2\n", &conf, &error)) << error;
  ASSERT_EQ(conf.upstream.servers.size(), 1u);
  EXPECT_TRUE(conf.upstream.servers[0].http2);
  DnsConf refused;
  EXPECT_FALSE(Load("server-tls 192.0.2.1 -http2\n", &refused, &error));
}

TEST(DnsConf, IncludesAreRelativeBoundedAndCycleSafe) {
  TempDir dir;
  dir.Write("inner.conf", "cache-size 99\n");
  std::string main =
      dir.Write("main.conf", "rr-ttl 5\nconf-file inner.conf\nconf-file missing.conf\n");
  DnsConf conf;
  std::string error;
  ASSERT_TRUE(LoadDnsConf(main, &conf, &error)) << error;  // absolute real path: root is "/"
  EXPECT_EQ(conf.cache_size, 99);
  EXPECT_EQ(conf.rr_ttl, 5);

  std::string self = dir.Write("self.conf", "rr-ttl 1\n\nconf-file self.conf\n");
  DnsConf c2;
  EXPECT_FALSE(LoadDnsConf(self, &c2, &error));
  EXPECT_NE(error.find("self.conf:3:"), std::string::npos) << error;

  // A chain of 12 files: beyond 8 levels the load fails at the including line.
  for (int i = 0; i < 12; i++) {
    dir.Write("c" + std::to_string(i) + ".conf", "conf-file c" + std::to_string(i + 1) + ".conf\n");
  }
  dir.Write("c12.conf", "cache-size 1\n");
  DnsConf c3;
  EXPECT_FALSE(LoadDnsConf(dir.path() + "/c0.conf", &c3, &error));
  EXPECT_NE(error.find("c7.conf:1:"), std::string::npos) << error;

  // An error inside an included file names that file and line.
  dir.Write("broken.conf", "\n\ntcp-idle-time 9999\n");
  std::string outer = dir.Write("outer.conf", "conf-file broken.conf\n");
  DnsConf c4;
  EXPECT_FALSE(LoadDnsConf(outer, &c4, &error));
  EXPECT_NE(error.find("broken.conf:3:"), std::string::npos) << error;
}

// An include is a router path like any other: it may not lead out of the root, and what a
// refused or broken file holds never shows in the messages.
TEST(DnsConf, IncludesStayUnderTheRootAndErrorsDoNotEchoContents) {
  TempDir root, outside;
  outside.Write("shadow", "root:$6$secrethash:19000:0:99999:7:::\n");
  fs::create_directories(root.path() + "/tmp/conf.d");
  const char* saved = getenv("ZUNCORE_ROOT");
  std::string saved_root = saved ? saved : "";
  setenv("ZUNCORE_ROOT", root.path().c_str(), 1);
  zc::ReloadRootFromEnv();
  std::string escape = "conf-file ../../../../../../../../.." + outside.path() + "/shadow\n";
  root.Write("tmp/zundns.conf", "cache-size 5\n" + escape);
  root.Write("tmp/conf.d/junk.conf", "root:$6$secrethash:19000:0:99999:7:::\n");
  root.Write("tmp/junk-main.conf", "conf-file conf.d/junk.conf\n");
  fs::create_symlink(outside.path() + "/shadow", root.path() + "/tmp/link.conf");
  root.Write("tmp/link-main.conf", "conf-file /tmp/link.conf\n");

  for (const char* main : {"/tmp/zundns.conf", "/tmp/link-main.conf", "/tmp/junk-main.conf"}) {
    DnsConf conf;
    std::string error;
    EXPECT_FALSE(LoadDnsConf(main, &conf, &error)) << main;
    EXPECT_EQ(error.find("secrethash"), std::string::npos) << main << " -> " << error;
    EXPECT_EQ(error.find("root:"), std::string::npos) << main << " -> " << error;
    EXPECT_NE(error.find(".conf:"), std::string::npos) << main << " -> " << error;
  }
  DnsConf conf;
  std::string error;
  EXPECT_FALSE(LoadDnsConf("/tmp/zundns.conf", &conf, &error));
  EXPECT_NE(error.find("zundns.conf:2:"), std::string::npos) << error;
  EXPECT_NE(error.find("outside"), std::string::npos) << error;

  if (saved) {
    setenv("ZUNCORE_ROOT", saved_root.c_str(), 1);
  } else {
    unsetenv("ZUNCORE_ROOT");
  }
  zc::ReloadRootFromEnv();
}

// An option file that is not a regular file, or one with no listener, stops the start with a
// message saying so; the engine never claims to listen on nothing.
TEST(DnsConf, StartRefusesNoListenerAndNonRegularFiles) {
  TempDir dir;
  fs::create_directories(dir.path() + "/conf-dir");
  std::string no_bind = dir.Write("nobind.conf", "server 127.0.0.1:5399\ncache-size 0\n");
  struct Case {
    std::string path;
    const char* expect;
  };
  for (const Case& c : {Case{dir.path() + "/conf-dir", "not a regular file"},
                        Case{no_bind, "no listener"}, Case{"/dev/null", "not a regular file"}}) {
    DnsEngineOptions options;
    options.conf_path = c.path;  // root "/": the path as it is
    DnsEngine engine(options);
    std::string error;
    EXPECT_FALSE(engine.Start(&error)) << c.path;
    EXPECT_NE(error.find(c.expect), std::string::npos) << c.path << " -> " << error;
    engine.Stop();
  }
}

TEST(DnsConf, LineSplittingAndOptions) {
  ConfLine line;
  std::string error;
  EXPECT_EQ(SplitConfLine("  # c", &line, &error), LineKind::kSkip);
  ASSERT_EQ(SplitConfLine("key \"a b\" c\\ d \"\"", &line, &error), LineKind::kDirective);
  ASSERT_EQ(line.args.size(), 3u);
  EXPECT_EQ(line.args[0], "a b");
  EXPECT_EQ(line.args[1], "c d");
  EXPECT_EQ(line.args[2], "");
  EXPECT_EQ(SplitConfLine("key \"open", &line, &error), LineKind::kError);
  EXPECT_EQ(SplitConfLine(std::string(64, 'k') + " v", &line, &error), LineKind::kError);
  const OptionSpec specs[] = {{"group", true}, {"flag", false}};
  ParsedOptions opts;
  ASSERT_TRUE(
      ParseOptions({"x", "-group", "g1", "--flag", "-group=g2", "y"}, specs, &opts, &error));
  ASSERT_EQ(opts.positional.size(), 2u);
  ASSERT_EQ(opts.options.size(), 3u);
  EXPECT_EQ(opts.options[2].second, "g2");
  EXPECT_FALSE(ParseOptions({"x", "-group"}, specs, &opts, &error));
  EXPECT_FALSE(ParseOptions({"x", "-flag=1"}, specs, &opts, &error));
}

TEST(DnsRules, DomainRulesWalkParentsAndIgnoreFlags) {
  DnsConf conf;
  std::string error;
  ASSERT_TRUE(
      Load("address /example.test/192.0.2.1\n"
           "address /.ads.example.test/#\n"
           "address /keep.example.test/-\n"
           "address /v6.test/2001:db8::5\n"
           "address /mapped.test/::ffff:10.0.0.1\n"
           "nameserver /kids.test/kids\n"
           "nameserver /free.kids.test/-\n"
           "domain-rules /ds.test/ -dualstack-ip-selection no -address #6 "
           "-speed-check-mode none\n",
           &conf, &error))
      << error;
  const DomainRules& r = conf.domain_rules;
  MatchedRules m = r.Match("www.example.test");
  ASSERT_TRUE(m.v4.has_value());
  EXPECT_EQ(m.v4->s_addr, inet_addr("192.0.2.1"));
  m = r.Match("x.ads.example.test");
  EXPECT_TRUE(m.flags & kRuleSoaAll);
  EXPECT_TRUE(m.v4.has_value());  // the parent's address stays; SOA is checked first
  m = r.Match("keep.example.test");
  EXPECT_FALSE(m.v4.has_value());
  EXPECT_FALSE(r.Match("example.testing").matched);
  EXPECT_TRUE(r.Match("mapped.test").v4.has_value());
  EXPECT_TRUE(r.Match("v6.test").v6.has_value());
  EXPECT_EQ(r.Match("a.kids.test").nameserver.value_or(""), "kids");
  EXPECT_FALSE(r.Match("a.free.kids.test").nameserver.has_value());
  m = r.Match("ds.test");
  EXPECT_EQ(m.mask & kRuleDualstack, kRuleDualstack);
  EXPECT_EQ(m.flags & kRuleDualstack, 0u);
  EXPECT_TRUE(m.flags & kRuleSoaAAAA);
  ASSERT_TRUE(m.orders.has_value());
  EXPECT_TRUE(OrdersAreNone(*m.orders));
}

TEST(DnsRules, IpRulesBestPrefix) {
  IpRules rules;
  ASSERT_TRUE(rules.Add("10.0.0.0/8", kIpBlacklist));
  ASSERT_TRUE(rules.Add("10.1.0.0/16", kIpIgnore));
  ASSERT_TRUE(rules.Add("2001:db8::/32", kIpBogusNxdomain));
  ASSERT_TRUE(rules.Add("192.0.2.7", kIpWhitelist));
  EXPECT_FALSE(rules.Add("10.0.0.0/33", kIpIgnore));
  uint8_t a[16] = {10, 1, 2, 3};
  EXPECT_EQ(rules.Lookup(a, AF_INET), kIpIgnore);
  a[1] = 2;
  EXPECT_EQ(rules.Lookup(a, AF_INET), kIpBlacklist);
  uint8_t w[4] = {192, 0, 2, 7};
  EXPECT_EQ(rules.Lookup(w, AF_INET), kIpWhitelist);
  w[3] = 8;
  EXPECT_EQ(rules.Lookup(w, AF_INET), 0u);
  in6_addr v6;
  inet_pton(AF_INET6, "2001:db8:1::1", &v6);
  EXPECT_EQ(rules.Lookup(v6.s6_addr, AF_INET6), kIpBogusNxdomain);
}

TEST(DnsHosts, LeaseNamesAreCheckedBeforeAnswering) {
  HostsTable t;
  std::string text =
      "1700000000 02:00:00:00:00:01 192.168.1.20 laptop 01:02\n"
      "1700000000 02:00:00:00:00:02 192.168.1.21 www.bank.example 01:02\n"
      "1700000000 02:00:00:00:00:03 192.168.1.22 " +
      std::string(300, 'x') +
      " 01:02\n"
      "1700000000 02:00:00:00:00:04 192.168.1.23 * 01:02\n"
      "1700000000 02:00:00:00:00:05 192.168.1.24 tv.lan *\n"
      "1700000000 1234 2001:db8::20 Phone *\n"
      "garbage\n";
  EXPECT_EQ(t.LoadLeaseText(text, "lan"), 3);
  const HostEntry* e = t.Find("laptop");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->v4->s_addr, inet_addr("192.168.1.20"));
  EXPECT_FALSE(e->v6.has_value());
  EXPECT_EQ(t.Find("www.bank.example"), nullptr);
  EXPECT_NE(t.Find("tv.lan"), nullptr);
  ASSERT_NE(t.Find("phone"), nullptr);
  EXPECT_TRUE(t.Find("phone")->v6.has_value());
  in_addr a;
  inet_pton(AF_INET, "192.168.1.20", &a);
  ASSERT_NE(t.FindPtr(ReverseName(a)), nullptr);
  EXPECT_EQ(*t.FindPtr("20.1.168.192.in-addr.arpa"), "laptop");
  in6_addr a6;
  inet_pton(AF_INET6, "2001:db8::20", &a6);
  EXPECT_EQ(ReverseName(a6).substr(0, 8), "0.2.0.0.");
  EXPECT_EQ(*t.FindPtr(ReverseName(a6)), "Phone");
  EXPECT_FALSE(AcceptableLeaseName("tv.lan", ""));
  EXPECT_FALSE(AcceptableLeaseName("a_b", "lan"));
}

}  // namespace
}  // namespace zc::dns
