// Journal records: hostile datagrams stay within their fields, noisy sources are dropped, the
// rate budget bounds a flood, and the journal thread's own lines never reach the log socket.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "journal/journal.h"
#include "journal/journal_build.h"
#include "platform/realtek/journal_parse.h"
#include "proto/messages.h"
#include "support/temp_root.h"
#include "support/wait.h"
#include "utils/log.h"
#include "utils/paths.h"
#include "utils/timescale.h"

namespace {

JournalRecord Parse(std::string_view datagram) {
  JournalRecord r{};
  EXPECT_TRUE(rtl::ParseSyslogDatagram(datagram, &r));
  return r;
}

TEST(JournalParse, HostileDatagramsStayWithinTheirFields) {
  // A 511-byte tag with neither '[' nor ':' is no tag at all.
  std::string tag(511, 'a');
  JournalRecord r = Parse(tag);
  EXPECT_STREQ(r.module, "NA");
  EXPECT_EQ(std::strlen(r.log), 511u);
  // A tag name longer than the module field is cut at its width.
  r = Parse(std::string(400, 'b') + ": text");
  EXPECT_EQ(std::strlen(r.module), sizeof r.module - 1);
  EXPECT_STREQ(r.log, " text");
  // 511 control bytes expand to twice their size: cut at the field, terminated.
  r = Parse(std::string(511, '\x01'));
  EXPECT_EQ(std::strlen(r.log), sizeof r.log - 1);
  EXPECT_EQ(std::string(r.log, 4), "^A^A");
  // Priority digits beyond any integer are the default priority, not an overflow.
  r = Parse("<99999999999>x");
  EXPECT_STREQ(r.severity, "notice");
  EXPECT_STREQ(r.log, "x");
  r = Parse("<" + std::string(400, '9') + ">y");
  EXPECT_STREQ(r.severity, "notice");
  // A process id of any length is kept as text (within its field).
  r = Parse("prog[" + std::string(40, '9') + "]: z");
  EXPECT_STREQ(r.module, "prog");
  EXPECT_EQ(std::string(r.processId), std::string(40, '9'));
  r = Parse("prog[007]: z");
  EXPECT_STREQ(r.processId, "7");
}

TEST(JournalFilter, NoisySourcesAreDropped) {
  EXPECT_TRUE(zc::journal::Dropped(Parse("<30>Jan  5 10:20:30 dnsmasq[123]: query")));
  EXPECT_TRUE(zc::journal::Dropped(Parse("<30>kernel: MFC entry")));
  EXPECT_TRUE(zc::journal::Dropped(Parse("x: forward_query:710 y")));
  EXPECT_TRUE(zc::journal::Dropped(Parse("x: read /var/tmp/hosts - 3 names")));
  EXPECT_FALSE(zc::journal::Dropped(Parse("<11>dnsmasq-dhcp[9]: lease")));
  EXPECT_FALSE(zc::journal::Dropped(Parse("<11>myprog: a message")));
}

TEST(JournalMessage, CarriesTheRecordAndTheIdentity) {
  JournalRecord r = Parse("<11>myprog[42]: disk full");
  auto packed = zc::journal::PackJournal(
      {"2025-03-01T12:00:00.000Z", "02:5A:00:00:00:01", "zt.dll.x", "sub-0001"}, r);
  auto j = zc::pb::Unpack<Zun__Journal__JOURNAL>(packed.data(), packed.size());
  ASSERT_TRUE(j);
  EXPECT_STREQ(j->time, "2025-03-01T12:00:00.000Z");
  EXPECT_STREQ(j->deviceid, "02:5A:00:00:00:01");
  EXPECT_STREQ(j->dll, "zt.dll.x");
  EXPECT_STREQ(j->subscriberid, "sub-0001");
  EXPECT_STREQ(j->severity, "err");
  EXPECT_STREQ(j->module, "myprog");
  EXPECT_STREQ(j->processid, "42");
  EXPECT_STREQ(j->log, " disk full");
}

TEST(JournalBudget, AFloodIsForwardedAtTheRateAndTheRestCounted) {
  zc::journal::Budget b(1000.0, 2000.0);
  int forwarded = 0;
  // 20,000 records a second for 10 s.
  for (int i = 0; i < 200000; ++i) forwarded += b.Take(i / 20) ? 1 : 0;
  EXPECT_EQ(static_cast<uint64_t>(forwarded) + b.dropped(), 200000u);
  EXPECT_LE(forwarded, 2000 + 10000 + 1);
  EXPECT_GE(forwarded, 2000 + 9999 - 1);
  // Quiet again: the allowance refills.
  EXPECT_TRUE(b.Take(60000));
}

TEST(JournalSelfFeeding, LinesOfTheJournalThreadStayOnStandardOutput) {
  zctest::TempRoot root;
  zc::ReloadRootFromEnv();
  std::string path = zc::RootPath("/dev/log");
  ::mkdir((root.path() + "/dev").c_str(), 0755);
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof addr.sun_path);
  std::memcpy(addr.sun_path, path.c_str(), path.size());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  LogOpen("zuncore");
  std::thread([] {
    LogThreadStdoutOnly(true);
    LogOut(LL_ERR, "%s: Error:%s", "JournaPublish", "from the journal thread");
  }).join();
  LogOut(LL_ERR, "%s", "from another thread");
  char buf[1024];
  ssize_t n = recv(fd, buf, sizeof buf - 1, MSG_DONTWAIT);
  ASSERT_GT(n, 0);
  buf[n] = '\0';
  EXPECT_NE(std::strstr(buf, "from another thread"), nullptr) << buf;
  EXPECT_LT(recv(fd, buf, sizeof buf, MSG_DONTWAIT), 0);  // nothing else arrived
  LogClose();
  close(fd);
  zc::ReloadRootFromEnv();
}

}  // namespace

