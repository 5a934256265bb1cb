// Shared set-up of the NATS session tests: one TLS nats-server with monitoring and one cloud
// simulator per test process (each started on first use), a fresh router root and main loop per
// test.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "nats/nats_session.h"
#include "support/cloudsim_fixture.h"
#include "support/nats_fixture.h"
#include "support/temp_root.h"
#include "utils/kvp.h"
#include "utils/timescale.h"

namespace zctest {

inline constexpr const char* kTestMac = "02:5A:00:00:00:01";
inline constexpr double kTestTimeScale = 0.02;

// Started on first use, so tests that need only the server do not wait for the simulator.
inline NatsServerFixture& SharedServer() {
  static NatsServerFixture server(NatsServerFixture::Options{.tls = true, .monitor = true});
  return server;
}

inline CloudSimFixture& SharedCloud() {
  static CloudSimFixture cloud([] {
    CloudSimFixture::Options o;
    o.natsUrl = SharedServer().url();
    o.tls = true;
    o.caFile = SharedTestPki().caFile;
    o.mac = kTestMac;
    return o;
  }());
  return cloud;
}

inline void EnsureNatsLib() {
  // Closed (its threads joined) before OpenSSL's own exit handler, registered while the library
  // opened, frees the locks those threads may still take.
  static bool opened = [] {
    if (NatsLibInit() != 0) return false;
    std::atexit([] { NatsLibClose(); });
    return true;
  }();
  ASSERT_TRUE(opened);
}

// Returns once the server has processed everything the record sent so far (SUB, UNSUB, PUB):
// a round trip from the test thread, which the main loop serves.
inline void SyncWithServer(const NatsConnContext& record) {
  zc::nats::ConnectionRef c = record.Connection();
  ASSERT_TRUE(c);
  ASSERT_EQ(natsConnection_FlushTimeout(c.get(), 5000), NATS_OK);
}

class NatsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zc::SetTimeScaleForTest(kTestTimeScale);
    EnsureNatsLib();
    root_ = std::make_unique<TempRoot>();
    ASSERT_TRUE(NatsServerFixture::InstallCa(root_->path()));
    ResetKVPForTest();
    loop_ = std::make_unique<LoopThread>();
  }

  void TearDown() override {
    loop_->Run([] {
      NatsCleanUp();
      NatsDestroy(nats_bootstrap);
      for (NatsConnContext* r : {&nats_bootstrap, &nats_msg, &NatsCmdConn, &nats_edge}) {
        r->Clear();
      }
    });
    loop_.reset();
    root_.reset();
  }

  static NatsConnConfig Config(const std::string& url, const char* namePart, bool tls = true) {
    NatsConnConfig c;
    c.name = std::string(kTestMac) + "-" + namePart;
    c.url = url;
    c.tlsEnabled = tls;
    c.pingIntervalMs = 30000;
    c.maxPings = 4;
    return c;
  }

  // Opens a record on the loop thread, as the main timer does.
  int Connect(NatsConnContext& record, const NatsConnConfig& config) {
    int rc = -1;
    loop_->Run([&] { rc = NatsConnInit(loop_->base(), record, config); });
    return rc;
  }
  void Destroy(NatsConnContext& record) {
    loop_->Run([&] { NatsDestroy(record); });
  }

  std::unique_ptr<TempRoot> root_;
  std::unique_ptr<LoopThread> loop_;
};

}  // namespace zctest
