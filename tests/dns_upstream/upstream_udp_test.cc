// The upstream client over UDP and TCP against the fault peer and unbound: answer matching and
// spoofing, random IDs and source ports, groups, retries, truncation, cancel and stop.
#include <dirent.h>

#include <set>
#include <sstream>

#include "dns_upstream/upstream_peer_fixture.h"
#include "support/netns.h"
#include "support/requires.h"

namespace zctest {
namespace {

using zc::dns::UpstreamClientConfig;
using zc::dns::UpstreamType;

int OpenFds() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
  }
  return count;
}

struct LoggedQuery {
  std::string transport;
  unsigned id = 0;
  std::string name;
  unsigned qtype = 0;
  unsigned port = 0;
};

std::vector<LoggedQuery> Parse(const std::vector<std::string>& lines) {
  std::vector<LoggedQuery> out;
  for (const std::string& line : lines) {
    LoggedQuery q;
    std::istringstream in(line);
    in >> q.transport >> q.id >> q.name >> q.qtype >> q.port;
    out.push_back(q);
  }
  return out;
}

using UpstreamUdpTest = UpstreamPeerTest;

// Forged answers (from another address, with a wrong ID, for another name) never reach the
// engine; a server that lower-cases the question is still matched; IDs and source ports are
// random per query.
TEST_F(UpstreamUdpTest, OnlyTheRealAnswerIsDelivered) {
  int forging = StartFault({"--forge-from", "127.0.0.2", "--wrong-id-first", "--wrong-name-first",
                            "--delay-ms", "20", "--a", "192.0.2.1", "--forged-a", "192.0.2.66"});
  int lowering = StartFault({"--lowercase", "--a", "192.0.2.7"});
  UpstreamClientConfig config;
  config.servers.push_back(Server("127.0.0.1", forging, UpstreamType::kUdp, {"forge"}, true));
  config.servers.push_back(Server("127.0.0.1", lowering, UpstreamType::kUdp, {"lower"}, true));
  auto& client = StartClient(config);

  Outcome& forged = Ask("forge", "A.Test", 1, 0x0101);
  Outcome& lowered = Ask("lower", "A.Test", 1, 0x0202);
  ASSERT_TRUE(WaitAllDone());
  ASSERT_EQ(forged.answers.size(), 1u);
  EXPECT_EQ(Addresses(forged.answers[0].packet), std::vector<std::string>{"192.0.2.1"});
  EXPECT_EQ(Id(forged.answers[0].packet), 0x0101) << "the engine's own ID comes back";
  EXPECT_EQ(forged.final.answers, 1u);
  EXPECT_GE(client.Counters().dropped, 2u) << "wrong ID and wrong name were seen and dropped";
  ASSERT_EQ(lowered.answers.size(), 1u);
  EXPECT_EQ(Addresses(lowered.answers[0].packet), std::vector<std::string>{"192.0.2.7"});

  // IDs are not a sequence and queries leave from more than one source port.
  // In batches, so the peer's receive buffer never overflows on a loaded machine.
  constexpr int kQueries = 1000;
  constexpr int kBatch = 20;
  for (int i = 0; i < kQueries; ++i) {
    Ask("lower", "n" + std::to_string(i) + ".test", 1);
    if (i % kBatch == kBatch - 1) {
      ASSERT_TRUE(WaitAllDone());
    }
  }
  size_t unanswered = 0, unreachable = 0;
  for (const Outcome& o : outcomes_) {
    unanswered += o.answers.empty();
    unreachable += o.final.unreachable;
  }
  // The point here is the IDs and ports the peer saw; on a loaded machine a few queries may
  // time out, which is not a fault.
  EXPECT_LE(unanswered, static_cast<size_t>(kQueries / 10));
  EXPECT_LE(unreachable, static_cast<size_t>(kQueries / 10));
  std::vector<LoggedQuery> seen = Parse(LogLines(FaultLog(lowering)));
  ASSERT_GE(seen.size(), static_cast<size_t>(kQueries));
  int sequential = 0;
  std::set<unsigned> ids, ports;
  for (size_t i = 0; i < seen.size(); ++i) {
    ids.insert(seen[i].id);
    ports.insert(seen[i].port);
    if (i > 0 && seen[i].id == ((seen[i - 1].id + 1) & 0xffff)) ++sequential;
  }
  EXPECT_LT(sequential, 5);
  EXPECT_GT(ids.size(), static_cast<size_t>(kQueries) * 9 / 10);
  // A port carries at most four queries (the kernel picks ports at random, so a few may
  // repeat).
  EXPECT_GE(ports.size(), static_cast<size_t>(kQueries) / 4 * 9 / 10) << "source ports are reused";
  for (const Outcome& o : outcomes_) EXPECT_EQ(o.callbacks_after_done, 0);
}

