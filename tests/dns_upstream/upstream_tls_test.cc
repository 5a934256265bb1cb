// DNS over TLS and DNS over HTTPS against unbound, dnsdist and the in-tree DoH responder:
// certificate names, trust, pins, HTTP/1.1 framing faults, HTTP/2 (unbound, dnsdist, the in-tree
// HTTP/2 responder with stream resets and GOAWAY) and servers that speak neither.
#include <algorithm>
#include <map>

#include "dns/upstream/upstream_config.h"
#include "dns_upstream/upstream_peer_fixture.h"
#include "support/temp_root.h"

namespace zctest {
namespace {

using zc::dns::UpstreamClientConfig;
using zc::dns::UpstreamServerConfig;
using zc::dns::UpstreamType;

class UpstreamTlsTest : public UpstreamPeerTest {
 protected:
  void SetUp() override {
    UpstreamPeerTest::SetUp();
    ASSERT_TRUE(ca_.Create(dir_, "ca"));
    ASSERT_TRUE(ca_.Issue("upstream", {"upstream.test"}, {"127.0.0.1"}));
    ASSERT_TRUE(ca_.Issue("other", {"other.test"}, {}));
    ASSERT_TRUE(ca_.Issue("wild", {"*.wild.test"}, {}));
  }

  UpstreamServerConfig Tls(int port, const std::string& group, const std::string& host_name) {
    UpstreamServerConfig s = Server("127.0.0.1", port, UpstreamType::kTls, {group}, true);
    s.host_name = host_name;
    return s;
  }
  UpstreamServerConfig Https(int port, const std::string& group) {
    UpstreamServerConfig s = Server("127.0.0.1", port, UpstreamType::kHttps, {group}, true);
    s.host_name = "upstream.test";
    s.http_path = "/dns-query";
    return s;
  }
  int StartDoh(const std::string& mode, const std::string& stem = "upstream",
               std::vector<std::string> extra = {}) {
    int port = FreePort();
    std::vector<std::string> argv = {PeerProgram("doh_responder"),
                                     "--port",
                                     std::to_string(port),
                                     "--cert",
                                     ca_.Path(stem, ".pem"),
                                     "--key",
                                     ca_.Path(stem, ".key"),
                                     "--mode",
                                     mode,
                                     "--log",
                                     DohLog(port),
                                     "--a",
                                     "192.0.2.80"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    StartPeer(argv, "doh-" + mode + ".out");
    EXPECT_TRUE(WaitForTcp(port, std::chrono::seconds(3)));
    return port;
  }
  std::string DohLog(int port) const { return dir_ + "/doh-" + std::to_string(port) + ".log"; }
  static size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t pos = 0; (pos = text.find(what, pos)) != std::string::npos; ++pos) ++n;
    return n;
  }
  static bool Answered(const Outcome& o, const std::string& address) {
    return o.answers.size() == 1 &&
           Addresses(o.answers[0].packet) == std::vector<std::string>{address};
  }

