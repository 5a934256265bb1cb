// Publish, request and subscribe against a real server, checked from the cloud's side.
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "main/nats/nats_unpack.h"
#include "nats_test_env.h"
#include "proto/messages.h"
#include "utils/uuid.h"

namespace zctest {
namespace {

using cloudsim::JsonPtr;
using cloudsim::Member;
using cloudsim::PathGet;
using cloudsim::ScalarText;
using cloudsim::StringMember;

std::string HeaderOf(const json_object* record, const char* name) {
  json_object* v = Member(Member(record, "headers"), name);
  return v ? ScalarText(v) : "<absent>";
}

class NatsPubSubTest : public NatsTest {
 protected:
  void SetUp() override {
    NatsTest::SetUp();
    cloud_ = &SharedCloud();
    ASSERT_TRUE(cloud_->ok()) << cloud_->error();
    cloud_->Call("POST", "/v1/reset");
    since_ = std::to_string(cloud_->LastSeq());
  }
  NatsConnConfig SharedConfig(const char* part) { return Config(SharedServer().url(), part); }

  // Pushes a configuration envelope (a request, as the cloud does) and returns the answer.
  JsonPtr Push(const std::string& subject, const std::string& bodyFields) {
    return cloud_->CallJson("POST", "/v1/push",
                            R"({"to":"subject:)" + subject + R"(",)" + bodyFields + "}");
  }

  CloudSimFixture* cloud_ = nullptr;
  std::string since_;
};

TEST_F(NatsPubSubTest, PublishAndRequestCarryTheCloudHeaders) {
  ASSERT_EQ(Connect(nats_msg, SharedConfig("nats_msg_connection")), 0);
  ASSERT_EQ(Connect(NatsCmdConn, SharedConfig("nats_cmd_connection")), 0);
  ASSERT_EQ(Connect(nats_bootstrap, SharedConfig("nats_bootstrap_connection")), 0);

  auto journal = zc::pb::Make<Zun__Journal__JOURNAL>();
  journal.log = const_cast<char*>("kernel: eth0 up");
  std::string bytes = zc::pb::PackToString(journal);
  ASSERT_EQ(_natsConnection_Publish(nats_msg, "zt.log", bytes.data(), bytes.size(), {kZunProtoV1}),
            NATS_OK);
  JsonPtr got = cloud_->Wait("subject=zt.log&since=" + since_);
  ASSERT_TRUE(got);
  json_object* rec = json_object_array_get_idx(got.get(), 0);
  EXPECT_EQ(HeaderOf(rec, "zun-proto"), "v1");
  EXPECT_EQ(ScalarText(PathGet(rec, "decoded.log")), "kernel: eth0 up");
  EXPECT_EQ(json_object_get_type(Member(rec, "header_error")), json_type_null);

  auto resp = zc::pb::Make<Zun__Config__CONFIGRESP>();
  resp.transid = const_cast<char*>("t-42");
  bytes = zc::pb::PackToString(resp);
  ASSERT_EQ(_natsConnection_Publish(NatsCmdConn, "zt.configresp", bytes.data(), bytes.size(),
                                    {{kHdrConfigTraceId, "t-42"}}),
            NATS_OK);
  got = cloud_->Wait("type=CONFIGRESP&transid=t-42&since=" + since_);
  ASSERT_TRUE(got);
  EXPECT_EQ(HeaderOf(json_object_array_get_idx(got.get(), 0), "x-zun-trace-id"), "t-42");

  // Sign-on request with the four client headers; the reply belongs to the caller.
  auto request = zc::pb::Make<Zun__Signon__SignOnRequest>();
  request.mac = const_cast<char*>(kTestMac);
  bytes = zc::pb::PackToString(request);
  std::string trace = GetUUID(), mac = kTestMac;
  zc::nats::MsgPtr reply;
  ASSERT_EQ(_natsConnection_Request(reply, nats_bootstrap, "zt.signon", bytes.data(), bytes.size(),
                                    10000, NatsClientHeaders(trace, mac)),
            NATS_OK);
  ASSERT_TRUE(reply);
  auto answer = zc::pb::Unpack<Zun__Signon__SignOnResponse>(natsMsg_GetData(reply.get()),
                                                            natsMsg_GetDataLength(reply.get()));
  ASSERT_TRUE(answer);
  EXPECT_STREQ(answer->provisioning_code, "MNGD.AGNT.PROV");
  got = cloud_->Wait("subject=zt.signon&since=" + since_);
  ASSERT_TRUE(got);
  rec = json_object_array_get_idx(got.get(), 0);
  EXPECT_EQ(HeaderOf(rec, "x-zun-client-content-type-version"), "2.0");
  EXPECT_EQ(HeaderOf(rec, "x-zun-client-trace-id"), trace);
  EXPECT_EQ(HeaderOf(rec, "x-zun-client-sender-id"), kTestMac);
  EXPECT_EQ(HeaderOf(rec, "x-zun-client-content-type"), "proto");
  EXPECT_EQ(json_object_get_type(Member(rec, "header_error")), json_type_null);
  EXPECT_EQ(ScalarText(PathGet(rec, "decoded.mac")), kTestMac);

  // The simulator notices a request without its headers.
  ASSERT_EQ(_natsConnection_Request(reply, nats_bootstrap, "zt.signon", bytes.data(), bytes.size(),
                                    10000),
            NATS_OK);
  got = cloud_->Wait("subject=zt.signon&count=2&since=" + since_, 2);
  ASSERT_TRUE(got);
  EXPECT_NE(json_object_get_type(Member(json_object_array_get_idx(got.get(), 1), "header_error")),
            json_type_null);
}

TEST_F(NatsPubSubTest, RequestsFailFastWithoutResponderAndTimeOutWhenUnanswered) {
  ASSERT_EQ(Connect(nats_msg, SharedConfig("nats_msg_connection")), 0);
  zc::nats::MsgPtr reply;
  EXPECT_EQ(
      _natsConnection_Request(reply, nats_msg, "zt.nobody.listens", "x", 1, 60000, {kZunProtoV1}),
      NATS_NO_RESPONDERS);
  EXPECT_FALSE(reply);

  ASSERT_EQ(cloud_->Call("PUT", "/v1/services/event", R"({"mode":"drop","count":1})").status, 200);
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(_natsConnection_Request(reply, nats_msg, "zt.event", "x", 1, 5000, {kZunProtoV1}),
            NATS_TIMEOUT);
  // 5000 ms on the test time scale.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  ASSERT_EQ(_natsConnection_Request(reply, nats_msg, "zt.event", "x", 1, 5000, {kZunProtoV1}),
            NATS_OK);
  EXPECT_EQ(std::string(natsMsg_GetData(reply.get()), natsMsg_GetDataLength(reply.get())),
            std::string("ACK\0", 4));

