// Fixture of the real-peer tests of the upstream client: a temporary directory, peers started
// and stopped by pid, the client run against them with the time scale at 0.2.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "dns/upstream/upstream_client.h"
#include "dns_upstream/upstream_test_util.h"
#include "support/dns_peers.h"
#include "utils/timescale.h"

namespace zctest {

inline constexpr double kTestTimeScale = 0.2;
// A query that gets no answer ends after four sends 500 ms apart (scaled): allow a margin.
inline constexpr std::chrono::milliseconds kQueryDeadline{3000};

class UpstreamPeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zc::SetTimeScaleForTest(kTestTimeScale);
    dir_ = MakeTempDir("upstream");
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override {
    if (client_) client_->Stop();
    client_.reset();
    peers_.clear();
    RemoveTree(dir_);
    zc::SetTimeScaleForTest(1.0);
  }

  ChildProcess& StartPeer(const std::vector<std::string>& argv, const std::string& log) {
    peers_.push_back(std::make_unique<ChildProcess>());
    EXPECT_TRUE(peers_.back()->Start(argv, dir_ + "/" + log));
    return *peers_.back();
  }

  // A fault_upstream on a free port; returns the port (its query log is fault-<port>.log).
  int StartFault(std::vector<std::string> options) {
    int port = FreePort();
    std::vector<std::string> argv = {PeerProgram("fault_upstream"), "--port", std::to_string(port),
                                     "--log", FaultLog(port)};
    argv.insert(argv.end(), options.begin(), options.end());
    StartPeer(argv, "fault-" + std::to_string(port) + ".out");
    EXPECT_TRUE(WaitForTcp(port, std::chrono::seconds(3)));
    return port;
  }
  std::string FaultLog(int port) const { return dir_ + "/fault-" + std::to_string(port) + ".log"; }
  std::vector<std::string> LogLines(const std::string& path) const {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  static zc::dns::UpstreamServerConfig Server(const std::string& host, int port,
                                              zc::dns::UpstreamType type,
                                              std::vector<std::string> groups = {},
                                              bool exclude_default = false) {
    zc::dns::UpstreamServerConfig s;
    s.host = host;
    s.port = static_cast<uint16_t>(port);
    s.type = type;
    s.groups = std::move(groups);
    s.exclude_default_group = exclude_default;
    return s;
  }

  zc::dns::UpstreamClient& StartClient(zc::dns::UpstreamClientConfig config) {
    client_ = std::make_unique<zc::dns::UpstreamClient>(std::move(config), loop_.Post());
    std::string error;
    EXPECT_TRUE(client_->Start(&error)) << error;
    return *client_;
  }

  // Sends a query; the outcome stays valid until the end of the test.
  Outcome& Ask(const std::string& group, const std::string& name, uint16_t qtype,
               uint16_t id = 0x4242) {
    outcomes_.emplace_back();
    Outcome& outcome = outcomes_.back();
    std::vector<uint8_t> query = BuildQuery(name, qtype, id);
    zc::dns::UpstreamQueryId handle = client_->Query(group, query, outcome.Callback());
    EXPECT_NE(handle, 0u) << name;
    if (handle == 0) outcome.done = true;
    return outcome;
  }

  bool WaitDone(const Outcome& outcome) {
    return loop_.RunUntil([&] { return outcome.done; }, kQueryDeadline);
  }
  bool WaitAllDone() {
    return loop_.RunUntil(
        [&] {
          for (const Outcome& o : outcomes_) {
            if (!o.done) return false;
          }
          return true;
        },
        kQueryDeadline);
  }

  std::string dir_;
  EngineLoop loop_;
  std::unique_ptr<zc::dns::UpstreamClient> client_;
  std::vector<std::unique_ptr<ChildProcess>> peers_;
  std::deque<Outcome> outcomes_;
};

}  // namespace zctest
