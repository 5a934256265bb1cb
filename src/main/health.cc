#include "main/health.h"

#include <unistd.h>

#include <algorithm>
#include <ctime>

#include "main/nats/nats_session.h"
#include "signon/signon_keys.h"
#include "utils/agent_state.h"
#include "utils/exitlog.h"
#include "utils/kvp.h"
#include "utils/log.h"
#include "utils/procdiag.h"
#include "utils/timescale.h"

int gProcFdMax = 0;

const std::vector<MonitoredThread>& MonitoredThreads() {
  static const std::vector<MonitoredThread> threads = {
      {"UplinkThreadMonitor", &gUplinkThreadMonitor, false},
      {"TelemetryThread", &gTelemetryThreadMonitor, false},
      {"EventThread", &gEventThreadMonitor, false},
      {"JournalThread", &gJournalThreadMonitor, false},
      {"HistogramThread", &gHistogramThreadMonitor, true},
  };
  return threads;
}

std::optional<std::string> ThreadLivenessCheck::Run(bool runDns) {
  const auto& threads = MonitoredThreads();
  lastSeen_.resize(threads.size(), 0);
  for (size_t i = 0; i < threads.size(); ++i) {
    const auto& t = threads[i];
    if (t.onlyWithDns && !runDns) continue;
    if (!t.monitor->expected.load()) continue;
    uint32_t now = t.monitor->count.load();
    // Alive means changed: a wrapped unsigned counter still differs from the last value.
    if (now == lastSeen_[i]) return "ThreadMonitor: " + std::string(t.name) + " is not running";
    lastSeen_[i] = now;
    LogOut(LL_INFO, "%s: %s Exist", "ThreadMonitor", t.name);
  }
  return std::nullopt;
}

bool LivenessCheckSuspended(int bootstrapFailures, bool firmwareInProgress, int64_t firmwareSince,
                            int64_t now) {
  if (bootstrapFailures >= 1) return true;
  // The bound is router time, like every other period of the agent.
  const int64_t grace =
      std::max<int64_t>(1, zc::ScaledSeconds(kFirmwareWatchdogGraceSeconds).count() / 1000);
  return firmwareInProgress && firmwareSince > 0 && now - firmwareSince < grace;
}

std::optional<std::string> TaskHealthVerdict(ThreadLivenessCheck& check, int64_t now) {
  if (LivenessCheckSuspended(gBootstrapFailureCount.load(), FW_PROGRESS.load(),
                             gFwProgressSince.load(), now)) {
    return std::nullopt;
  }
  return check.Run(GetStringKVPOr(kKeyRunZunDns, "") == "yes");
}

void RunTaskHealthReport(ThreadLivenessCheck& check) {
  int pid = static_cast<int>(getpid());
  LogOut(LL_INFO, "Zuncore Task Health ---> START");
  DumpPocMemStatus(pid);
  long elapsed = ElapsedSecondsSinceStart(static_cast<long>(time(nullptr)));
  LogOut(LL_INFO, "TimeElapsed:%ldseconds, FD-count(in-use/total):%d/%d", elapsed,
         DumpProcFdCount(pid), gProcFdMax);
  if (auto reason = TaskHealthVerdict(check, static_cast<int64_t>(time(nullptr)))) {
    LogOut(LL_CRIT, "%s", reason->c_str());
    ExitLog(*reason);
  }
  for (NatsConnContext* record : {&NatsCmdConn, &nats_msg, &nats_edge}) {
    if (record->IsConnected()) NatsStats(*record);
  }
  LogOut(LL_INFO, "Zuncore Task Health <--- END");
}
