// Connections over their life: server restarts, closes by the library and on purpose, the
// single-connection alias, and teardown while other threads publish.
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "nats_test_env.h"
#include "utils/files.h"
#include "utils/paths.h"

namespace zctest {
namespace {

using cloudsim::JsonPtr;

// Occupies client ids so the next connection's id differs from what a restarted server hands
// out first.
void UseUpClientIds(const std::string& url, int n) {
  for (int i = 0; i < n; ++i) {
    natsConnection* nc = nullptr;
    if (natsConnection_ConnectTo(&nc, url.c_str()) == NATS_OK) natsConnection_Destroy(nc);
  }
}

int CountLines(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) {
    ++n;
  }
  return n;
}

using NatsLifecycleTest = NatsTest;

TEST_F(NatsLifecycleTest, ServerRestartReconnectsWithNewClientIdAndMessagesFlowAgain) {
  NatsServerFixture server;
  ASSERT_TRUE(server.ok()) << server.error();
  UseUpClientIds(server.url(), 5);
  ASSERT_EQ(Connect(NatsCmdConn, Config(server.url(), "nats_cmd_connection", false)), 0);
  const uint64_t before = NatsCmdConn.ClientId();
  ASSERT_GE(before, 6u);

  StdoutCapture out;
  ASSERT_TRUE(server.Restart(std::chrono::milliseconds(100))) << server.error();
  const std::string logFile = root_->path() + "/tmp/zuncorenatsconn";
  ASSERT_TRUE(WaitFor([&] {
    return zc::ReadFile(logFile).value_or("").find(":reconnected") != std::string::npos;
  }));
  const uint64_t after = NatsCmdConn.ClientId();
  EXPECT_NE(after, before);
  std::string name = "02:5A:00:00:00:01-nats_cmd_connection";
  EXPECT_NE(zc::ReadFile(logFile).value_or("").find(
                "name:" + name + " cid:" + std::to_string(after) + " :reconnected"),
            std::string::npos);
  ASSERT_TRUE(WaitFor([&] {
    return out.Text().find("nats CMD Reconnection Success cname:" + name +
                           " cid:" + std::to_string(after)) != std::string::npos;
  }));
  EXPECT_NE(out.Text().find("disconnCB: nats disconnected"), std::string::npos);

  // Messages flow again both ways.
  natsConnection* peer = nullptr;
  ASSERT_EQ(natsConnection_ConnectTo(&peer, server.url().c_str()), NATS_OK);
  natsSubscription* sub = nullptr;
  ASSERT_EQ(natsConnection_SubscribeSync(&sub, peer, "zt.after.restart"), NATS_OK);
  natsConnection_Flush(peer);
  ASSERT_EQ(_natsConnection_Publish(NatsCmdConn, "zt.after.restart", "up", 2, {kZunProtoV1}),
            NATS_OK);
  natsMsg* msg = nullptr;
  EXPECT_EQ(natsSubscription_NextMsg(&msg, sub, 5000), NATS_OK);
  natsMsg_Destroy(msg);
  natsSubscription_Destroy(sub);
  natsConnection_Destroy(peer);
}

// ---- closes that end the process, and closes that must not ----

// A router root shared by a death test and its child (which re-runs the test body).
class DeathRoot {
 public:
  DeathRoot() {
    if (const char* inherited = getenv("ZC_DEATH_ROOT")) {
      path_ = inherited;
    } else {
      std::string pattern = "/tmp/zc-death-XXXXXX";
      path_ = mkdtemp(pattern.data());
      setenv("ZC_DEATH_ROOT", path_.c_str(), 1);
      owner_ = true;
    }
    std::filesystem::create_directories(path_ + "/tmp");
    NatsServerFixture::InstallCa(path_);
  }
  ~DeathRoot() {
    if (!owner_) return;
    unsetenv("ZC_DEATH_ROOT");
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string ExitLine() const { return zc::ReadFile(path_ + "/tmp/zuncore_exit").value_or(""); }

 private:
  std::string path_;
  bool owner_ = false;
};

// Child side: an agent-like process with its loop and a message connection.
struct ChildAgent {
  explicit ChildAgent(const std::string& root) : tmp(UseTmpUnder(root)) {
    setenv("ZUNCORE_ROOT", root.c_str(), 1);
    zc::ReloadRootFromEnv();
    zc::SetTimeScaleForTest(kTestTimeScale);
    if (NatsLibInit() != 0) _exit(90);
    if (!server.ok()) _exit(91);
    loop = std::make_unique<LoopThread>();
  }
  int Connect(NatsConnContext& record, const char* part) {
    NatsConnConfig c;
    c.name = std::string(kTestMac) + "-" + part;
    c.url = server.url();
    int rc = -1;
    loop->Run([&] { rc = NatsConnInit(loop->base(), record, c); });
    return rc;
  }
  // The child ends with _exit: its temporary files go under the root the parent removes.
  static bool UseTmpUnder(const std::string& root) {
    std::filesystem::create_directories(root + "/scratch");
    return setenv("TMPDIR", (root + "/scratch").c_str(), 1) == 0;
  }

