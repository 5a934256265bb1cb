// The engine against unbound: local rules, LAN hosts and PTR, plain forwarding over UDP and TCP,
// malformed and unusual messages, truncation, and the source address of replies.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "dns_peers/peer_support.h"
#include "support/requires.h"

namespace dnspeer {
namespace {

class Upstreams : public ::testing::Environment {
 public:
  void SetUp() override {
    if (!InPrivateNetwork() || !HaveProgram("unbound")) return;
    char tmpl[] = "/tmp/zc-peers-XXXXXX";
    dir = mkdtemp(tmpl);
    ok = main.Start(dir) && small.Start(dir, {{}, true, "small", {}});
  }
  void TearDown() override {
    main.Stop();
    small.Stop();
    if (!dir.empty()) RunProgram({"rm", "-rf", dir});
  }
  std::string dir;
  Unbound main;
  Unbound small;  // max-udp-size 512: truncated answers
  bool ok = false;
};
Upstreams* gUp = static_cast<Upstreams*>(::testing::AddGlobalTestEnvironment(new Upstreams));

class DnsBasics : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InPrivateNetwork()) ZC_MISSING() << "no private network namespace";
    if (!gUp->ok) ZC_MISSING() << "unbound is not available";
    port = FreePort();
  }
  std::string Listen() {
    std::string p = std::to_string(port);
    return "bind 127.0.0.1:" + p + "\nbind-tcp 127.0.0.1:" + p + "\n";
  }
  uint16_t port = 0;
};

TEST_F(DnsBasics, RulesHostsAndPtrAnswerLocally) {
  Engine e;
  e.root().Write("/tmp/leases",
                 "1700000000 02:00:00:00:00:01 192.168.1.20 laptop *\n"
                 "1700000000 02:00:00:00:00:02 192.168.1.21 www.bank.test *\n"
                 "1700000000 02:00:00:00:00:03 192.168.1.22 " +
                     std::string(300, 'x') + " *\n");
  ASSERT_EQ(e.Start(Listen() + "server 127.0.0.1:" + std::to_string(gUp->main.port()) +
                    "\nspeed-check-mode none\n"
                    "address /ruled.test/192.0.2.99\n"
                    "address /open.ruled.test/-\n"
                    "address /nosoa.test/#\n"
                    "address /v6only.test/#4\n"
                    "domain-rules /kids.test/ -address 10.0.0.1\n"
                    "dnsmasq-lease-file /tmp/leases\n"
                    "server-name myrouter\n"),
            "");
  Reply r = QueryUdp("127.0.0.1", port, "x.ruled.test", DNS_T_A);
  ASSERT_TRUE(r.ok);
  ASSERT_EQ(r.a, std::vector<std::string>{"192.0.2.99"});
  EXPECT_EQ(r.ttls[0], 600);
  EXPECT_EQ(QueryUdp("127.0.0.1", port, "kids.test", DNS_T_A).a,
            std::vector<std::string>{"10.0.0.1"});
  // "-" lifts the parent's address: the query goes upstream (unbound: NXDOMAIN).
  EXPECT_EQ(QueryUdp("127.0.0.1", port, "open.ruled.test", DNS_T_A).rcode, DNS_RC_NXDOMAIN);
  r = QueryUdp("127.0.0.1", port, "nosoa.test", DNS_T_TXT);
  EXPECT_EQ(r.rcode, 0);
  EXPECT_EQ(r.ancount, 0);
  EXPECT_TRUE(r.has_soa);
  EXPECT_TRUE(QueryUdp("127.0.0.1", port, "v6only.test", DNS_T_A).has_soa);

  // LAN host names, any letter case; the reply keeps the client's question.
  r = QueryUdp("127.0.0.1", port, "LapTop", DNS_T_A);
  ASSERT_EQ(r.a, std::vector<std::string>{"192.168.1.20"});
  EXPECT_EQ(r.qname, "LapTop");
  r = QueryUdp("127.0.0.1", port, "laptop", DNS_T_AAAA);
  EXPECT_TRUE(r.has_soa);
  EXPECT_EQ(r.ancount, 0);
  r = QueryUdp("127.0.0.1", port, "20.1.168.192.in-addr.arpa", DNS_T_PTR);
  ASSERT_EQ(r.names, std::vector<std::string>{"laptop"});
  EXPECT_EQ(r.ttls[0], 30);
  // A public-looking DHCP name is not answered from the lease file.
  EXPECT_EQ(QueryUdp("127.0.0.1", port, "www.bank.test", DNS_T_A).rcode, DNS_RC_NXDOMAIN);

  // The router's own names answer with the address the query came to.
  EXPECT_EQ(QueryUdp("127.0.0.1", port, "zundns", DNS_T_A).a,
            std::vector<std::string>{"127.0.0.1"});
  EXPECT_EQ(QueryUdp("127.0.0.1", port, "MyRouter", DNS_T_A).a,
            std::vector<std::string>{"127.0.0.1"});
  r = QueryUdp("127.0.0.1", port, "1.0.0.127.in-addr.arpa", DNS_T_PTR);
  EXPECT_EQ(r.names, std::vector<std::string>{"myrouter"});
}