  // No connection at all: the wrapper says so instead of touching a handle.
  EXPECT_EQ(_natsConnection_Request(reply, nats_edge, "zt.event", "x", 1, 5000),
            NATS_CONNECTION_CLOSED);
  EXPECT_EQ(_natsConnection_Publish(nats_edge, "zt.event", "x", 1), NATS_CONNECTION_CLOSED);
}

TEST_F(NatsPubSubTest, SubjectsTheServerWouldCloseTheConnectionForAreRefusedBeforeSending) {
  ASSERT_EQ(Connect(nats_msg, SharedConfig("nats_msg_connection")), 0);
  std::string huge(8000, 'J');  // past the server's protocol-line limit
  EXPECT_EQ(_natsConnection_Publish(nats_msg, huge.c_str(), "x", 1), NATS_INVALID_SUBJECT);
  EXPECT_EQ(_natsConnection_Publish(nats_msg, "zt.a b", "x", 1), NATS_INVALID_SUBJECT);
  EXPECT_EQ(_natsConnection_Publish(nats_msg, "", "x", 1), NATS_INVALID_SUBJECT);
  zc::nats::MsgPtr reply;
  EXPECT_EQ(_natsConnection_Request(reply, nats_msg, huge.c_str(), "x", 1, 5000),
            NATS_INVALID_SUBJECT);
  // The connection is still up and usable.
  ASSERT_EQ(_natsConnection_Request(reply, nats_msg, "zt.event", "x", 1, 5000, {kZunProtoV1}),
            NATS_OK);
}

TEST_F(NatsPubSubTest, DeliveriesAreAcknowledgedAndDispatchedBySlot) {
  ASSERT_EQ(Connect(NatsCmdConn, SharedConfig("nats_cmd_connection")), 0);
  std::mutex mu;
  std::vector<std::string> firstSlot, thirdSlot;
  std::vector<std::string> subjects;
  NatsSubTable table;
  table.record = &NatsCmdConn;
  ASSERT_EQ(table.Add("zt.cmd.025a00000001",
                      [&](const void* data, int length) {
                        std::lock_guard lock(mu);
                        firstSlot.emplace_back(static_cast<const char*>(data), length);
                        subjects.emplace_back(NatsDispatchSubject());
                      }),
            0);
  ASSERT_EQ(table.Add("zt.cmd.nohandler", nullptr), 0);
  ASSERT_EQ(table.Add("zt.cmd.all",
                      [&](const void* data, int length) {
                        std::lock_guard lock(mu);
                        thirdSlot.emplace_back(static_cast<const char*>(data), length);
                      }),
            0);
  ASSERT_EQ(NatsSub(table), 0);
  SyncWithServer(NatsCmdConn);
  EXPECT_EQ(table.Subscription(1), nullptr);

  JsonPtr ack = Push("zt.cmd.025a00000001",
                     R"("envelope":{"_cmd":{"transid":"c1","command":"PING","data":"127.0.0.1"}})");
  ASSERT_TRUE(ack);
  EXPECT_EQ(StringMember(ack.get(), "ack_b64").value_or(""), "QUNLAA==");  // "ACK\0"
  EXPECT_EQ(StringMember(Member(ack.get(), "ack_headers"), "zun-proto").value_or(""), "v1");
  ack = Push("zt.cmd.all", R"("raw_b64":"AAEC")");
  EXPECT_EQ(StringMember(ack.get(), "ack_b64").value_or(""), "QUNLAA==");
  // A slot without handler is not subscribed: the cloud sees no responder.
  ack = Push("zt.cmd.nohandler", R"("raw_b64":"AAEC")");
  EXPECT_EQ(StringMember(ack.get(), "status").value_or(""), natsStatus_GetText(NATS_NO_RESPONDERS));

  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard lock(mu);
    return firstSlot.size() == 1 && thirdSlot.size() == 1;
  }));
  auto envelope =
      zc::pb::Unpack<Zun__Config__PLATFORMCONFIG>(firstSlot[0].data(), firstSlot[0].size());
  ASSERT_TRUE(envelope);
  ASSERT_EQ(envelope->member_case, ZUN__CONFIG__PLATFORMCONFIG__MEMBER__CMD);
  EXPECT_STREQ(envelope->_cmd->transid, "c1");
  EXPECT_EQ(subjects[0], "zt.cmd.025a00000001");
  EXPECT_EQ(thirdSlot[0], std::string("\x00\x01\x02", 3));

  // The ACK is recorded by the simulator with its header.
  JsonPtr acks = cloud_->Records("kind=nats.ack&since=" + since_);
  EXPECT_EQ(json_object_array_length(acks.get()), 2u);

  NatsDestroySub(table);
  SyncWithServer(NatsCmdConn);
  ack = Push("zt.cmd.all", R"("raw_b64":"AAEC")");
  EXPECT_EQ(StringMember(ack.get(), "status").value_or(""), natsStatus_GetText(NATS_NO_RESPONDERS));
}

