// Long records and large record sets: nsd serves them, the engine and unbound both forward to
// it, and over TCP the engine's answer carries the same records as unbound's. Over UDP the large
// set comes back truncated, as any answer over the client's size does.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "dns_peers/peer_support.h"
#include "support/requires.h"

namespace dnspeer {
namespace {

constexpr char kZone[] = "large.example";

// One TXT record of `strings` character strings, each of `each` bytes, tagged with `tag` so the
// records of a set differ. RDATA length: strings * (each + 1).
std::string TxtRecord(const std::string& owner, char tag, int strings, int each) {
  std::string line = owner + " 300 IN TXT";
  for (int s = 0; s < strings; s++) {
    std::string text(each, static_cast<char>('a' + s % 26));
    text[0] = tag;
    line += " \"" + text + "\"";
  }
  return line + "\n";
}

std::string ZoneText() {
  std::string z = std::string("$ORIGIN ") + kZone + ".\n$TTL 300\n" +
                  "@ IN SOA ns admin 1 3600 600 86400 300\n@ IN NS ns\nns IN A 127.0.0.1\n";
  z += TxtRecord("t1024", 'x', 4, 255);  // RDATA of exactly 1024 bytes
  for (int i = 0; i < 9; i++) z += TxtRecord("set2k", static_cast<char>('A' + i), 1, 249);
  for (int i = 0; i < 27; i++) z += TxtRecord("set7k", static_cast<char>('A' + i), 1, 251);
  return z;
}

// Total RDATA bytes of the TXT records of an answer (hex text / 2).
size_t RdataBytes(const std::vector<std::string>& records) {
  size_t n = 0;
  for (const std::string& r : records) n += (r.size() - r.rfind(' ') - 1) / 2;
  return n;
}

TEST(DnsLargeAnswers, LongRecordsAndLargeSetsOverTcpMatchUnbound) {
  if (!InPrivateNetwork()) ZC_MISSING() << "no private network namespace";
  for (const char* p : {"nsd", "unbound"}) {
    if (!HaveProgram(p)) ZC_MISSING() << p << " is not available";
  }
  char tmpl[] = "/tmp/zc-large-XXXXXX";
  std::string dir = mkdtemp(tmpl);
  Nsd nsd;
  ASSERT_TRUE(nsd.Start(dir, kZone, ZoneText())) << "nsd did not start, see " << dir;

  UnboundOptions uo;
  uo.tag = "stub";
  uo.after_server = {"stub-zone:", std::string("  name: \"") + kZone + "\"",
                     "  stub-addr: 127.0.0.1@" + std::to_string(nsd.port())};
  Unbound unbound;
  ASSERT_TRUE(unbound.Start(dir, uo));

  uint16_t port = FreePort();
  std::string p = std::to_string(port);
  Engine e;
  ASSERT_EQ(e.Start("bind 127.0.0.1:" + p + "\nbind-tcp 127.0.0.1:" + p + "\nserver 127.0.0.1:" +
                    std::to_string(nsd.port()) + "\nspeed-check-mode none\n"),
            "");

  struct Case {
    const char* label;
    size_t records;
    size_t rdata;
  };
  for (const Case& c :
       {Case{"t1024", 1, 1024}, Case{"set2k", 9, 9 * 250}, Case{"set7k", 27, 27 * 252}}) {
    std::string name = std::string(c.label) + "." + kZone;
    Reply from_unbound = QueryTcp("127.0.0.1", unbound.port(), name, DNS_T_TXT, {}, 5s);
    ASSERT_TRUE(from_unbound.ok) << name;
    std::vector<std::string> expected = AnswerRecords(from_unbound.raw);
    ASSERT_EQ(expected.size(), c.records) << name;
    ASSERT_EQ(RdataBytes(expected), c.rdata) << name;
    // Twice: answers over the cached size go upstream again; both copies must be whole.
    for (int round = 0; round < 2; round++) {
      Reply r = QueryTcp("127.0.0.1", port, name, DNS_T_TXT, {}, 5s);
      ASSERT_TRUE(r.ok) << name << " round " << round;
      EXPECT_EQ(r.rcode, DNS_RC_NOERROR) << name << " round " << round;
      EXPECT_FALSE(r.tc) << name;
      EXPECT_EQ(AnswerRecords(r.raw), expected) << name << " round " << round;
    }
  }
  // Over UDP the 6.8 KB set does not fit the client's 1232 bytes: header and question, TC set.
  QueryOptions edns;
  edns.edns = true;
  Reply udp = QueryUdp("127.0.0.1", port, std::string("set7k.") + kZone, DNS_T_TXT, edns);
  ASSERT_TRUE(udp.ok);
  EXPECT_TRUE(udp.tc);
  EXPECT_EQ(udp.ancount, 0);
  // The 2.2 KB set fits a client that offers 4096 bytes.
  edns.payload = 4096;
  Reply fits = QueryUdp("127.0.0.1", port, std::string("set2k.") + kZone, DNS_T_TXT, edns);
  ASSERT_TRUE(fits.ok);
  EXPECT_FALSE(fits.tc);
  EXPECT_EQ(AnswerRecords(fits.raw).size(), 9u);

  e.Stop();
  unbound.Stop();
  nsd.Stop();
  RunProgram({"rm", "-rf", dir});
}

}  // namespace
}  // namespace dnspeer