TEST_F(DnsBasics, ForwardingOverUdpAndTcp) {
  Engine e;
  ASSERT_EQ(e.Start(Listen() + "server 127.0.0.1:" + std::to_string(gUp->main.port()) +
                    "\nspeed-check-mode none\nrr-ttl-min 0\n"),
            "");
  for (bool tcp : {false, true}) {
    auto q = [&](const std::string& n, uint16_t t) {
      return tcp ? QueryTcp("127.0.0.1", port, n, t) : QueryUdp("127.0.0.1", port, n, t);
    };
    Reply r = q("a.test", DNS_T_A);
    ASSERT_TRUE(r.ok) << "tcp=" << tcp;
    EXPECT_EQ(r.id, 0x1234);
    EXPECT_EQ(r.a, std::vector<std::string>{"192.0.2.1"});
    EXPECT_FALSE(r.has_opt);  // the client sent no OPT record
    EXPECT_EQ(q("A.TEST", DNS_T_AAAA).a, std::vector<std::string>{"2001:db8::1"});
    EXPECT_EQ(q("A.TEST", DNS_T_AAAA).qname, "A.TEST");
    EXPECT_EQ(q("www.test", DNS_T_A).names, std::vector<std::string>{"a.test"});
    EXPECT_EQ(q("multi.test", DNS_T_A).a.size(), 2u);
    EXPECT_EQ(q("mail.test", DNS_T_MX).ancount, 1);
    EXPECT_EQ(q("nx.test", DNS_T_A).rcode, DNS_RC_NXDOMAIN);
  }
  // EDNS clients get an OPT record back.
  QueryOptions edns;
  edns.edns = true;
  EXPECT_TRUE(QueryUdp("127.0.0.1", port, "a.test", DNS_T_A, edns).has_opt);
}