  TestCa ca_;
};

// The certificate must be trusted and carry the expected name (SAN, not just CN); a pin must
// match exactly; no-check-certificate skips the name and trust checks.
TEST_F(UpstreamTlsTest, DotChecksNameTrustAndPin) {
  ChildProcess good, other;
  UnboundOptions g;
  g.port = FreePort();
  g.tls_port = FreePort();
  g.cert = ca_.Path("upstream", ".pem");
  g.key = ca_.Path("upstream", ".key");
  ASSERT_TRUE(StartUnbound(dir_, g, &good));
  UnboundOptions o = g;
  o.port = FreePort();
  o.tls_port = FreePort();
  o.cert = ca_.Path("other", ".pem");
  o.key = ca_.Path("other", ".key");
  o.a_address = "192.0.2.99";
  ASSERT_TRUE(StartUnbound(dir_, o, &other));
  std::string right_pin = SpkiPin(ca_.Path("upstream", ".pem"));
  std::string wrong_pin = SpkiPin(ca_.Path("other", ".pem"));
  ASSERT_EQ(right_pin.size(), 44u);

  UpstreamClientConfig config;
  config.ca_file = ca_.cert();
  config.servers.push_back(Tls(g.tls_port, "ok", "upstream.test"));
  config.servers.push_back(Tls(g.tls_port, "by-ip", ""));  // IP SAN 127.0.0.1
  UpstreamServerConfig verify = Tls(g.tls_port, "verify-wrong", "upstream.test");
  verify.tls_host_verify = "wrong.test";
  config.servers.push_back(verify);
  config.servers.push_back(Tls(o.tls_port, "other-cert", "upstream.test"));
  UpstreamServerConfig unchecked = Tls(o.tls_port, "unchecked", "upstream.test");
  unchecked.no_check_certificate = true;
  config.servers.push_back(unchecked);
  UpstreamServerConfig pinned = Tls(g.tls_port, "pin-ok", "upstream.test");
  std::string error;
  ASSERT_TRUE(zc::dns::DecodeSpkiPin(right_pin, &pinned.spki_pin, &error));
  config.servers.push_back(pinned);
  UpstreamServerConfig mispinned = Tls(g.tls_port, "pin-bad", "upstream.test");
  ASSERT_TRUE(zc::dns::DecodeSpkiPin(wrong_pin, &mispinned.spki_pin, &error));
  config.servers.push_back(mispinned);
  StartClient(config);

  Outcome& ok = Ask("ok", "a.test", 1);
  Outcome& by_ip = Ask("by-ip", "a.test", 1);
  Outcome& verify_wrong = Ask("verify-wrong", "a.test", 1);
  Outcome& other_cert = Ask("other-cert", "a.test", 1);
  Outcome& unchecked_ok = Ask("unchecked", "a.test", 1);
  Outcome& pin_ok = Ask("pin-ok", "a.test", 1);
  Outcome& pin_bad = Ask("pin-bad", "a.test", 1);
  ASSERT_TRUE(WaitAllDone());
  EXPECT_TRUE(Answered(ok, "192.0.2.1"));
  EXPECT_TRUE(Answered(by_ip, "192.0.2.1"));
  EXPECT_TRUE(verify_wrong.answers.empty());
  EXPECT_TRUE(other_cert.answers.empty()) << "a trusted certificate for another name";
  EXPECT_TRUE(Answered(unchecked_ok, "192.0.2.99"));
  EXPECT_TRUE(Answered(pin_ok, "192.0.2.1"));
  EXPECT_TRUE(pin_bad.answers.empty());

  // A client that does not trust the test CA refuses the same server.
  client_->Stop();
  UpstreamClientConfig untrusting;
  TestCa stranger;
  ASSERT_TRUE(stranger.Create(dir_, "stranger"));
  untrusting.ca_file = stranger.cert();
  untrusting.servers.push_back(Tls(g.tls_port, "ok", "upstream.test"));
  StartClient(untrusting);
  Outcome& untrusted = Ask("ok", "a.test", 1);
  ASSERT_TRUE(WaitDone(untrusted));
  EXPECT_TRUE(untrusted.answers.empty());
}

// dnsdist (HTTP/1.1 DoH and DoT) answers; the DoH responder's odd but valid framings are read,
// its broken ones close the connection without an answer, and the query ends normally.
TEST_F(UpstreamTlsTest, DohFramingsAndFaults) {
  ChildProcess unbound, dnsdist;
  UnboundOptions u;
  u.port = FreePort();
  ASSERT_TRUE(StartUnbound(dir_, u, &unbound));
  int doh = FreePort(), dot = FreePort();
  ASSERT_TRUE(StartDnsdist(dir_, u.port, doh, dot, ca_.Path("upstream", ".pem"),
                           ca_.Path("upstream", ".key"), &dnsdist));

  UpstreamClientConfig config;
  config.ca_file = ca_.cert();
  config.servers.push_back(Https(doh, "dnsdist"));
  config.servers.push_back(Tls(dot, "dnsdist-dot", "upstream.test"));
  const std::vector<std::string> good = {"normal", "chunked", "split", "pair", "noclen"};
  const std::vector<std::string> broken = {"hugecl", "404", "bigheaders"};
  std::map<std::string, int> ports;
  for (const std::string& mode : good) {
    ports[mode] = StartDoh(mode);
    config.servers.push_back(Https(ports[mode], mode));
  }
  for (const std::string& mode : broken) config.servers.push_back(Https(StartDoh(mode), mode));
  UpstreamServerConfig wild = Https(StartDoh("normal", "wild", {}), "wildcard");
  wild.host_name = "dns.wild.test";
  config.servers.push_back(wild);
  UpstreamServerConfig too_deep = Https(StartDoh("normal", "wild", {}), "wildcard-deep");
  too_deep.host_name = "a.dns.wild.test";
  config.servers.push_back(too_deep);
  auto& client = StartClient(config);

  Outcome& via_dnsdist = Ask("dnsdist", "a.test", 1);
  Outcome& via_dot = Ask("dnsdist-dot", "a.test", 1);
  std::vector<Outcome*> good_outcomes, broken_outcomes;
  for (const std::string& mode : good) good_outcomes.push_back(&Ask(mode, "g.test", 1));
  Outcome& pair_second = Ask("pair", "h.test", 1);  // goes out with the first "pair" query
  for (const std::string& mode : broken) broken_outcomes.push_back(&Ask(mode, "b.test", 1));
  Outcome& wildcard = Ask("wildcard", "w.test", 1);
  Outcome& wildcard_deep = Ask("wildcard-deep", "w.test", 1);
  ASSERT_TRUE(WaitAllDone());

  EXPECT_TRUE(Answered(via_dnsdist, "192.0.2.1"));
  ASSERT_EQ(via_dot.answers.size(), 1u);
  EXPECT_EQ(Addresses(via_dot.answers[0].packet), std::vector<std::string>{"192.0.2.1"})
      << "rcode " << Rcode(via_dot.answers[0].packet) << " answers "
      << AnswerCount(via_dot.answers[0].packet);
  for (size_t i = 0; i < good.size(); ++i) {
    EXPECT_TRUE(Answered(*good_outcomes[i], "192.0.2.80")) << good[i];
  }
  EXPECT_TRUE(Answered(pair_second, "192.0.2.80"));
  for (size_t i = 0; i < broken.size(); ++i) {
    EXPECT_TRUE(broken_outcomes[i]->answers.empty()) << broken[i];
    EXPECT_TRUE(broken_outcomes[i]->done) << broken[i];
  }
  EXPECT_TRUE(Answered(wildcard, "192.0.2.80")) << "*.wild.test covers dns.wild.test";
  EXPECT_TRUE(wildcard_deep.answers.empty()) << "one label only";
  EXPECT_EQ(client.Counters().answers, 2u + good.size() + 2u);
  // The request carried the configured path and Host.
  std::vector<std::string> requests = LogLines(DohLog(ports["normal"]));
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests[0].rfind("POST /dns-query host=upstream.test", 0), 0u) << requests[0];
}

