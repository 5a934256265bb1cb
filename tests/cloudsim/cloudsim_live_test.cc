// The cloud simulator program against a real server: what it records, how its services answer
// in each mode, how tests drive it.
#include <gtest/gtest.h>
#include <nats/nats.h>

#include <cstdlib>
#include <fstream>

#include "lib/pbjson.h"
#include "message_filler.h"
#include "proto/messages.h"
#include "proto/registry.h"
#include "support/cloudsim_fixture.h"
#include "support/temp_root.h"

namespace zctest {
namespace {

using cloudsim::JsonPtr;
using cloudsim::Member;
using cloudsim::StringMember;

// The simulator with its own TLS server, laid down under a router root, on the tests' time scale;
// and a plain client playing the agent.
class CloudSimLiveTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("ZUNCORE_TIME_SCALE", "0.02", 1);
    // Closed (its threads joined) before OpenSSL's exit handler frees the locks they take.
    if (nats_Open(-1) == NATS_OK) std::atexit([] { nats_CloseAndWait(2000); });
    root_ = new TempRoot();
    // Every wire type gets a sink "rt.<type>" for the round trip through the simulator.
    JsonPtr changes = cloudsim::ParseJson(R"({"base":"default","sinks":[]})");
    json_object* sinks = Member(changes.get(), "sinks");
    for (const ProtobufCMessageDescriptor* d : zc::pb::WireTypes()) {
      JsonPtr sink(json_object_new_object());
      json_object_object_add(sink.get(), "subject",
                             json_object_new_string((std::string("rt.") + d->short_name).c_str()));
      json_object_object_add(sink.get(), "type", json_object_new_string(d->short_name));
      json_object_array_add(sinks, sink.release());
    }
    profileFile_ = root_->path() + "/profile.json";
    std::ofstream(profileFile_) << cloudsim::JsonText(changes.get());
    CloudSimFixture::Options o;
    o.root = root_->path();
    o.profileFile = profileFile_;
    sim_ = new CloudSimFixture(o);
  }
  static void TearDownTestSuite() {
    delete sim_;
    delete root_;
    unsetenv("ZUNCORE_TIME_SCALE");
  }

  void SetUp() override {
    ASSERT_TRUE(sim_->ok()) << sim_->error();
    sim_->Call("POST", "/v1/reset");
    natsOptions* o = nullptr;
    natsOptions_Create(&o);
    natsOptions_SetURL(o, ("nats://127.0.0.1:" + std::to_string(sim_->natsPort())).c_str());
    natsOptions_SetSecure(o, true);
    natsOptions_LoadCATrustedCertificates(o, (root_->path() + "/tmp/cacert.pem").c_str());
    natsOptions_SetReconnectWait(o, 50);
    natsOptions_SetMaxReconnect(o, -1);
    ASSERT_EQ(natsConnection_Connect(&agent_, o), NATS_OK);
    natsOptions_Destroy(o);
    since_ = std::to_string(sim_->LastSeq());
  }
  void TearDown() override { natsConnection_Destroy(agent_); }

  natsStatus Request(const std::string& subject, const std::string& payload, std::string* reply,
                     int64_t timeoutMs = 2000) {
    natsMsg* msg = nullptr;
    natsStatus s = natsConnection_Request(&msg, agent_, subject.c_str(), payload.data(),
                                          static_cast<int>(payload.size()), timeoutMs);
    if (msg) reply->assign(natsMsg_GetData(msg), natsMsg_GetDataLength(msg));
    natsMsg_Destroy(msg);
    return s;
  }
  int Put(const std::string& service, const std::string& body) {
    return sim_->Call("PUT", "/v1/services/" + service, body).status;
  }

  static TempRoot* root_;
  static std::string profileFile_;
  static CloudSimFixture* sim_;
  natsConnection* agent_ = nullptr;
  std::string since_;
};

TempRoot* CloudSimLiveTest::root_ = nullptr;
std::string CloudSimLiveTest::profileFile_;
CloudSimFixture* CloudSimLiveTest::sim_ = nullptr;

TEST_F(CloudSimLiveTest, LaysDownTheRouterTrustAndBootstrapServer) {
  EXPECT_TRUE(root_->Exists("/tmp/cacert.pem"));
  EXPECT_EQ(root_->Read("/tmp/bstrapnats"),
            "nats://127.0.0.1:" + std::to_string(sim_->natsPort()) + "\n");
}