  bool tmp;
  NatsServerFixture server;
  std::unique_ptr<LoopThread> loop;
};

constexpr int kStillAlive = 42;

TEST(NatsCloseDeathTest, OperationalConnectionClosedByTheLibraryEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  DeathRoot root;
  EXPECT_EXIT(
      {
        ChildAgent agent(root.path());
        if (agent.Connect(nats_msg, "nats_msg_connection") != 0) _exit(92);
        // What the library does when it gives up on a connection.
        natsConnection_Close(nats_msg.Connection().get());
        std::this_thread::sleep_for(std::chrono::seconds(10));
        _exit(kStillAlive);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_NE(root.ExitLine().find("ExitStatus:closedCB: nats connection close"), std::string::npos)
      << root.ExitLine();
}

TEST(NatsCloseDeathTest, ServerGoneForGoodEndsTheProcessAfterTheReconnectAttempts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  DeathRoot root;
  EXPECT_EXIT(
      {
        ChildAgent agent(root.path());
        if (agent.Connect(NatsCmdConn, "nats_cmd_connection") != 0) _exit(92);
        agent.server.Stop();
        std::this_thread::sleep_for(std::chrono::seconds(30));
        _exit(kStillAlive);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_NE(root.ExitLine().find("ExitStatus:closedCB: nats connection close"), std::string::npos)
      << root.ExitLine();
}

TEST(NatsCloseDeathTest, TeardownOnPurposeAndBootstrapClosesKeepTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  DeathRoot root;
  EXPECT_EXIT(
      {
        ChildAgent agent(root.path());
        if (agent.Connect(nats_bootstrap, "nats_bootstrap_connection") != 0) _exit(92);
        if (agent.Connect(nats_msg, "nats_msg_connection") != 0) _exit(93);
        // The main timer's teardown of the bootstrap connection, then the end-of-process one.
        agent.loop->Run([] {
          nats_conn_log(nats_bootstrap, NATS_CONN_EVENT_DESTROYED);
          NatsDestroy(nats_bootstrap);
          nats_bootstrap.ClearName();
          NatsCleanUp();
        });
        // A bootstrap connection the library gives up on is not fatal either.
        if (agent.Connect(nats_bootstrap, "nats_bootstrap_connection") != 0) _exit(94);
        natsConnection_Close(nats_bootstrap.Connection().get());
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        _exit(kStillAlive);
      },
      ::testing::ExitedWithCode(kStillAlive), "");
  EXPECT_EQ(root.ExitLine(), "");
}

// ---- single-connection mode and teardown while publishing ----

TEST_F(NatsLifecycleTest, SingleConnectionAliasIsUsedButNeverTornDownTwice) {
  NatsServerFixture server;
  ASSERT_TRUE(server.ok()) << server.error();
  ASSERT_EQ(Connect(nats_msg, Config(server.url(), "nats_msg_connection", false)), 0);
  NatsCmdConn.SetAliasOf(nats_msg);
  EXPECT_TRUE(NatsCmdConn.IsAlias());
  EXPECT_EQ(NatsCmdConn.Connection().get(), nats_msg.Connection().get());
  EXPECT_EQ(NatsCmdConn.Name(), nats_msg.Name());
  EXPECT_EQ(NatsCmdConn.ClientId(), nats_msg.ClientId());
  EXPECT_EQ(_natsConnection_Publish(NatsCmdConn, "zt.configresp", "r", 1), NATS_OK);
  EXPECT_EQ(NatsStats(NatsCmdConn), 0);

  loop_->Run([] { NatsCleanUp(); });
  EXPECT_FALSE(nats_msg.IsConnected());
  EXPECT_FALSE(NatsCmdConn.IsAlias());
  std::string log = root_->Read("/tmp/zuncorenatsconn");
  EXPECT_EQ(CountLines(log, ":destroyed"), 1) << log;
  EXPECT_EQ(CountLines(log, "nats_msg_connection"), 1) << log;

  // An alias of a record that never connected has no connection, and tears down cleanly.
  NatsCmdConn.SetAliasOf(nats_msg);
  EXPECT_FALSE(NatsCmdConn.IsConnected());
  EXPECT_EQ(_natsConnection_Publish(NatsCmdConn, "zt.configresp", "r", 1), NATS_CONNECTION_CLOSED);
  loop_->Run([] { NatsCleanUp(); });
}

// The journal's choice of connection across the end of start-up: publishers take the bootstrap
// handle under the record's lock while the main loop tears that connection down.
TEST_F(NatsLifecycleTest, TeardownWhilePublishersRunNeverFreesAHandleInUse) {
  NatsServerFixture server;
  ASSERT_TRUE(server.ok()) << server.error();
  ASSERT_EQ(Connect(nats_bootstrap, Config(server.url(), "nats_bootstrap_connection", false)), 0);
  ASSERT_EQ(Connect(nats_msg, Config(server.url(), "nats_msg_connection", false)), 0);
  std::atomic<bool> initDone{false}, stop{false};
  std::atomic<int> onBootstrap{0}, onMessage{0}, dropped{0};
  std::vector<std::thread> publishers;
  for (int t = 0; t < 4; ++t) {
    publishers.emplace_back([&] {
      while (!stop) {
        if (initDone) {
          if (_natsConnection_Publish(nats_msg, "zt.log", "j", 1, {kZunProtoV1}) == NATS_OK) {
            ++onMessage;
          }
        } else if (zc::nats::ConnectionRef c = nats_bootstrap.Connection()) {
          if (_natsConnection_Publish(c.get(), "zt.journal.boot", "j", 1, {kZunProtoV1}) ==
              NATS_OK) {
            ++onBootstrap;
          }
        } else {
          ++dropped;
        }
        // Same record, another path: the record overload takes its own reference.
        _natsConnection_Publish(nats_bootstrap, "zt.journal.boot", "j", 1, {kZunProtoV1});
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  loop_->Run([&] {
    initDone = true;
    nats_conn_log(nats_bootstrap, NATS_CONN_EVENT_DESTROYED);
    NatsDestroy(nats_bootstrap);
    nats_bootstrap.ClearName();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  stop = true;
  for (std::thread& t : publishers) t.join();
  EXPECT_GT(onBootstrap, 0);
  EXPECT_GT(onMessage, 0);
  EXPECT_FALSE(nats_bootstrap.IsConnected());
  EXPECT_EQ(nats_bootstrap.Name(), "");
}

}  // namespace
}  // namespace zctest