// unbound's https-port speaks only HTTP/2: it takes the TLS session without ALPN and hangs up
// on an HTTP/1.1 request. The client moves that server to HTTP/2 with one log line and it
// answers; a server given -http2 uses HTTP/2 from the start. Fifty queries at once share the one
// HTTP/2 connection.
TEST_F(UpstreamTlsTest, Http2OnlyUnboundAnswersOverHttp2) {
  ChildProcess unbound;
  UnboundOptions u;
  u.port = FreePort();
  u.https_port = FreePort();
  u.cert = ca_.Path("upstream", ".pem");
  u.key = ca_.Path("upstream", ".key");
  ASSERT_TRUE(StartUnbound(dir_, u, &unbound));
  ASSERT_TRUE(WaitForTcp(u.https_port, std::chrono::seconds(2)));

  UpstreamClientConfig config;
  config.ca_file = ca_.cert();
  config.servers.push_back(Https(u.https_port, "learn"));
  UpstreamServerConfig forced = Https(u.https_port, "forced");
  forced.http2 = true;
  config.servers.push_back(forced);
  std::string log;
  std::vector<Outcome*> burst;
  Outcome* learned = nullptr;
  {
    StdoutCapture capture;
    StartClient(config);
    learned = &Ask("learn", "a.test", 1);
    WaitDone(*learned);
    for (int i = 0; i < 50; ++i) {
      burst.push_back(&Ask("forced", "n" + std::to_string(i) + ".miss.test", 1,
                           static_cast<uint16_t>(0x100 + i)));
    }
    WaitAllDone();
    client_->Stop();
    log = capture.Text();
  }
  EXPECT_TRUE(Answered(*learned, "192.0.2.1")) << log;
  for (Outcome* o : burst) EXPECT_TRUE(Answered(*o, "192.0.2.9")) << log;
  EXPECT_EQ(Count(log, "does not speak HTTP/1.1"), 1u) << log;
  EXPECT_NE(log.find("using HTTP/2"), std::string::npos) << log;
  // The learning server: one HTTP/1.1 attempt and one HTTP/2 connection; the forced one: one.
  EXPECT_EQ(Count(log, "tls server 127.0.0.1 connected"), 3u) << log;
  EXPECT_EQ(Count(log, "prohibit"), 0u) << log;
}