// Packed by the agent's code, decoded by the simulator, encoded again by it from its own record,
// decoded by the agent's code: identical bytes for every wire type in full.
TEST_F(CloudSimLiveTest, EveryWireTypeRoundTripsThroughTheSimulator) {
  natsSubscription* back = nullptr;
  ASSERT_EQ(natsConnection_SubscribeSync(&back, agent_, "back.>"), NATS_OK);
  natsConnection_Flush(agent_);
  for (const ProtobufCMessageDescriptor* d : zc::pb::WireTypes()) {
    SCOPED_TRACE(d->name);
    std::vector<uint8_t> packed = zc::pb::PackAny(*FillAll(*d, 1));
    const std::string bytes(packed.begin(), packed.end());
    const std::string subject = std::string("rt.") + d->short_name;
    ASSERT_EQ(natsConnection_Publish(agent_, subject.c_str(), bytes.data(),
                                     static_cast<int>(bytes.size())),
              NATS_OK);
    JsonPtr got = sim_->Wait("subject=" + subject + "&since=" + since_);
    ASSERT_TRUE(got);
    json_object* record = json_object_array_get_idx(got.get(), 0);
    EXPECT_EQ(StringMember(record, "type").value_or(""), d->short_name);
    json_object* decoded = Member(record, "decoded");
    ASSERT_TRUE(decoded) << cloudsim::JsonText(record);

    JsonPtr push(json_object_new_object());
    json_object_object_add(push.get(), "to",
                           json_object_new_string(("subject:back." + subject).c_str()));
    json_object_object_add(push.get(), "type", json_object_new_string(d->short_name));
    json_object_object_add(push.get(), "envelope", json_object_get(decoded));
    json_object_object_add(push.get(), "request", json_object_new_boolean(0));
    ASSERT_EQ(sim_->Call("POST", "/v1/push", cloudsim::JsonText(push.get())).status, 200);
    natsMsg* msg = nullptr;
    ASSERT_EQ(natsSubscription_NextMsg(&msg, back, 5000), NATS_OK);
    std::string returned(natsMsg_GetData(msg), natsMsg_GetDataLength(msg));
    natsMsg_Destroy(msg);
    EXPECT_EQ(returned, bytes);
    EXPECT_TRUE(zc::pb::UnpackAny(*d, returned.data(), returned.size()));
  }
  natsSubscription_Destroy(back);
}

TEST_F(CloudSimLiveTest, ServicesAnswerInTheModeTestsSet) {
  auto result = zc::pb::Make<Zun__Firmware__FirmwareUpdateResult>();
  const std::string request = zc::pb::PackToString(result);
  std::string reply;
  ASSERT_EQ(Request("zt.fw.result", request, &reply), NATS_OK);
  auto ack =
      zc::pb::Unpack<Zun__Firmware__FirmwareUpdateResultResponse>(reply.data(), reply.size());
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->status, ZUN__FIRMWARE__FIRMWARE_STATUS__SUCCESS);

  // Dropped once, then answered again.
  ASSERT_EQ(Put("fwresult", R"({"mode":"drop","count":1})"), 200);
  EXPECT_EQ(Request("zt.fw.result", request, &reply, 300), NATS_TIMEOUT);
  EXPECT_EQ(Request("zt.fw.result", request, &reply), NATS_OK);

  // Garbage and truncated answers do not decode; raw bytes arrive as given.
  ASSERT_EQ(Put("fwresult", R"({"mode":"truncate"})"), 200);
  ASSERT_EQ(Request("zt.fw.result", request, &reply), NATS_OK);
  EXPECT_FALSE(
      zc::pb::Unpack<Zun__Firmware__FirmwareUpdateResultResponse>(reply.data(), reply.size()));
  ASSERT_EQ(Put("fwresult", R"({"mode":"raw","raw_b64":"CAI="})"), 200);
  ASSERT_EQ(Request("zt.fw.result", request, &reply), NATS_OK);
  EXPECT_EQ(reply, "\x08\x02");

  // No responders: the request fails at once.
  ASSERT_EQ(Put("fwresult", R"({"mode":"no_responders"})"), 200);
  EXPECT_EQ(Request("zt.fw.result", request, &reply), NATS_NO_RESPONDERS);

  // Delay on the agent's time scale: 10 s -> 0.2 s.
  ASSERT_EQ(Put("fwresult", R"({"mode":"delay","delay_ms":10000,"reply":{"status":"FAILURE"}})"),
            200);
  auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(Request("zt.fw.result", request, &reply), NATS_OK);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(150));
  ack = zc::pb::Unpack<Zun__Firmware__FirmwareUpdateResultResponse>(reply.data(), reply.size());
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->status, ZUN__FIRMWARE__FIRMWARE_STATUS__FAILURE);

  // Reset: back to the profile's answer.
  sim_->Call("POST", "/v1/reset");
  ASSERT_EQ(Request("zt.fw.result", request, &reply), NATS_OK);
  ack = zc::pb::Unpack<Zun__Firmware__FirmwareUpdateResultResponse>(reply.data(), reply.size());
  EXPECT_EQ(ack->status, ZUN__FIRMWARE__FIRMWARE_STATUS__SUCCESS);

  JsonPtr records = sim_->Records("subject=zt.fw.result&since=" + since_);
  ASSERT_EQ(json_object_array_length(records.get()), 7u);  // the no-responders one never arrived
  EXPECT_EQ(StringMember(Member(json_object_array_get_idx(records.get(), 1), "answered"), "mode")
                .value_or(""),
            "drop");
  EXPECT_EQ(StringMember(json_object_array_get_idx(records.get(), 0), "kind").value_or(""),
            "nats.request");
  EXPECT_EQ(StringMember(json_object_array_get_idx(records.get(), 0), "decode_error").value_or(""),
            "");
}

