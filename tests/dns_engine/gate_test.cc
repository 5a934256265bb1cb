// The reply gate (send once, A waits for its verdict, per-client rewrite) and the merge table.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "dns/engine/engine_core.h"
#include "dns/engine/reply_gate.h"

namespace zc::dns {
namespace {

GateAnswer Answer(uint8_t marker) {
  return GateAnswer{{marker}, 60, AnswerSource::kUpstream, false};
}

TEST(ReplyGate, AQueriesWaitForTheVerdictAndSendOnce) {
  // Answer first, verdict later (the usual edge order).
  ReplyGate a(true);
  EXPECT_FALSE(a.TakeSendTurn());
  EXPECT_TRUE(a.SetAnswer(Answer(1)));
  EXPECT_FALSE(a.TakeSendTurn());  // verdict pending: held
  EXPECT_FALSE(a.SetVerdict({kVerdictPending, 0}));
  EXPECT_TRUE(a.SetVerdict({5, 0}));
  EXPECT_TRUE(a.TakeSendTurn());
  EXPECT_FALSE(a.TakeSendTurn());  // exactly once
  EXPECT_EQ(a.ARewrite(), htonl(0x7F000001));
  EXPECT_FALSE(a.SetAnswer(Answer(2)));  // later answers change nothing
  EXPECT_EQ(a.answer()->packet[0], 1);

  // Verdict first, answer later; the first decided verdict stays.
  ReplyGate b(true);
  EXPECT_TRUE(b.SetVerdict({kVerdictAllowed, htonl(0xC0000201)}));
  EXPECT_FALSE(b.SetVerdict({4, 0}));
  EXPECT_FALSE(b.TakeSendTurn());
  EXPECT_TRUE(b.SetAnswer(Answer(3)));
  EXPECT_TRUE(b.TakeSendTurn());
  EXPECT_EQ(b.ARewrite(), htonl(0xC0000201));  // safe search for this client only

  // Other types go out as soon as the answer is there; no rewrite.
  ReplyGate aaaa(false);
  EXPECT_TRUE(aaaa.SetAnswer(Answer(4)));
  EXPECT_TRUE(aaaa.TakeSendTurn());
  EXPECT_EQ(aaaa.ARewrite(), 0u);
  ReplyGate allowed(true);
  allowed.SetVerdict({kVerdictAllowed, 0});
  EXPECT_EQ(allowed.ARewrite(), 0u);
}

TEST(MergeTable, OneLeaderPerFullKey) {
  MergeTable t;
  std::string k = MergeKey("a.test", 1, "", "", false);
  EXPECT_FALSE(t.JoinOrLead(k, 1).has_value());
  EXPECT_EQ(t.JoinOrLead(k, 2).value_or(0), 1u);
  EXPECT_EQ(t.JoinOrLead(k, 3).value_or(0), 1u);
  // Group, client subnet, no-cache and type each make a different query.
  for (const std::string& other :
       {MergeKey("a.test", 1, "kids", "", false), MergeKey("a.test", 1, "", "10.0.0.0/24", false),
        MergeKey("a.test", 1, "", "", true), MergeKey("a.test", 28, "", "", false),
        MergeKey("a.tes", 1, "t", "", false)}) {
    EXPECT_NE(other, k);
    EXPECT_FALSE(t.JoinOrLead(other, 9).has_value());
  }
  EXPECT_TRUE(t.Finish(k, 2).empty());  // only the leader ends its entry
  EXPECT_EQ(t.Finish(k, 1), (std::vector<uint64_t>{2, 3}));
  EXPECT_FALSE(t.JoinOrLead(k, 4).has_value());  // a new round
}

// A request that finishes runs callbacks: its merged waiters get their answers, and an internal
// query's callback may start new requests at once. Enough of them to grow the request table must
// not disturb the request being finished.
TEST(EngineFinish, CallbacksThatStartRequestsLeaveTheTableWhole) {
  DnsEngine::Core core(DnsEngineOptions{}, 1);
  auto internal = [&core]() -> Request& {
    Request& r = core.NewRequest(core.NewRequestId());
    r.origin = Origin::kInternal;
    r.domain = r.domain_lower = "gone.test";
    r.qtype = DNS_T_A;
    r.qclass = DNS_C_IN;
    r.rcode = DNS_RC_SERVFAIL;
    return r;
  };
  Request& leader = internal();
  const uint64_t leader_id = leader.id;
  leader.merge_leader = true;
  leader.merge_key = "gone.test/1";
  ASSERT_FALSE(core.merges.JoinOrLead(leader.merge_key, leader_id).has_value());
  int started = 0, answered = 0;
  for (int i = 0; i < 4; i++) {
    Request& waiter = internal();
    ASSERT_TRUE(core.merges.JoinOrLead(leader.merge_key, waiter.id).has_value());
    waiter.internal_done = [&core, &started, &answered](int rcode, std::string) {
      EXPECT_EQ(rcode, DNS_RC_SERVFAIL);
      answered++;
      for (int n = 0; n < 300; n++, started++) core.NewRequest(core.NewRequestId());
    };
  }
  int leader_answers = 0;
  leader.internal_done = [&core, &started, &leader_answers](int, std::string) {
    leader_answers++;
    for (int n = 0; n < 300; n++, started++) core.NewRequest(core.NewRequestId());
  };
  core.Finish(leader_id);
  EXPECT_EQ(answered, 4);
  EXPECT_EQ(leader_answers, 1);
  EXPECT_EQ(started, 5 * 300);
  EXPECT_EQ(core.requests.count(leader_id), 0u);
  EXPECT_EQ(core.requests.size(), 4u + 5u * 300u);
  EXPECT_EQ(core.merges.size(), 0u);
}

}  // namespace
}  // namespace zc::dns