// Faults of an HTTP/2 server (the in-tree responder): a stream reset is sent again and
// answered; a GOAWAY with a request still held keeps the old connection for that answer while
// new queries go out on a new connection.
TEST_F(UpstreamTlsTest, Http2ResetsAndGoawayAreHandled) {
  auto start = [this](const std::string& mode, const std::string& a) {
    int port = FreePort();
    StartPeer({PeerProgram("doh2_responder"), "--port", std::to_string(port), "--cert",
               ca_.Path("upstream", ".pem"), "--key", ca_.Path("upstream", ".key"), "--mode", mode,
               "--a", a, "--log", DohLog(port)},
              "doh2-" + mode + ".out");
    EXPECT_TRUE(WaitForTcp(port, std::chrono::seconds(3)));
    return port;
  };
  int reset = start("reset", "192.0.2.81");
  int goaway = start("goaway", "192.0.2.82");
  UpstreamClientConfig config;
  config.ca_file = ca_.cert();
  UpstreamServerConfig r = Https(reset, "reset");
  r.http2 = true;
  UpstreamServerConfig g = Https(goaway, "goaway");
  g.http2 = true;
  config.servers = {r, g};
  std::string log;
  std::vector<Outcome*> resets, goaways;
  {
    StdoutCapture capture;
    StartClient(config);
    for (int i = 0; i < 6; ++i) {
      resets.push_back(
          &Ask("reset", "r" + std::to_string(i) + ".test", 1, static_cast<uint16_t>(0x500 + i)));
    }
    for (int i = 0; i < 2; ++i) {
      goaways.push_back(&Ask("goaway", "g" + std::to_string(i) + ".test", 1));
      WaitDone(*goaways.back());
    }
    // The third request is held after the GOAWAY notice; the fourth still goes out on the old
    // connection (the notice may not be in yet) and its answer comes after the notice, so the
    // fifth certainly finds the old connection closed to new queries.
    goaways.push_back(&Ask("goaway", "g2.test", 1));
    goaways.push_back(&Ask("goaway", "g3.test", 1));
    WaitDone(*goaways.back());
    goaways.push_back(&Ask("goaway", "g4.test", 1));
    WaitAllDone();
    client_->Stop();
    log = capture.Text();
  }
  for (Outcome* o : resets) EXPECT_TRUE(Answered(*o, "192.0.2.81")) << log;
  for (Outcome* o : goaways) EXPECT_TRUE(Answered(*o, "192.0.2.82")) << log;
  EXPECT_GE(Count(log, "reset by"), 1u) << log;
  EXPECT_EQ(Count(log, "stops taking queries"), 1u) << log;
  std::vector<std::string> served = LogLines(DohLog(goaway));
  EXPECT_EQ(std::count(served.begin(), served.end(), "connection"), 2) << log;
  EXPECT_EQ(Count(log, "prohibit"), 0u) << log;
}