TEST_F(CloudSimLiveTest, RecordsNameMissingHeadersAndBadPayloads) {
  ASSERT_EQ(natsConnection_PublishString(agent_, "zt.telemetry", "not a telemetry message"),
            NATS_OK);
  JsonPtr got = sim_->Wait("subject=zt.telemetry&since=" + since_);
  ASSERT_TRUE(got);
  json_object* record = json_object_array_get_idx(got.get(), 0);
  EXPECT_EQ(StringMember(record, "header_error").value_or(""), "zun-proto missing");
  EXPECT_NE(StringMember(record, "decode_error").value_or(""), "");
  EXPECT_EQ(StringMember(record, "payload_b64").value_or(""),
            cloudsim::Base64Encode("not a telemetry message"));

  // Matching on decoded fields.
  auto journal = zc::pb::Make<Zun__Journal__JOURNAL>();
  journal.module = const_cast<char*>("dropbear");
  const std::string bytes = zc::pb::PackToString(journal);
  natsConnection_Publish(agent_, "zt.log", bytes.data(), static_cast<int>(bytes.size()));
  got = sim_->Wait("subject=zt.log&match=decoded.module=dropbear&since=" + since_);
  ASSERT_TRUE(got);
  EXPECT_EQ(json_object_array_length(got.get()), 1u);
  // A wait that cannot be met ends with 408 (1 s of agent time).
  EXPECT_FALSE(sim_->Wait("subject=zt.log&match=decoded.module=sshd&since=" + since_, 1,
                          std::chrono::seconds(1)));
}

TEST_F(CloudSimLiveTest, PushesReachTheAgentAsGivenOrMutated) {
  natsSubscription* sub = nullptr;
  ASSERT_EQ(natsConnection_SubscribeSync(&sub, agent_, "zt.cmd.025a00000001"), NATS_OK);
  natsConnection_Flush(agent_);
  std::string body = R"({"to":"commandGroup:0","request":false,
      "envelope":{"_cmd":{"transid":"p1","command":"REBOOT","data":""}},"mutate":{"truncate":5}})";
  JsonPtr answer = sim_->CallJson("POST", "/v1/push", body);
  ASSERT_TRUE(answer);
  natsMsg* msg = nullptr;
  ASSERT_EQ(natsSubscription_NextMsg(&msg, sub, 5000), NATS_OK);
  EXPECT_EQ(natsMsg_GetDataLength(msg), 5);
  natsMsg_Destroy(msg);
  natsSubscription_Destroy(sub);
  // Unknown targets and types are refused.
  EXPECT_EQ(sim_->Call("POST", "/v1/push", R"({"to":"nowhere","raw_b64":"AA=="})").status, 400);
  EXPECT_EQ(
      sim_->Call("POST", "/v1/push", R"({"to":"subject:x","type":"Nope","envelope":{}})").status,
      400);
}

TEST_F(CloudSimLiveTest, ServerRestartIsRecordedAndClientsComeBack) {
  ASSERT_EQ(sim_->Call("POST", "/v1/nats/restart", R"({"down_ms":200})").status, 200);
  ASSERT_TRUE(sim_->Wait("kind=nats.server&match=event=start&since=" + since_, 1,
                         std::chrono::seconds(250)));
  std::string reply;
  ASSERT_TRUE(WaitFor([&] { return Request("zt.event", "e", &reply, 500) == NATS_OK; },
                      std::chrono::seconds(10)));
  EXPECT_EQ(reply, std::string("ACK\0", 4));
  EXPECT_EQ(sim_->Call("GET", "/v1/ready").status, 200);
}

}  // namespace
}  // namespace zctest