TEST_F(NatsPubSubTest, UndecodablePayloadIsLoggedWithItsSubjectAndTheNextIsHandled) {
  ASSERT_EQ(Connect(NatsCmdConn, SharedConfig("nats_cmd_connection")), 0);
  std::atomic<int> handled{0}, dropped{0};
  NatsSubTable table;
  table.record = &NatsCmdConn;
  table.Add("zt.cmd.decode", [&](const void* data, int length) {
    auto envelope = NatsUnpack<Zun__Config__PLATFORMCONFIG>("ConfigParser", data, length);
    (envelope ? handled : dropped)++;
  });
  ASSERT_EQ(NatsSub(table), 0);
  SyncWithServer(NatsCmdConn);
  StdoutCapture out;
  // Field 3 announced as 100 bytes long, 2 present.
  Push("zt.cmd.decode", R"("raw_b64":"GmQKAg==")");
  Push("zt.cmd.decode", R"("envelope":{"_conf":{"transid":"k","script":"true"}})");
  ASSERT_TRUE(WaitFor([&] { return handled + dropped == 2; }));
  EXPECT_EQ(handled, 1);
  EXPECT_EQ(dropped, 1);
  EXPECT_NE(out.Text().find("ConfigParser: unable to unpack zun.config.PLATFORMCONFIG (4 bytes) "
                            "received on zt.cmd.decode, dropped"),
            std::string::npos)
      << out.Text();
}

