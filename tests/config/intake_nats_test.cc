// The intake on a real connection: the subscription table from the stored subjects, its limit,
// and subjects that stay subscribed when the stored keys change afterwards.
#include "nats/nats_test_env.h"

#include "config/config.h"
#include "config/config_internal.h"

namespace zctest {
namespace {

using cloudsim::JsonPtr;

class IntakeNatsTest : public NatsTest {
 protected:
  void SetUp() override {
    NatsTest::SetUp();
    cloud_ = &SharedCloud();
    ASSERT_TRUE(cloud_->ok()) << cloud_->error();
    SetStringKVP("device_mac_addr", kTestMac);
    SetStringKVP("nats.publishSubject.configResponse", "zt.configresp");
  }
  void TearDown() override {
    // Subscriptions end with the connection.
    NatsTest::TearDown();
  }

  // Pushes an unknown command to subject; the push's status text.
  std::string Push(const std::string& subject, const std::string& transid) {
    JsonPtr r = cloud_->CallJson(
        "POST", "/v1/push",
        R"({"to": "subject:)" + subject + R"(", "envelope": {"_cmd": {"transid": ")" + transid +
            R"(", "command": "nothing", "data": ""}}, "await": {"timeout_ms": 250000}})");
    json_object* responses = cloudsim::Member(r.get(), "responses");
    if (responses && json_object_array_length(responses) == 1) return "answered";
    return cloudsim::StringMember(r.get(), "status").value_or("?");
  }

  CloudSimFixture* cloud_ = nullptr;
};

TEST_F(IntakeNatsTest, TwentySubjectsAtMostAndTheyOutliveTheirKeys) {
  ASSERT_EQ(Connect(NatsCmdConn, Config(SharedServer().url(), "nats_cmd_connection")), 0);
  SetStringKVP("logicalLocation", "it.dll");
  SetStringKVP("nats.subscribeSubject.commandGroup.count", "25");
  for (int i = 0; i < 25; ++i) {
    SetStringKVP("nats.subscribeSubject.commandGroup." + std::to_string(i),
                 "it.cmd." + std::to_string(i));
  }
  ASSERT_EQ(ConfigInit(loop_->base()), 0);
  SyncWithServer(NatsCmdConn);

  // A later sign-on rewrites (or drops) the keys: the subscriptions keep their own subjects.
  for (int i = 0; i < 25; ++i) {
    SetStringKVP("nats.subscribeSubject.commandGroup." + std::to_string(i), std::string(300, 'x'));
  }
  RemoveKVP("logicalLocation");
  EXPECT_EQ(Push("it.dll", "k1"), "answered");
  EXPECT_EQ(Push("it.cmd.18", "k2"), "answered");  // slot 19, the last one
  EXPECT_EQ(Push("it.cmd.19", "k3"), "No responders available for request");
  EXPECT_EQ(Push("it.cmd.24", "k4"), "No responders available for request");
  JsonPtr answers = cloud_->Records("type=CONFIGRESP&transid=k2");
  ASSERT_EQ(json_object_array_length(answers.get()), 1u);
  EXPECT_EQ(cloudsim::ScalarText(
                cloudsim::PathGet(json_object_array_get_idx(answers.get(), 0), "decoded.err_msg")),
            "Invalid config command");
}

TEST_F(IntakeNatsTest, MissingNumberedKeySubscribesNothing) {
  ASSERT_EQ(Connect(NatsCmdConn, Config(SharedServer().url(), "nats_cmd_connection")), 0);
  SetStringKVP("logicalLocation", "it.none");
  SetStringKVP("nats.subscribeSubject.commandGroup.count", "2");
  SetStringKVP("nats.subscribeSubject.commandGroup.0", "it.none.0");
  EXPECT_EQ(ConfigInit(loop_->base()), -1);
  SyncWithServer(NatsCmdConn);
  EXPECT_EQ(Push("it.none", "n1"), "No responders available for request");
}

}  // namespace
}  // namespace zctest