// dnsdist speaks both: HTTP/1.1 by default, HTTP/2 when the server line asks for it.
TEST_F(UpstreamTlsTest, DnsdistAnswersOverHttp11AndHttp2) {
  ChildProcess unbound, dnsdist;
  UnboundOptions u;
  u.port = FreePort();
  ASSERT_TRUE(StartUnbound(dir_, u, &unbound));
  int doh = FreePort();
  ASSERT_TRUE(StartDnsdist(dir_, u.port, doh, FreePort(), ca_.Path("upstream", ".pem"),
                           ca_.Path("upstream", ".key"), &dnsdist));
  UpstreamClientConfig config;
  config.ca_file = ca_.cert();
  config.servers.push_back(Https(doh, "h1"));
  UpstreamServerConfig h2 = Https(doh, "h2");
  h2.http2 = true;
  config.servers.push_back(h2);
  std::string log;
  std::vector<Outcome*> h1_answers, h2_answers;
  {
    StdoutCapture capture;
    StartClient(config);
    for (int i = 0; i < 20; ++i) {
      h1_answers.push_back(
          &Ask("h1", "h" + std::to_string(i) + ".miss.test", 1, static_cast<uint16_t>(0x300 + i)));
      h2_answers.push_back(
          &Ask("h2", "k" + std::to_string(i) + ".miss.test", 1, static_cast<uint16_t>(0x400 + i)));
    }
    WaitAllDone();
    client_->Stop();
    log = capture.Text();
  }
  for (Outcome* o : h1_answers) EXPECT_TRUE(Answered(*o, "192.0.2.9")) << log;
  for (Outcome* o : h2_answers) EXPECT_TRUE(Answered(*o, "192.0.2.9")) << log;
  EXPECT_EQ(Count(log, "does not speak"), 0u) << log;
  EXPECT_EQ(Count(log, "tls server 127.0.0.1 connected"), 2u) << log;
}

// Servers that speak neither protocol (a responder selecting ALPN "h2" but speaking HTTP/1.1,
// one answering an HTTP/1.1 request with HTTP/2 frame bytes and then nothing of HTTP/2) are
// tried once with each and then set aside; the UDP server of the group answers.
TEST_F(UpstreamTlsTest, ServersSpeakingNeitherProtocolAreSetAside) {
  int udp = StartFault({"--a", "192.0.2.5"});
  int alpn_h2 = StartDoh("normal", "upstream", {"--alpn", "h2"});
  int frames = StartDoh("h2garbage");

  UpstreamClientConfig config;
  config.ca_file = ca_.cert();
  for (int port : {alpn_h2, frames}) config.servers.push_back(Https(port, "mixed"));
  config.servers.push_back(Server("127.0.0.1", udp, UpstreamType::kUdp, {"mixed"}, true));
  std::string log;
  std::vector<Outcome*> rounds;
  {
    StdoutCapture capture;  // failures are reported after it ends
    StartClient(config);
    for (int round = 0; round < 4; ++round) {
      rounds.push_back(&Ask("mixed", "r" + std::to_string(round) + ".test", 1));
      WaitDone(*rounds.back());
    }
    client_->Stop();
    log = capture.Text();
  }
  for (Outcome* o : rounds) EXPECT_TRUE(Answered(*o, "192.0.2.5")) << log;
  // One switch to HTTP/2 and one failure of it per server, never a line per query.
  EXPECT_EQ(Count(log, "does not speak HTTP/1.1"), 2u) << log;
  EXPECT_EQ(Count(log, "does not speak HTTP/2"), 2u) << log;
}

}  // namespace
}  // namespace zctest