TEST_F(DnsBasics, UnusualMessages) {
  Engine e;
  ASSERT_EQ(e.Start(Listen() + "server 127.0.0.1:" + std::to_string(gUp->main.port()) +
                    "\nspeed-check-mode none\naddress /local.test/192.0.2.7\n"),
            "");
  // A response, or two questions: no answer at all.
  std::vector<uint8_t> q = BuildQuery("a.test", DNS_T_A);
  q[2] |= 0x80;
  EXPECT_FALSE(SendUdp("127.0.0.1", port, q, 300ms).ok);
  q = BuildQuery("a.test", DNS_T_A);
  q[5] = 2;
  EXPECT_FALSE(SendUdp("127.0.0.1", port, q, 300ms).ok);
  // NOTIFY is not implemented; the opcode is echoed.
  QueryOptions notify;
  notify.opcode = 4;
  Reply r = QueryUdp("127.0.0.1", port, "a.test", DNS_T_SOA, notify);
  EXPECT_EQ(r.rcode, DNS_RC_NOTIMP);
  EXPECT_EQ(r.opcode, 4);
  // A CHAOS question is refused with the question as received.
  QueryOptions chaos;
  chaos.qclass = DNS_C_CH;
  r = QueryUdp("127.0.0.1", port, "version.bind", DNS_T_TXT, chaos);
  EXPECT_EQ(r.rcode, DNS_RC_REFUSED);
  EXPECT_EQ(r.qclass, DNS_C_CH);
  // RD is echoed, not forced.
  q = BuildQuery("local.test", DNS_T_A);
  q[2] &= ~0x01;
  r = SendUdp("127.0.0.1", port, q);
  ASSERT_TRUE(r.ok);
  EXPECT_FALSE(r.rd);

  // TCP framing: two messages in one segment, then a message in two halves.
  int fd = ConnectTcp("127.0.0.1", port);
  ASSERT_GE(fd, 0);
  std::vector<uint8_t> both;
  for (uint16_t id : {1, 2}) {
    QueryOptions o;
    o.id = id;
    std::vector<uint8_t> m = BuildQuery("local.test", DNS_T_A, o);
    both.push_back(static_cast<uint8_t>(m.size() >> 8));
    both.push_back(static_cast<uint8_t>(m.size()));
    both.insert(both.end(), m.begin(), m.end());
  }
  ASSERT_TRUE(SendAll(fd, both));
  auto m1 = ReadFramed(fd, 2s);
  auto m2 = ReadFramed(fd, 2s);
  ASSERT_TRUE(m1 && m2);
  EXPECT_EQ(ParseReply(*m1).id + ParseReply(*m2).id, 3);
  std::vector<uint8_t> half(both.begin(), both.begin() + 10);
  std::vector<uint8_t> rest(both.begin() + 10, both.begin() + both.size() / 2);
  ASSERT_TRUE(SendAll(fd, half));
  EXPECT_FALSE(ReadFramed(fd, 200ms).has_value());
  ASSERT_TRUE(SendAll(fd, rest));
  auto m3 = ReadFramed(fd, 2s);
  ASSERT_TRUE(m3);
  EXPECT_EQ(ParseReply(*m3).a, std::vector<std::string>{"192.0.2.7"});
  // A length prefix of 4096 closes the connection.
  ASSERT_TRUE(SendAll(fd, {0x10, 0x00, 0, 0}));
  char byte;
  EXPECT_EQ(recv(fd, &byte, 1, 0), 0);
  close(fd);
}

TEST_F(DnsBasics, TruncationToTheClientLimit) {
  for (Unbound* up : {&gUp->main, &gUp->small}) {
    Engine e;
    ASSERT_EQ(e.Start(Listen() + "server 127.0.0.1:" + std::to_string(up->port()) +
                      "\nspeed-check-mode none\n"),
              "");
    // No OPT: at most 512 bytes, so header and question with TC=1.
    Reply r = QueryUdp("127.0.0.1", port, "big.test", DNS_T_TXT);
    ASSERT_TRUE(r.ok);
    EXPECT_TRUE(r.tc);
    EXPECT_LE(r.raw.size(), 512u);
    EXPECT_EQ(r.ancount, 0);
    QueryOptions o;
    o.edns = true;
    o.payload = 1232;
    EXPECT_TRUE(QueryUdp("127.0.0.1", port, "big.test", DNS_T_TXT, o).tc);
    // Room for the whole answer (and the upstream's own truncation retried over TCP).
    o.payload = 4096;
    r = QueryUdp("127.0.0.1", port, "big.test", DNS_T_TXT, o);
    EXPECT_FALSE(r.tc);
    EXPECT_EQ(r.ancount, 8);
    r = QueryTcp("127.0.0.1", port, "big.test", DNS_T_TXT);
    EXPECT_EQ(r.ancount, 8);
    EXPECT_GT(e.engine().Stats().truncated, 0u);
  }
}

TEST_F(DnsBasics, RepliesLeaveFromTheQueriedAddress) {
  // A second address on loopback and a wildcard listener: the reply must come from the
  // address the client asked, not from the one routing would pick.
  RunResult add = RunProgram({"ip", "addr", "add", "192.0.2.53/32", "dev", "lo"});
  ASSERT_TRUE(add.status == 0 || add.output.find("exists") != std::string::npos) << add.output;
  Engine e;
  ASSERT_EQ(e.Start("bind :" + std::to_string(port) + "\nserver 127.0.0.1:" +
                    std::to_string(gUp->main.port()) + "\nspeed-check-mode none\n"),
            "");
  Reply r = QueryUdp("192.0.2.53", port, "a.test", DNS_T_A, {}, 2s, "127.0.0.1");
  ASSERT_TRUE(r.ok) << "no reply from 192.0.2.53";
  EXPECT_EQ(r.a, std::vector<std::string>{"192.0.2.1"});
  EXPECT_EQ(QueryUdp("192.0.2.53", port, "zundns", DNS_T_A, {}, 2s, "127.0.0.1").a,
            std::vector<std::string>{"192.0.2.53"});
  EXPECT_EQ(QueryUdp("127.0.0.1", port, "zundns", DNS_T_A).a,
            std::vector<std::string>{"127.0.0.1"});
}

