// The engine and dnsmasq forward to the same unbound: over a corpus of name/type pairs both must
// give the same rcode and the same answer records (TTL aside).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

#include "dns_peers/peer_support.h"
#include "support/requires.h"

namespace dnspeer {
namespace {

struct Answer {
  std::string status;
  std::vector<std::string> records;
  bool operator==(const Answer&) const = default;
};

// dig's batch output: one header per query, then its answer lines.
std::vector<Answer> ParseDig(const std::string& out) {
  std::vector<Answer> answers;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    size_t s = line.find("status: ");
    if (line.rfind(";; ->>HEADER<<-", 0) == 0 && s != std::string::npos) {
      answers.push_back({line.substr(s + 8, line.find(',', s) - s - 8), {}});
    } else if (!line.empty() && line[0] != ';' && !answers.empty()) {
      // Fields are separated by tabs and blanks; normalise them.
      std::istringstream fields(line);
      std::string word, norm;
      while (fields >> word) norm += (norm.empty() ? "" : " ") + word;
      std::transform(norm.begin(), norm.end(), norm.begin(), ::tolower);
      answers.back().records.push_back(norm);
    }
  }
  for (Answer& a : answers) std::sort(a.records.begin(), a.records.end());
  return answers;
}

TEST(DnsDifferential, SameAnswersAsDnsmasq) {
  if (!InPrivateNetwork()) ZC_MISSING() << "no private network namespace";
  for (const char* p : {"unbound", "dnsmasq", "dig"}) {
    if (!HaveProgram(p)) ZC_MISSING() << p << " is not available";
  }
  char tmpl[] = "/tmp/zc-diff-XXXXXX";
  std::string dir = mkdtemp(tmpl);

  // Zone data: single and multiple addresses, IPv6, aliases, text, mail, services, names
  // with only some types.
  UnboundOptions zone;
  std::vector<std::string> names;
  for (int i = 0; i < 30; i++) {
    std::string n = "host" + std::to_string(i) + ".diff.test.";
    names.push_back(n);
    zone.extra_data.push_back(n + " 300 IN A 198.51.100." + std::to_string(i + 1));
    if (i % 3 == 0) zone.extra_data.push_back(n + " 300 IN A 203.0.113." + std::to_string(i + 1));
    if (i % 2 == 0)
      zone.extra_data.push_back(n + " 300 IN AAAA 2001:db8::" + std::to_string(i + 1));
    if (i % 5 == 0) zone.extra_data.push_back(n + " 300 IN TXT v=spf1-" + std::to_string(i));
    if (i % 4 == 0)
      zone.extra_data.push_back(n + " 300 IN MX 10 mx" + std::to_string(i) + ".diff.test.");
  }
  for (int i = 0; i < 15; i++) {
    std::string n = "alias" + std::to_string(i) + ".diff.test.";
    names.push_back(n);
    zone.extra_data.push_back(n + " 300 IN CNAME host" + std::to_string(i) + ".diff.test.");
  }
  for (int i = 0; i < 10; i++) {
    std::string n = "_svc" + std::to_string(i) + "._tcp.diff.test.";
    names.push_back(n);
    zone.extra_data.push_back(n + " 300 IN SRV 0 5 " + std::to_string(5000 + i) + " host" +
                              std::to_string(i) + ".diff.test.");
  }
  for (int i = 0; i < 15; i++) names.push_back("missing" + std::to_string(i) + ".diff.test.");
  names.push_back("a.test.");
  names.push_back("multi.test.");
  names.push_back("www.test.");
  names.push_back("mail.test.");
  Unbound up;
  ASSERT_TRUE(up.Start(dir, zone));

  uint16_t dnsmasq_port = FreePort();
  Process dnsmasq;
  ASSERT_TRUE(dnsmasq.Start({"dnsmasq", "--no-daemon", "--conf-file=/dev/null", "--no-resolv",
                             "--no-hosts", "--bind-interfaces", "--listen-address=127.0.0.1",
                             "--port=" + std::to_string(dnsmasq_port), "--user=root", "--pid-file=",
                             "--cache-size=0", "--server=127.0.0.1#" + std::to_string(up.port())},
                            dir + "/dnsmasq.log"));
  ASSERT_TRUE(WaitForDns("127.0.0.1", dnsmasq_port, "a.test"));

  uint16_t port = FreePort();
  Engine e;
  ASSERT_EQ(e.Start("bind 127.0.0.1:" + std::to_string(port) +
                    "\nserver 127.0.0.1:" + std::to_string(up.port()) +
                    "\nspeed-check-mode none\nrr-ttl-min 0\ndualstack-ip-selection no\n"),
            "");

  std::ofstream batch(dir + "/batch");
  int pairs = 0;
  for (const std::string& n : names) {
    for (const char* type : {"A", "AAAA", "TXT", "MX", "SRV"}) {
      bool svc = n[0] == '_';
      if (svc != (std::string(type) == "SRV")) continue;
      batch << n << " " << type << "\n";
      pairs++;
    }
  }
  batch.close();
  ASSERT_GE(pairs, 200);
  auto dig = [&](uint16_t p) {
    return RunProgram({"dig", "@127.0.0.1", "-p", std::to_string(p), "+tries=1", "+time=2",
                       "+nottlid", "+noall", "+comments", "+answer", "-f", dir + "/batch"},
                      60s);
  };
  RunResult ours = dig(port);
  RunResult theirs = dig(dnsmasq_port);
  std::vector<Answer> a = ParseDig(ours.output);
  std::vector<Answer> b = ParseDig(theirs.output);
  ASSERT_EQ(static_cast<int>(a.size()), pairs) << ours.output.substr(0, 2000);
  ASSERT_EQ(static_cast<int>(b.size()), pairs) << theirs.output.substr(0, 2000);
  int differences = 0;
  int with_records = 0;
  for (int i = 0; i < pairs; i++) {
    with_records += !a[i].records.empty();
    if (a[i] == b[i]) continue;
    if (++differences <= 5) {
      ADD_FAILURE() << "pair " << i << ": engine " << a[i].status << " [" << a[i].records.size()
                    << "] vs dnsmasq " << b[i].status << " [" << b[i].records.size() << "]"
                    << (a[i].records.empty() ? "" : "\n  engine: " + a[i].records[0])
                    << (b[i].records.empty() ? "" : "\n  dnsmasq: " + b[i].records[0]);
    }
  }
  EXPECT_EQ(differences, 0);
  EXPECT_GT(with_records, pairs / 3);  // the corpus is not all empty answers
  RecordProperty("pairs", pairs);
  dnsmasq.Stop();
  up.Stop();
  RunProgram({"rm", "-rf", dir});
}

}  // namespace
}  // namespace dnspeer