// Every server of a group gets the query and each answer arrives, then one end; unknown groups
// fall back to "default"; a silent server gets four sends and the query ends without answer.
TEST_F(UpstreamUdpTest, GroupsRetriesCancelAndStop) {
  int fds_before = OpenFds();
  int a = StartFault({"--a", "192.0.2.11"});
  int b = StartFault({"--a", "192.0.2.12", "--delay-ms", "10"});
  int c = StartFault({"--a", "192.0.2.13", "--delay-ms", "20"});
  int fallback = StartFault({"--a", "192.0.2.20"});
  int silent = StartFault({"--drop-udp"});
  // Answers each send only after the next send went out: the answer to an earlier send must
  // still be taken (same ID on every retry, its source port still open).
  int slow = StartFault({"--a", "192.0.2.30", "--delay-ms",
                         std::to_string(static_cast<int>(500 * kTestTimeScale * 1.5))});
  UpstreamClientConfig config;
  for (int port : {a, b, c}) {
    config.servers.push_back(Server("127.0.0.1", port, UpstreamType::kUdp, {"trio"}, true));
  }
  config.servers.push_back(Server("127.0.0.1", fallback, UpstreamType::kUdp));
  config.servers.push_back(Server("127.0.0.1", silent, UpstreamType::kUdp, {"silent"}, true));
  config.servers.push_back(Server("127.0.0.1", slow, UpstreamType::kUdp, {"slow"}, true));
  auto& client = StartClient(config);
  ASSERT_EQ(client.ServerCount(), 6u);
  EXPECT_EQ(client.Server(0).address, "127.0.0.1");

  Outcome& trio = Ask("trio", "t.test", 1);
  Outcome& unknown = Ask("no-such-group", "u.test", 1);
  auto started = std::chrono::steady_clock::now();
  Outcome& lost = Ask("silent", "s.test", 1);
  std::vector<Outcome*> slow_ones;
  for (int i = 0; i < 8; ++i) {  // spread over several port lifetimes
    slow_ones.push_back(&Ask("slow", "slow" + std::to_string(i) + ".test", 1));
    loop_.RunFor(std::chrono::milliseconds(static_cast<int>(300 * kTestTimeScale)));
  }
  ASSERT_TRUE(WaitAllDone());
  auto took = std::chrono::steady_clock::now() - started;
  for (Outcome* o : slow_ones) {
    ASSERT_EQ(o->answers.size(), 1u);
    EXPECT_EQ(Addresses(o->answers[0].packet), std::vector<std::string>{"192.0.2.30"});
  }

  ASSERT_EQ(trio.answers.size(), 3u);
  std::set<size_t> servers;
  std::set<std::string> addresses;
  for (const auto& answer : trio.answers) {
    servers.insert(answer.server);
    addresses.insert(Addresses(answer.packet).at(0));
  }
  EXPECT_EQ(servers.size(), 3u);
  EXPECT_EQ(addresses, (std::set<std::string>{"192.0.2.11", "192.0.2.12", "192.0.2.13"}));
  EXPECT_EQ(trio.final.answers, 3u);
  ASSERT_EQ(unknown.answers.size(), 1u);
  EXPECT_EQ(Addresses(unknown.answers[0].packet), std::vector<std::string>{"192.0.2.20"});

  EXPECT_TRUE(lost.answers.empty());
  EXPECT_EQ(lost.final.answers, 0u);
  EXPECT_FALSE(lost.final.unreachable);
  EXPECT_EQ(LogLines(FaultLog(silent)).size(), 4u) << "four sends in all";
  EXPECT_GE(took, std::chrono::milliseconds(static_cast<int>(4 * 500 * kTestTimeScale) - 20));

  // A cancelled query never calls back; a malformed one is refused at once.
  Outcome cancelled;
  auto handle = client.Query("silent", BuildQuery("c.test", 1), cancelled.Callback());
  ASSERT_NE(handle, 0u);
  client.Cancel(handle);
  std::vector<uint8_t> junk = {1, 2, 3};
  EXPECT_EQ(client.Query("", junk, cancelled.Callback()), 0u);
  std::vector<uint8_t> answer = BuildQuery("x.test", 1);
  answer[2] |= 0x80;
  EXPECT_EQ(client.Query("", answer, cancelled.Callback()), 0u);
  loop_.RunFor(std::chrono::milliseconds(800));
  EXPECT_TRUE(cancelled.answers.empty());
  EXPECT_FALSE(cancelled.done);

  // Stop with a query in flight: no callback afterwards, every socket closed.
  Outcome& pending = Ask("silent", "p.test", 1);
  client.Stop();
  loop_.RunFor(std::chrono::milliseconds(300));
  EXPECT_FALSE(pending.done);
  client_.reset();
  peers_.clear();
  EXPECT_EQ(OpenFds(), fds_before);
}

