// Opening connections against a real nats-server: options as the server sees them, the
// connection log, trust file, server lists, statistics.
#include <regex>

#include "nats_test_env.h"
#include "support/ports.h"
#include "utils/files.h"
#include "utils/paths.h"

namespace zctest {
namespace {

using cloudsim::JsonPtr;

// The server's view of a client, by name (nullptr when not connected).
JsonPtr ServerConnection(int monitorPort, const std::string& name) {
  HttpResponse r = HttpCall(monitorPort, "GET", "/connz");
  JsonPtr connz = cloudsim::ParseJson(r.body);
  json_object* list = cloudsim::Member(connz.get(), "connections");
  for (size_t i = 0; list && i < json_object_array_length(list); ++i) {
    json_object* c = json_object_array_get_idx(list, i);
    if (cloudsim::StringMember(c, "name") == name) return cloudsim::JsonRef(c);
  }
  return nullptr;
}

using NatsConnectTest = NatsTest;

TEST_F(NatsConnectTest, OpensWithNameTlsAndLogsTheConnection) {
  NatsServerFixture& server = SharedServer();
  NatsConnConfig cfg = Config(server.url(), "nats_msg_connection");
  ASSERT_EQ(Connect(nats_msg, cfg), 0);
  EXPECT_TRUE(nats_msg.IsConnected());
  EXPECT_GT(nats_msg.ClientId(), 0u);
  EXPECT_EQ(nats_msg.Name(), "02:5A:00:00:00:01-nats_msg_connection");

  JsonPtr seen;
  ASSERT_TRUE(WaitFor(
      [&] { return (seen = ServerConnection(server.monitorPort(), cfg.name)) != nullptr; }));
  EXPECT_EQ(cloudsim::IntMember(seen.get(), "cid").value_or(0),
            static_cast<int64_t>(nats_msg.ClientId()));
  EXPECT_FALSE(cloudsim::StringMember(seen.get(), "tls_version").value_or("").empty());

  nats_conn_log(nats_msg, NATS_CONN_EVENT_CONNECTED);
  nats_conn_log(nats_msg, 7);  // other events write nothing
  std::string log = root_->Read("/tmp/zuncorenatsconn");
  std::regex line(
      R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d name:02:5A:00:00:00:01-nats_msg_connection cid:)" +
      std::to_string(nats_msg.ClientId()) + " :connected\n$");
  EXPECT_TRUE(std::regex_match(log, line)) << log;
  EXPECT_EQ(NatsClientIP(nats_msg).value_or(""), "127.0.0.1");
}

TEST_F(NatsConnectTest, TrustFileIsNeededEvenWithoutTls) {
  NatsServerFixture plain;
  ASSERT_TRUE(plain.ok()) << plain.error();
  ASSERT_EQ(Connect(nats_edge, Config(plain.url(), "nats_edge_connection", false)), 0);
  Destroy(nats_edge);

  ASSERT_EQ(zc::RemoveFile(root_->path() + "/tmp/cacert.pem"), 0);
  StdoutCapture out;
  EXPECT_EQ(Connect(nats_edge, Config(plain.url(), "nats_edge_connection", false)), -1);
  EXPECT_FALSE(nats_edge.IsConnected());
  std::string text = out.Text();
  EXPECT_NE(text.find("NatsConnInit: natsOptions_LoadCATrustedCertificates Fail -"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("NatsConnInit: nats connection fail"), std::string::npos);
}

TEST_F(NatsConnectTest, TenServersConnectElevenAreRefused) {
  NatsServerFixture plain;
  ASSERT_TRUE(plain.ok()) << plain.error();
  std::string ten = plain.url();
  for (int i = 1; i < 10; ++i) ten += "," + plain.url();
  EXPECT_EQ(Connect(nats_msg, Config(ten, "nats_msg_connection", false)), 0);

  StdoutCapture out;
  EXPECT_EQ(Connect(nats_edge, Config(ten + "," + plain.url(), "nats_edge_connection", false)), -1);
  EXPECT_NE(out.Text().find("NatsConnInit: natsOptions_SetServers Fail -"), std::string::npos);
}

TEST_F(NatsConnectTest, UnreachableServerFailsAndTlsIsRequiredWhenAsked) {
  int unused = zctest::FreePort();
  StdoutCapture out;
  EXPECT_EQ(Connect(nats_msg,
                    Config("nats://127.0.0.1:" + std::to_string(unused), "nats_msg_connection")),
            -1);
  EXPECT_NE(out.Text().find("NatsConnInit: natsConnection_Connect Fail -"), std::string::npos);

  // A client that requires TLS refuses a server without it.
  NatsServerFixture plain;
  ASSERT_TRUE(plain.ok()) << plain.error();
  EXPECT_EQ(Connect(nats_msg, Config(plain.url(), "nats_msg_connection", true)), -1);
}

TEST_F(NatsConnectTest, StatisticsOfConnectedRecordsOnly) {
  ASSERT_EQ(Connect(NatsCmdConn, Config(SharedServer().url(), "nats_cmd_connection")), 0);
  ASSERT_EQ(_natsConnection_Publish(NatsCmdConn, "zt.stats.test", "x", 1), NATS_OK);
  StdoutCapture out;
  EXPECT_EQ(NatsStats(NatsCmdConn), 0);
  EXPECT_EQ(NatsStats(nats_edge), -1);
  std::string text = out.Text();
  EXPECT_NE(text.find("NATS Usage ConnName:02:5A:00:00:00:01-nats_cmd_connection InMsgs: 0 "
                      "InBytes: 0 OutMsgs: 1 OutBytes: 1 Delivered: 0 Pending: 0 Dropped: 0 "
                      "Reconnected: 0"),
            std::string::npos)
      << text;
  // After the statistics object is gone the figures cannot be read.
  NatsDestroyStats(NatsCmdConn);
  EXPECT_EQ(NatsStats(NatsCmdConn), -1);
}

}  // namespace
}  // namespace zctest