TEST_F(DnsBasics, UpstreamPointingAtOurselvesIsSkipped) {
  // resolv.conf names the engine itself (a router's usual "nameserver 127.0.0.1").
  Engine e;
  e.root().Write("/etc/resolv.conf", "nameserver 127.0.0.1\n");
  ASSERT_EQ(e.Start("bind :53\nspeed-check-mode none\n"), "");
  auto start = std::chrono::steady_clock::now();
  Reply r = QueryUdp("127.0.0.1", 53, "a.test", DNS_T_A);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.rcode, DNS_RC_SERVFAIL);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
  EXPECT_EQ(e.engine().Stats().queries, 1u);  // no storm of our own queries
}

TEST_F(DnsBasics, AuditLinesAreEscapedAndRotated) {
  // A line is 100-140 bytes (its time fields grow on a busy machine), so 800 bytes hold five to
  // eight of the 13 lines: however the writer batches them, at most three files are rotated, and
  // the count limit of 3 keeps every line.
  Engine e;
  ASSERT_EQ(e.Start(Listen() + "server 127.0.0.1:" + std::to_string(gUp->main.port()) +
                    "\nspeed-check-mode none\naudit-enable yes\naudit-SOA yes\n"
                    "audit-file \"/tmp/audit dir/dns audit.log\"\naudit-size 800\naudit-num 3\n"),
            "");
  // A label holding a newline: the line shows it escaped and stays one line.
  std::string odd = std::string("we") + '\n' + "ird";
  std::vector<uint8_t> q = BuildQuery("x.test", DNS_T_A);
  std::vector<uint8_t> crafted(q.begin(), q.begin() + 12);
  crafted.push_back(static_cast<uint8_t>(odd.size()));
  crafted.insert(crafted.end(), odd.begin(), odd.end());
  crafted.insert(crafted.end(), q.begin() + 12, q.end());
  ASSERT_TRUE(SendUdp("127.0.0.1", port, crafted).ok);
  for (int i = 0; i < 12; i++) QueryUdp("127.0.0.1", port, "a.test", DNS_T_A);
  std::string dir = e.root()("/tmp/audit dir");
  std::string all;
  int rotated = 0;
  for (int attempt = 0; attempt < 250; attempt++) {
    all.clear();
    rotated = 0;
    for (const auto& f : std::filesystem::directory_iterator(dir)) {
      std::string name = f.path().filename();
      if (name.size() > 3 && name.substr(name.size() - 3) == ".gz") {
        rotated++;
        all += RunProgram({"gzip", "-dc", f.path()}).output;
      } else {
        std::ifstream in(f.path());
        all += std::string(std::istreambuf_iterator<char>(in), {});
      }
    }
    // Audit lines are written behind the replies: wait until the last ones are there too.
    if (all.find("query we\\010ird.x.test") != std::string::npos && rotated > 0 &&
        all.find(", type 1, result 192.0.2.1") != std::string::npos) {
      break;
    }
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_NE(all.find("127.0.0.1 query we\\010ird.x.test, time "), std::string::npos) << all;
  EXPECT_NE(all.find("query a.test, time "), std::string::npos);
  EXPECT_NE(all.find(", type 1, result 192.0.2.1"), std::string::npos);
  EXPECT_GE(rotated, 1);
  EXPECT_LE(rotated, 3);
  std::istringstream lines(all);
  std::string line;
  while (std::getline(lines, line)) EXPECT_EQ(line.rfind("[", 0), 0u) << line;
}

}  // namespace
}  // namespace dnspeer
