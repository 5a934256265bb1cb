// The main timer's connection steps against a real nats-server, ticked by hand between the
// settings writes of sign-on (which runs on its own thread in the agent).
#include <event2/event.h>

#include <string>
#include <vector>

#include "main/timers.h"
#include "nats/nats_test_env.h"
#include "signon/signon.h"
#include "signon/signon_keys.h"
#include "utils/agent_state.h"
#include "utils/identity_keys.h"

namespace zctest {
namespace {

size_t ServerConnections(int monitorPort) {
  HttpResponse r = HttpCall(monitorPort, "GET", "/connz");
  cloudsim::JsonPtr connz = cloudsim::ParseJson(r.body);
  json_object* list = cloudsim::Member(connz.get(), "connections");
  size_t n = 0;
  for (size_t i = 0; list && i < json_object_array_length(list); ++i) {
    auto name = cloudsim::StringMember(json_object_array_get_idx(list, i), "name");
    if (name && name->rfind(kTestMac, 0) == 0) ++n;
  }
  return n;
}

class MainTimerTest : public NatsTest {
 protected:
  void SetUp() override {
    NatsTest::SetUp();
    SetStringKVP(kKeyDeviceMacAddr, kTestMac);
    const std::string port = std::to_string(SharedServer().port());
    for (const std::string p : {kKeyConnInfoMsgPrefix, kKeyConnInfoCmdPrefix}) {
      SetStringKVP(p + kKeyConnInfoUrl, "127.0.0.1");
      SetStringKVP(p + kKeyConnInfoPort, port);
      SetStringKVP(p + kKeyConnInfoTlsEnabled, "1");
      SetStringKVP(p + kKeyConnInfoPingInterval, "30");
      SetStringKVP(p + kKeyConnInfoMaxPing, "4");
      SetStringKVP(p + kKeyConnInfoAllow, "true");
    }
    gUseSingleNats.store(true);
    auto ok = [](event_base*) { return 0; };
    SetModuleInitsForTest({ok, ok, ok});
    loop_->Run([this] { ASSERT_EQ(CreateMainTimer(loop_->base()), 0); });
  }
  void TearDown() override {
    SetModuleInitsForTest({});
    loop_->Run([] { DestroyMainTimer(); });
    NatsTest::TearDown();
  }
  void Tick() {
    loop_->Run([] { UpdateMainTimer(-1, 0, nullptr); });
  }
};

// A tick that sees the command URL before the message connection is up waits for it: in
// single-connection mode the agent holds one connection, never a second one for commands.
TEST_F(MainTimerTest, TickBetweenTheUrlWritesOpensOneConnectionInSingleMode) {
  // Sign-on writes the message URL first.
  std::vector<std::string> order;
  StoreConnectionUrls([&](const char* key) { order.push_back(key); });
  EXPECT_EQ(order, (std::vector<std::string>{kKeyNatsMsgUrl, kKeyNatsCmdUrl, kKeyNatsEdgeUrl}));
  const std::string msgUrl = *GetStringKVP(kKeyNatsMsgUrl);
  const std::string cmdUrl = *GetStringKVP(kKeyNatsCmdUrl);
  for (const char* key : {kKeyNatsMsgUrl, kKeyNatsCmdUrl, kKeyNatsEdgeUrl}) RemoveKVP(key);

  // Its thread races the timer, so a tick may still see the command URL before the message step
  // has run: the command step waits for it.
  SetStringKVP(kKeyNatsCmdUrl, cmdUrl);
  Tick();
  EXPECT_FALSE(NatsCmdConn.IsConnected());
  EXPECT_TRUE(GetStringKVP(kKeyNatsCmdUrl));
  SetStringKVP(kKeyNatsMsgUrl, msgUrl);
  Tick();
  EXPECT_TRUE(nats_msg.IsConnected());
  EXPECT_TRUE(NatsCmdConn.IsAlias());
  EXPECT_FALSE(GetStringKVP(kKeyNatsCmdUrl));
  EXPECT_EQ(gZunCoreInitStatus.load(), 2);
  EXPECT_TRUE(WaitFor([] { return ServerConnections(SharedServer().monitorPort()) == 1; }))
      << ServerConnections(SharedServer().monitorPort());
}

}  // namespace
}  // namespace zctest