TEST_F(NatsPubSubTest, InboxSubscriptionReportsSilenceWithItsTimeOut) {
  // dnsMetrics 0: the shortest inbox time-out, 5 s (0.1 s on the test time scale).
  SetStringKVP(kNatsDnsMetricsKey, "0");
  ASSERT_EQ(Connect(nats_edge, SharedConfig("nats_edge_connection")), 0);
  std::string inbox = NatsNewInbox();
  ASSERT_NE(inbox.find("INBOX"), std::string::npos);
  std::atomic<int> inboxSilence{0}, inboxData{0}, plainSilence{0};
  NatsSubTable table;
  table.record = &nats_edge;
  table.Add(inbox, [&](const void* data, int length) {
    if (!data && length == 0) {
      ++inboxSilence;
    } else {
      ++inboxData;
    }
  });
  table.Add("nats.kelp.demo.test", [&](const void* data, int) {
    if (!data) ++plainSilence;
  });
  ASSERT_EQ(NatsSub(table), 0);
  SyncWithServer(nats_edge);
  EXPECT_TRUE(WaitFor([&] { return inboxSilence >= 2; }, std::chrono::seconds(3)));
  ASSERT_EQ(
      cloud_->Call("POST", "/v1/publish", R"({"subject":")" + inbox + R"(","payload_b64":"AQI="})")
          .status,
      200);
  EXPECT_TRUE(WaitFor([&] { return inboxData == 1; }));
  EXPECT_EQ(plainSilence, 0);
}

TEST(NatsInboxTimeout, KeptWithinFiveSecondsAndOneDay) {
  EXPECT_EQ(NatsInboxTimeoutMs(std::nullopt), 65000);
  EXPECT_EQ(NatsInboxTimeoutMs("60"), 65000);
  EXPECT_EQ(NatsInboxTimeoutMs("0"), 5000);
  EXPECT_EQ(NatsInboxTimeoutMs("-3"), 5000);
  EXPECT_EQ(NatsInboxTimeoutMs("-2147483648"), 5000);
  EXPECT_EQ(NatsInboxTimeoutMs("3000000"), 86400000);
  EXPECT_EQ(NatsInboxTimeoutMs("4294967"), 86400000);  // wraps to a tiny value in 32 bits
  EXPECT_EQ(NatsInboxTimeoutMs("99999999999999999999"), 86400000);
  EXPECT_EQ(NatsInboxTimeoutMs("86395"), 86400000);
  EXPECT_EQ(NatsInboxTimeoutMs("NA"), 65000);
}

TEST(NatsSubTableSlots, TwentySubjectsAtMost) {
  NatsSubTable table;
  for (int i = 0; i < kNatsSubSlots; ++i) {
    ASSERT_EQ(table.Add("s." + std::to_string(i), [](const void*, int) {}), 0);
  }
  EXPECT_EQ(table.Add("s.20", [](const void*, int) {}), -1);
  EXPECT_EQ(table.Count(), kNatsSubSlots);
  // No record to subscribe on.
  EXPECT_EQ(NatsSub(table), -1);
  NatsSubTable empty;
  EXPECT_EQ(NatsSub(empty), 0);  // nothing listed: nothing to do
  table.Clear();
  EXPECT_EQ(table.Count(), 0);
}

// Messages flooding a subject while it is being subscribed: every message the library delivers
// reaches the handler, also those delivered before the subscribe call has returned.
TEST_F(NatsPubSubTest, MessagesDeliveredRightAfterTheSubscribeAreHandled) {
  NatsServerFixture plain;
  ASSERT_TRUE(plain.ok()) << plain.error();
  ASSERT_EQ(Connect(NatsCmdConn, Config(plain.url(), "nats_cmd_connection", false)), 0);
  natsConnection* publisher = nullptr;
  ASSERT_EQ(natsConnection_ConnectTo(&publisher, plain.url().c_str()), NATS_OK);
  std::atomic<bool> stop{false};
  std::thread flood([&] {
    // About 20000 messages a second: a flood, but one the sanitizer build keeps up with.
    while (!stop) {
      natsConnection_PublishString(publisher, "zt.fw.now.race", "fw");
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));

  std::atomic<int64_t> handled{0};
  NatsSubTable table;
  table.record = &NatsCmdConn;
  table.Add("zt.fw.now.race", [&](const void*, int) { ++handled; });
  // Subscribed from a delivery thread's point of view (off the main loop), where the window
  // between subscribe and storing the handle is open.
  ASSERT_EQ(NatsSub(table), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  stop = true;
  flood.join();
  natsConnection_FlushTimeout(publisher, 2000);
  natsConnection_Destroy(publisher);

  int64_t delivered = -1;
  ASSERT_TRUE(WaitFor([&] {
    natsSubscription_GetDelivered(table.Subscription(0), &delivered);
    return delivered > 0 && delivered == handled;
  })) << "delivered "
      << delivered << " handled " << handled;
  NatsDestroySub(table);
}

}  // namespace
}  // namespace zctest