namespace {

// A socket that fails every read, and one that delivers a few datagrams then nothing.
std::atomic<int> gReads{0}, gInits{0};
int FailingRead(JournalRecord*) {
  ++gReads;
  return -1;
}
int CountInit() {
  ++gInits;
  return 0;
}
int QuietRead(JournalRecord* r) {
  if (gReads++ < 3) {
    *r = Parse("<11>dnsmasq[1]: dropped before publishing");
    return 0;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return kJournalNoRecord;
}

TEST(JournalLoop, ReadErrorsBackOffAndSetTheSocketUpAgain) {
  DeviceOps saved = RouterDeviceOps;
  zc::SetTimeScaleForTest(0.01);  // the 1 s pause takes 10 ms
  RouterDeviceOps.GetJournalRecord = FailingRead;
  RouterDeviceOps.JournalInit = CountInit;
  gReads = 0;
  gInits = 0;
  StopToken stop;
  std::thread loop([&] { JournalLoop(&stop); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  stop.RequestStop();
  loop.join();
  // About three reads per pause, not a tight loop; the socket set up again after each pause.
  EXPECT_GE(gInits.load(), 3);
  EXPECT_LE(gReads.load(), 3 * (gInits.load() + 1));
  EXPECT_LT(gReads.load(), 200);

  // Timed wakes count the liveness without a datagram.
  RouterDeviceOps.GetJournalRecord = QuietRead;
  gReads = 0;
  uint32_t before = gJournalThreadMonitor.count.load();
  StopToken stop2;
  std::thread quiet([&] { JournalLoop(&stop2); });
  // Waits on the count, not a fixed time: under emulation five 5 ms wakes can take over 100 ms.
  EXPECT_TRUE(zctest::WaitFor([&] { return gJournalThreadMonitor.count.load() - before > 5u; }));
  stop2.RequestStop();
  quiet.join();
  RouterDeviceOps = saved;
  zc::SetTimeScaleForTest(1.0);
}

}  // namespace
