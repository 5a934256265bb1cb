// The agent's engine under the internet-security switch: the switch restarts the engine in place
// (cooperative stop, then start) while clients keep asking and lookups are held; answers go on,
// no descriptor leaks, no pending lookup outlives its engine.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "config/profileutils.h"
#include "dns/filter/dns_histogram.h"
#include "dns/filter/zuncoredns.h"
#include "filter/profile_builder.h"
#include "support/dns_peers.h"
#include "support/netns.h"
#include "support/temp_root.h"

namespace {

using namespace std::chrono_literals;

size_t OpenDescriptors() {
  size_t n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

// One A query for a.test to the router's address; true when an answer came within the wait.
bool AskOnce(int fd, uint16_t id, std::chrono::milliseconds wait) {
  uint8_t q[] = {static_cast<uint8_t>(id >> 8),
                 static_cast<uint8_t>(id),
                 1,
                 0,
                 0,
                 1,
                 0,
                 0,
                 0,
                 0,
                 0,
                 0,
                 1,
                 'a',
                 4,
                 't',
                 'e',
                 's',
                 't',
                 0,
                 0,
                 1,
                 0,
                 1};
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(53);
  inet_pton(AF_INET, "192.168.1.1", &to.sin_addr);
  if (sendto(fd, q, sizeof q, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) return false;
  auto until = std::chrono::steady_clock::now() + wait;
  uint8_t answer[512];
  while (std::chrono::steady_clock::now() < until) {
    timeval tv{0, 20000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ssize_t n = recv(fd, answer, sizeof answer, 0);
    if (n >= 12 && answer[0] == q[0] && answer[1] == q[1]) return true;
  }
  return false;
}

TEST(EngineRestart, InternetSecuritySwitchRestartsCleanlyUnderLoad) {
  ASSERT_TRUE(zctest::InPrivateNetwork()) << "needs the router namespace";
  std::string dir = zctest::MakeTempDir("filter-restart");
  zctest::ChildProcess unbound;
  zctest::UnboundOptions uo;
  uo.port = zctest::FreePort();
  ASSERT_TRUE(zctest::StartUnbound(dir, uo, &unbound));
  {
    zctest::TempRoot root;
    root.Write("/tmp/zundns.conf",
               "bind 192.168.1.1:53\nserver 127.0.0.1:" + std::to_string(uo.port) +
                   "\ncache-size 0\nspeed-check-mode none\nlog-level info\n");
    root.Write("/tmp/safeurl.txt", "");
    zc::filter::SetDnsmasqStopperForTest([] {});
    // Every query of this client is held for a classification that a slow fake edge answers.
    zc::filter::SetMacResolverForTest(
        [](const sockaddr_storage&) { return std::string("02:00:00:00:00:01"); });
    std::atomic<bool> stop{false};
    std::vector<std::vector<uint8_t>> edgeQueue;
    std::mutex edgeMutex;
    zc::filter::SetEdgePublisherForTest(
        [&](const char*, const char*, const std::vector<uint8_t>& payload) {
          std::lock_guard lock(edgeMutex);
          edgeQueue.push_back(payload);
          return 0;
        });
    std::thread edge([&] {
      while (!stop) {
        std::vector<std::vector<uint8_t>> batch;
        {
          std::lock_guard lock(edgeMutex);
          batch.swap(edgeQueue);
        }
        for (auto& p : batch) EdgeResponseCallBack(p.data(), static_cast<int>(p.size()));
        std::this_thread::sleep_for(5ms);
      }
    });
    zctest::InstallQuietStationOps();
    zc::profiles::SetAnswerSink([](const char*, const char*) {});
    zctest::ProfileBuilder kid;
    kid.Mac("02:00:00:00:00:01").Adblock(true).Category(20);
    ASSERT_EQ(UpdateProfile(kid.Build()), 0);
    zc::filter::SetFlagsForTest(true, true, false);
    zc::profiles::SetInternetSecuritySwitch(zc::filter::RestartEngine);
    ASSERT_EQ(DnsServerInit(nullptr), 0);

    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(AskOnce(fd, 1, 2s));
    // Upstream round trips are counted (no cache here: every query goes upstream).
    uint64_t upstreamSamples = 0;
    for (uint32_t c : DohHistoGram.Snapshot()) upstreamSamples += c;
    EXPECT_GE(upstreamSamples, 1u);
    std::atomic<uint64_t> answered{0}, asked{0};
    std::thread load([&] {
      int lfd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      for (uint16_t id = 100; !stop; ++id) {
        asked++;
        if (AskOnce(lfd, id, 200ms)) answered++;
      }
      close(lfd);
    });
    size_t fdsAfterFirst = 0;
    for (int i = 0; i < 20; ++i) {
      zctest::ProfileBuilder toggle("isec-" + std::to_string(i));
      toggle.InternetSec(i % 2 == 0);
      ASSERT_EQ(UpdateProfile(toggle.Build()), 0) << "toggle " << i;
      EXPECT_TRUE(zc::filter::EngineRunning());
      EXPECT_TRUE(AskOnce(fd, static_cast<uint16_t>(10 + i), 1s)) << "no answer after toggle " << i;
      if (i == 1) fdsAfterFirst = OpenDescriptors();
      std::this_thread::sleep_for(50ms);  // the load runs between toggles
    }
    EXPECT_LE(OpenDescriptors(), fdsAfterFirst + 2);  // the load socket may come and go
    stop = true;
    load.join();
    edge.join();
    EXPECT_GT(answered.load(), asked.load() / 2) << answered << " of " << asked;
    // Nothing is left pending for an engine that is gone.
    zc::filter::ShutdownDns();
    EXPECT_EQ(zc::filter::Pending().size(), 0u);
    EXPECT_FALSE(zc::filter::EngineRunning());
    // The engine keeps its own log inside the agent too: under the root, a start and a stop line
    // for each of its 21 runs, appended to one file.
    std::string log = root.Read("/tmp/zundns.log");
    size_t starts = 0, stops = 0;
    for (size_t pos = 0; (pos = log.find("DnsEngine: listening", pos)) != std::string::npos; ++pos)
      starts++;
    for (size_t pos = 0; (pos = log.find("DnsEngine: loop ended", pos)) != std::string::npos; ++pos)
      stops++;
    EXPECT_EQ(starts, 21u);
    EXPECT_EQ(stops, 21u);
    close(fd);
    zc::filter::SetEdgePublisherForTest(nullptr);
    zc::filter::SetMacResolverForTest(nullptr);
    zc::filter::SetDnsmasqStopperForTest(nullptr);
    zc::profiles::SetInternetSecuritySwitch(nullptr);
    zc::profiles::SetAnswerSink(nullptr);
    zc::profiles::ResetForTest();
  }
  unbound.Stop();
  zctest::RemoveTree(dir);
}

}  // namespace
