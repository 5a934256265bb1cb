#include "journal/journal.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "event/report_common.h"
#include "journal/journal_build.h"
#include "main/nats/nats_session.h"
#include "utils/agent_state.h"
#include "utils/exitlog.h"
#include "utils/kvp.h"
#include "utils/log.h"
#include "utils/monitor.h"
#include "utils/timescale.h"

namespace {

using namespace std::chrono_literals;

// Read errors in a row after which the socket is set up again (after a pause).
constexpr int kReadErrorsBeforeReset = 3;
constexpr auto kReadErrorPause = 1s;

std::atomic<uint64_t> gDropped{0};

int64_t MonotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void JournalThread() {
  // Everything this thread logs stays out of the socket it reads: a failing publish must not
  // come back as a record that fails again.
  LogThreadStdoutOnly(true);
  if (RouterDeviceOps.JournalInit() != 0) {
    LogOut(LL_ERR, "%s:- RouterDeviceOps.JournalInit failed", "JournalThread");
    gJournalThreadMonitor.expected.store(false);
    return;
  }
  JournalLoop(nullptr);
}

}  // namespace

void JournalLoop(StopToken* stop) {
  const char* who = "JournalThread";
  zc::journal::Budget budget;
  uint64_t reported = 0;
  int errors = 0;
  while (!stop || !stop->StopRequested()) {
    gJournalThreadMonitor.Tick();
    JournalRecord record{};
    int rc = RouterDeviceOps.GetJournalRecord(&record);
    if (rc == kJournalNoRecord) continue;  // a timed wake: nothing arrived
    if (rc != 0) {
      LogOut(LL_ERR, "%s:- RouterDeviceOps.GetJournalRecord failed", who);
      if (++errors >= kReadErrorsBeforeReset) {
        // A socket that keeps failing is set up again after a pause, never read in a tight loop.
        if (!stop) {
          zc::SleepScaled(kReadErrorPause);
        } else if (!stop->SleepScaled(kReadErrorPause)) {
          break;
        }
        if (RouterDeviceOps.JournalInit() != 0) {
          LogOut(LL_ERR, "%s:- RouterDeviceOps.JournalInit failed", who);
        }
        errors = 0;
      }
      continue;
    }
    errors = 0;
    if (zc::journal::Dropped(record)) continue;
    if (!budget.Take(MonotonicMs())) {
      gDropped.store(budget.dropped());
      continue;
    }
    if (budget.dropped() != reported) {
      LogOut(LL_WARN, "%s: %llu records dropped over the rate budget so far", who,
             static_cast<unsigned long long>(budget.dropped()));
      reported = budget.dropped();
    }
    if (JournalConstructProto("log", &record) != 0) {
      LogOut(LL_ERR, "%s: JournalConstructProto got Failed", who);
    }
  }
}

uint64_t JournalDroppedRecords() {
  return gDropped.load();
}

int JournaPublish(const uint8_t* buffer, size_t length) {
  const char* who = "JournaPublish";
  const int len = static_cast<int>(length);
  if (ZunModuleInitDone.load() && nats_msg.IsConnected()) {
    auto subject = GetStringKVP(zc::report::kLogSubjectKey);
    if (!subject || subject->empty()) {
      LogOut(LL_ERR, "%s: log subject is not set", who);
      return -1;
    }
    if (_natsConnection_Publish(nats_msg, subject->c_str(), buffer, len, {kZunProtoV1}) !=
        NATS_OK) {
      ExitLog("JournaPublish: nats_msg failed");
    }
    return 0;
  }
  if (!nats_bootstrap.IsConnected()) return 0;  // no connection yet: the record is dropped
  std::string subject = GetStringKVPOr(zc::report::kBootJournalSubjectKey, "");
  if (subject.empty()) return 0;
  if (_natsConnection_Publish(nats_bootstrap, subject.c_str(), buffer, len, {kZunProtoV1}) !=
      NATS_OK) {
    LogOut(LL_ERR, "%s: Error:%s", who, nats_GetLastError(nullptr));
    return -1;
  }
  return 0;
}

int JournalConstructProto(const char*, const JournalRecord* record) {
  if (!record) return -1;
  std::vector<uint8_t> packed = zc::journal::PackJournal(zc::report::CurrentIdentity(), *record);
  if (zc::report::SelfCheckEnabled() &&
      !zc::pb::Unpack<Zun__Journal__JOURNAL>(packed.data(), packed.size())) {
    LogOut(LL_ERR, "JournalDumpProto: Error unpacking incoming protobuff journal message");
    return -1;
  }
  if (JournaPublish(packed.data(), packed.size()) != 0) {
    LogOut(LL_ERR, "journal_msg:-, nat's publish got failed");
    return -1;
  }
  return 0;
}

int JournalInit(event_base*) {
  try {
    std::thread(JournalThread).detach();
  } catch (const std::system_error&) {
    LogOut(LL_ERR, "JournalInit: JournalThread creation failed");
    return -1;
  }
  gJournalThreadMonitor.expected.store(true);
  return 0;
}
