#include "event/event.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <thread>

#include "event/event_reporter.h"
#include "event/report_common.h"
#include "main/nats/nats_session.h"
#include "utils/agent_state.h"
#include "utils/exitlog.h"
#include "utils/kvp.h"
#include "utils/log.h"
#include "utils/monitor.h"
#include "utils/timescale.h"

namespace {

using namespace std::chrono_literals;

std::atomic<long> gEventIntervalSeconds{zc::report::kDefaultEventSeconds};

[[noreturn]] void EventThread() {
  const char* who = "EventThread";
  LogOut(LL_INFO, "%s: Entering thread tid:%lu thread-gdb-pid:%d", who,
         static_cast<unsigned long>(gettid()), static_cast<int>(getpid()));
  while (!ZunModuleInitDone.load()) {
    gEventThreadMonitor.Tick();
    zc::SleepScaled(1s);
  }
  zc::event::EventReporter reporter(
      [](const std::vector<uint8_t>& packed) {
        return EventProtoPublish(packed.data(), packed.size());
      },
      [] { return NatsClientIP(nats_msg); });
  for (;;) {
    gEventThreadMonitor.Tick();
    LogOut(LL_DEBUG, "%s: awake :%u", who, gEventThreadMonitor.count.load());
    reporter.Pass();
    LogOut(LL_DEBUG, "%s: sleep", who);
    SleepCounting(std::chrono::seconds(gEventIntervalSeconds.load()), gEventThreadMonitor);
  }
}

}  // namespace

int EventProtoPublish(const uint8_t* buffer, size_t length) {
  const char* who = "EventProtoPublish";
  if (zc::report::SelfCheckEnabled() && !zc::pb::Unpack<Zun__Event__APEvent>(buffer, length)) {
    LogOut(LL_CRIT, "%s: unpacking protobuff event message", who);
    LogOut(LL_CRIT, "%s: Error in protobuff event message", who);
    return -1;
  }
  const long attempts = zc::report::IntSetting(zc::report::kRetryCountKey, 0);
  const int64_t timeoutMs =
      zc::report::ClampRequestTimeoutMs(GetStringKVP(zc::report::kRequestTimeoutKey));
  for (long attempt = 0; attempt < attempts; ++attempt) {
    const auto started = std::chrono::steady_clock::now();
    std::string subject = GetStringKVPOr(zc::report::kEventSubjectKey, "");
    zc::nats::MsgPtr reply;
    natsStatus s = NATS_INVALID_SUBJECT;
    if (!subject.empty()) {
      s = _natsConnection_Request(reply, nats_msg, subject.c_str(), buffer,
                                  static_cast<int>(length), timeoutMs, {kZunProtoV1});
    }
    if (s == NATS_OK && reply) {
      const char* data = natsMsg_GetData(reply.get());
      int shown =
          data ? static_cast<int>(strnlen(
                     data, static_cast<size_t>(std::max(0, natsMsg_GetDataLength(reply.get())))))
               : 0;
      LogOut(LL_INFO, "%s: Received msg: %s - %.*s", who, natsMsg_GetSubject(reply.get()), shown,
             data ? data : "");
      return 0;
    }
    LogOut(LL_CRIT, "%s: Response TimedOut!!! retry count:%ld sub:%s nats-status:%s", who, attempt,
           subject.c_str(), natsStatus_GetText(s));
    // A failure that came back before the time-out (no responder yet, connection being
    // re-established) waits out the rest, so the attempts span the whole configured window.
    auto left = zc::Scaled(std::chrono::milliseconds(timeoutMs)) -
                std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - started);
    if (left.count() > 0 && attempt + 1 < attempts) std::this_thread::sleep_for(left);
  }
  LogOut(LL_ERR, "%s: unable to send the events even after the max retry", who);
  ExitLog("EventProtoPublish: publishing events failed");
}

int EventInit(event_base*) {
  const char* who = "EventInit";
  auto subject = GetStringKVP(zc::report::kEventSubjectKey);
  if (!subject || subject->empty()) {
    LogOut(LL_CRIT, "%s: Int Fail: Topic is not set!!!", who);
    return -1;
  }
  long interval = zc::report::ClampPeriodSeconds(GetStringKVP(zc::report::kEventIntervalKey),
                                                 zc::report::kDefaultEventSeconds);
  gEventIntervalSeconds.store(interval);
  LogOut(LL_INFO, "%s: subject:%s interval:%lds", who, subject->c_str(), interval);
  try {
    std::thread(EventThread).detach();
  } catch (const std::system_error& e) {
    LogOut(LL_ERR, "%s: pubThread creation failed", who);
    return -1;
  }
  gEventThreadMonitor.expected.store(true);
  return 0;
}
