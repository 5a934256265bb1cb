// DNSSEC-aware clients behind the engine: nsd serves a zone signed with ldns-signzone; a query
// with DO gets the signatures, the DO flag echoed and an answer that validates (delv with the
// zone's key as trust anchor); a query without DO keeps the engine's usual shortened answer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "dns_peers/peer_support.h"
#include "support/requires.h"

namespace dnspeer {
namespace {

constexpr char kZone[] = "signed.example";

std::string ZoneText() {
  return std::string("$ORIGIN ") + kZone + ".\n$TTL 300\n" +
         "@ IN SOA ns admin 1 3600 600 86400 300\n@ IN NS ns\nns IN A 127.0.0.1\n"
         "www IN A 192.0.2.80\nwww IN A 192.0.2.81\ntxt IN TXT \"signed text\"\n" +
         "big IN TXT \"" + std::string(200, 'b') + "\" \"" + std::string(200, 'c') + "\"\n";
}

// Signs the zone in `dir`: returns the signed zone text and the key's DNSKEY line.
bool SignZone(const std::string& dir, std::string* signed_text, std::string* dnskey) {
  std::string zone = dir + "/unsigned.zone";
  std::ofstream(zone) << ZoneText();
  RunResult key =
      RunProgram({"sh", "-c", "cd '" + dir + "' && ldns-keygen -a ECDSAP256SHA256 -k " + kZone});
  std::string base = key.output.substr(0, key.output.find_first_of("\r\n"));
  if (key.status != 0 || base.empty()) return false;
  if (RunProgram({"ldns-signzone", "-f", dir + "/signed.zone", zone, dir + "/" + base}).status !=
      0) {
    return false;
  }
  std::ifstream s(dir + "/signed.zone");
  std::stringstream text;
  text << s.rdbuf();
  *signed_text = text.str();
  std::ifstream k(dir + "/" + base + ".key");
  std::getline(k, *dnskey);
  return !signed_text->empty() && !dnskey->empty();
}

// The DNSKEY line as a delv trust anchor.
std::string AnchorFile(const std::string& dir, const std::string& dnskey) {
  std::istringstream in(dnskey.substr(0, dnskey.find(';')));
  std::string owner, cls, type, flags, proto, alg, word, key;
  in >> owner >> cls >> type >> flags >> proto >> alg;
  while (in >> word) key += word;
  std::string path = dir + "/anchors.conf";
  std::ofstream(path) << "trust-anchors {\n  \"" << owner << "\" static-key " << flags << " "
                      << proto << " " << alg << " \"" << key << "\";\n};\n";
  return path;
}

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

// Lines of dig's output for `owner` that hold a record of `type` ("RRSIG\tA" etc.).
int Records(const std::string& text, const std::string& owner, const std::string& type) {
  std::istringstream in(text);
  std::string line;
  int n = 0;
  while (std::getline(in, line)) {
    n += line.rfind(owner + ".\t", 0) == 0 && line.find("\tIN\t" + type + " ") != std::string::npos;
  }
  return n;
}

TEST(DnsDnssec, ValidatingClientsGetTheSignedAnswerWhole) {
  if (!InPrivateNetwork()) ZC_MISSING() << "no private network namespace";
  for (const char* p : {"nsd", "dig", "delv", "ldns-signzone", "ldns-keygen"}) {
    if (!HaveProgram(p)) ZC_MISSING() << p << " is not available";
  }
  char tmpl[] = "/tmp/zc-dnssec-XXXXXX";
  std::string dir = mkdtemp(tmpl);
  std::string signed_text, dnskey;
  ASSERT_TRUE(SignZone(dir, &signed_text, &dnskey)) << "signing failed in " << dir;
  Nsd nsd;
  ASSERT_TRUE(nsd.Start(dir, kZone, signed_text)) << "nsd did not start, see " << dir;

  uint16_t port = FreePort();
  std::string p = std::to_string(port);
  Engine e;
  ASSERT_EQ(e.Start("bind 127.0.0.1:" + p + "\nbind-tcp 127.0.0.1:" + p +
                    "\nserver 127.0.0.1:" + std::to_string(nsd.port()) + "\n"),
            "");
  auto dig = [&](const std::string& name, const std::string& type, std::vector<std::string> flags) {
    std::vector<std::string> argv = {"dig", "@127.0.0.1", "-p", p, "+time=3", "+tries=1"};
    argv.insert(argv.end(), flags.begin(), flags.end());
    argv.push_back(name);
    argv.push_back(type);
    return RunProgram(argv).output;
  };
  std::string www = std::string("www.") + kZone;

  // Without DO first: the usual answer, no signatures, cached under its own key.
  std::string plain = dig(www, "A", {});
  EXPECT_NE(plain.find("status: NOERROR"), std::string::npos) << plain;
  EXPECT_EQ(Count(plain, "RRSIG"), 0) << plain;

  // With DO, from upstream and then from the cache: both addresses and their signature, DO
  // echoed.
  for (int round = 0; round < 2; round++) {
    std::string out = dig(www, "A", {"+dnssec"});
    EXPECT_NE(out.find("status: NOERROR"), std::string::npos) << out;
    EXPECT_NE(out.find("flags: do;"), std::string::npos) << out;
    EXPECT_EQ(Records(out, www, "RRSIG\tA"), 1) << out;
    // Never kept longer than the signed TTL (300 s) says.
    EXPECT_EQ(Count(out, "\t600\tIN\t"), 0) << out;
    EXPECT_NE(out.find("192.0.2.80"), std::string::npos) << out;
    EXPECT_NE(out.find("192.0.2.81"), std::string::npos) << out;
  }
  // Over UDP a signed answer larger than the client's 512 bytes comes back truncated, DO echoed.
  std::string cut = dig(std::string("big.") + kZone, "TXT", {"+dnssec", "+bufsize=512", "+ignore"});
  EXPECT_NE(cut.find(" tc"), std::string::npos) << cut;
  EXPECT_NE(cut.find("flags: do;"), std::string::npos) << cut;
  std::string txt = dig(std::string("txt.") + kZone, "TXT", {"+dnssec", "+tcp"});
  EXPECT_EQ(Records(txt, std::string("txt.") + kZone, "RRSIG\tTXT"), 1) << txt;
  // A name that does not exist: the denial's NSEC records and signatures come along.
  std::string missing = dig(std::string("nothere.") + kZone, "A", {"+dnssec"});
  EXPECT_NE(missing.find("status: NXDOMAIN"), std::string::npos) << missing;
  EXPECT_GE(Count(missing, "\tNSEC\t"), 1) << missing;
  EXPECT_GE(Count(missing, "\tRRSIG\tNSEC "), 1) << missing;
  // CD alone is forwarded too: the signatures are there for the client to check.
  std::string cd = dig(www, "A", {"+cd", "+dnssec"});
  EXPECT_NE(cd.find(" cd;"), std::string::npos) << cd;  // echoed from the query
  EXPECT_EQ(Records(cd, www, "RRSIG\tA"), 1) << cd;
  // And the plain query still gets no signatures after the DO answers were cached.
  EXPECT_EQ(Count(dig(www, "A", {}), "RRSIG"), 0);

  // A validator with the zone's key as its trust anchor accepts what the engine hands out.
  std::string anchors = AnchorFile(dir, dnskey);
  RunResult delv = RunProgram(
      {"delv", "@127.0.0.1", "-p", p, "-a", anchors, std::string("+root=") + kZone, www, "A"});
  EXPECT_NE(delv.output.find("; fully validated"), std::string::npos) << delv.output;

  e.Stop();
  nsd.Stop();
  RunProgram({"rm", "-rf", dir});
}

}  // namespace
}  // namespace dnspeer