// A TC=1 answer is not taken as the answer: the same server is asked over TCP (unbound with
// max-udp-size 512 truncates even for an EDNS 4096 query).
TEST_F(UpstreamUdpTest, TruncatedAnswersAreRetriedOverTcp) {
  ChildProcess unbound;
  UnboundOptions options;
  options.port = FreePort();
  options.max_udp_size = 512;
  ASSERT_TRUE(StartUnbound(dir_, options, &unbound));
  int tc_peer = StartFault({"--tc", "--txt-count", "3"});
  UpstreamClientConfig config;
  config.servers.push_back(Server("127.0.0.1", options.port, UpstreamType::kUdp, {"ub"}, true));
  config.servers.push_back(Server("127.0.0.1", tc_peer, UpstreamType::kUdp, {"tc"}, true));
  config.servers.push_back(Server("127.0.0.1", options.port, UpstreamType::kTcp, {"tcp"}, true));
  auto& client = StartClient(config);

  Outcome& big = Ask("ub", "big.test", 16);
  Outcome& small = Ask("ub", "a.test", 1);
  Outcome& faulty = Ask("tc", "x.test", 16);
  ASSERT_TRUE(WaitAllDone());
  ASSERT_EQ(big.answers.size(), 1u);
  EXPECT_FALSE(Truncated(big.answers[0].packet));
  EXPECT_EQ(AnswerCount(big.answers[0].packet), 8);
  EXPECT_GT(big.answers[0].packet.size(), 2000u);
  ASSERT_EQ(small.answers.size(), 1u);
  EXPECT_EQ(Addresses(small.answers[0].packet), std::vector<std::string>{"192.0.2.1"});
  ASSERT_EQ(faulty.answers.size(), 1u);
  EXPECT_EQ(AnswerCount(faulty.answers[0].packet), 3);
  std::vector<LoggedQuery> seen = Parse(LogLines(FaultLog(tc_peer)));
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].transport, "udp");
  EXPECT_EQ(seen[1].transport, "tcp");
  EXPECT_EQ(client.Counters().truncated, 2u);

  // Over a TCP upstream: many queries at once share the connection and all come back.
  for (int i = 0; i < 50; ++i) Ask("tcp", "q" + std::to_string(i) + ".miss.test", 1);
  ASSERT_TRUE(WaitAllDone());
  for (size_t i = 3; i < outcomes_.size(); ++i) {
    ASSERT_EQ(outcomes_[i].answers.size(), 1u) << i;
    EXPECT_EQ(Addresses(outcomes_[i].answers[0].packet), std::vector<std::string>{"192.0.2.9"});
  }
}

// A server the kernel stops routing to: a new query whose only send is refused ends at once as
// unreachable, while a query already sent keeps its retries and ends without answer.
TEST_F(UpstreamUdpTest, RefusedSendsEndNewQueriesAtOnce) {
  if (!InPrivateNetwork()) ZC_MISSING() << "needs a private network namespace";
  for (const std::vector<std::string>& step :
       {std::vector<std::string>{"ip", "link", "add", "uv0", "type", "veth", "peer", "name", "uv1"},
        {"ip", "link", "set", "uv0", "up"},
        {"ip", "link", "set", "uv1", "up"},
        {"ip", "addr", "add", "10.66.0.1/24", "dev", "uv0"},
        {"ip", "neigh", "replace", "10.66.0.2", "lladdr", "02:00:00:00:66:02", "dev", "uv0", "nud",
         "permanent"}}) {
    ASSERT_TRUE(RunQuiet(step)) << step[0] << " " << step[1] << " " << step[2];
  }
  UpstreamClientConfig config;
  config.servers.push_back(Server("10.66.0.2", 53, UpstreamType::kUdp, {"far"}, true));
  StartClient(config);
  Outcome& sent = Ask("far", "sent.test", 1);
  loop_.RunFor(std::chrono::milliseconds(20));  // out on the wire, nobody answers
  ASSERT_TRUE(RunQuiet({"ip", "route", "add", "prohibit", "10.66.0.2/32"}));
  auto asked = std::chrono::steady_clock::now();
  Outcome& refused = Ask("far", "refused.test", 1);
  ASSERT_TRUE(WaitDone(refused));
  EXPECT_LT(std::chrono::steady_clock::now() - asked,
            std::chrono::milliseconds(static_cast<int>(500 * kTestTimeScale)))
      << "ended before its first resend would have been due";
  EXPECT_TRUE(refused.answers.empty());
  EXPECT_TRUE(refused.final.unreachable);
  ASSERT_TRUE(WaitDone(sent));
  EXPECT_TRUE(sent.answers.empty());
  EXPECT_FALSE(sent.final.unreachable);
  RunQuiet({"ip", "link", "del", "uv0"});
}

}  // namespace
}  // namespace zctest
