// Ping and trace route from the cloud: the target is checked, the tool runs from an argument
// vector on a thread of its own, and its output is streamed as JSON events; each run keeps its
// own state, so overlapping runs are answered each under its own transaction.
#include <atomic>
#include <string>
#include <thread>

#include "config/config.h"
#include "config/config_internal.h"
#include "config/config_keys.h"
#include "utils/json.h"
#include "utils/kvp.h"
#include "utils/log.h"
#include "utils/timeutil.h"

namespace {

constexpr size_t kTargetMax = 253;
// Runs in progress at once; a request beyond this is answered with its failure text.
constexpr int kMaxDiagnosticRuns = 8;

std::atomic<int> gDiagnosticRuns{0};

struct Names {
  const char* eventKey;
  const char* dataKey;
  const char* subjectKey;
  const char* errorText;
  const char* startFailure;
  const char* progressFailure;
  const char* endFailure;
  const char* noRun;
};

const Names& NamesOf(DiagnosticKind kind) {
  static const Names ping{"ping",
                          "pingdata",
                          configkeys::kPingSubject,
                          "PING_ERR_STATE",
                          "ExecuteCommand: Failed to send ping start event!!!",
                          "CmdPingReadCB: Failed to send ping progress event!!!",
                          "CmdPingReadCB: Failed to send ping completion event!!!",
                          "CmdPingReadCB: Unable to execute ping command successfully"};
  static const Names trace{"trace",
                           "tracedata",
                           configkeys::kTraceSubject,
                           "TRACEROUTE_ERR_STATE",
                           "ExecuteCommand: Failed to send traceroute start event!!!",
                           "CmdTraceReadCB: Failed to send trace progress event!!!",
                           "CmdTraceReadCB: Failed to send trace completion event!!!",
                           "CmdTraceReadCB: Unable to execute traceroute command successfully"};
  return kind == DiagnosticKind::kPing ? ping : trace;
}

int Notify(DiagnosticKind kind, std::string_view data, const char* event) {
  const Names& n = NamesOf(kind);
  std::string now;
  if (GetISOTime(now) != 0) {
    LogOut(LL_ERR, "config_parser: unable to get the ISO time");
    return -1;
  }
  std::string text =
      BuildDiagnosticEvent(kind, event, now, GetStringKVPOr(configkeys::kDeviceMac, ""), data);
  auto subject = GetUsableKVP(n.subjectKey);
  LogOut(LL_INFO, kind == DiagnosticKind::kPing ? "ping buf:%s" : "trace buf:%s", text.c_str());
  if (ConfigNatsPublish(text.data(), text.size(), subject ? subject->c_str() : nullptr) != 0) {
    LogOut(LL_ERR,
           kind == DiagnosticKind::kPing
               ? "PingJsonNotification: Unable to publish ping response %d"
               : "TraceJsonNotification: Unable to publish trace response %d",
           -1);
    return -1;
  }
  LogOut(LL_DEBUG,
         kind == DiagnosticKind::kPing ? "Bytes sent to subject  %s is :%zd"
                                       : "Bytes sent to subject  %s is :%zd MB",
         subject->c_str(), static_cast<ssize_t>(text.size()));
  return 0;
}

// One run: the tool's output as progress events, then the end event and the answer.
void RunDiagnostic(DiagnosticKind kind, std::string transid, std::vector<std::string> argv,
                   std::string receivedAt) {
  const Names& n = NamesOf(kind);
  bool failed = false;
  int rc = StreamArgv(argv, false, [&](std::string_view chunk) {
    LogOut(LL_DEBUG,
           kind == DiagnosticKind::kPing ? "CmdPingReadCB : pBuf:%.*s, pToken:%s"
                                         : "CmdTraceReadCB : pBuf:%.*s, pToken:%s",
           static_cast<int>(chunk.size()), chunk.data(), transid.c_str());
    if (failed) return;
    if (Notify(kind, chunk, "progress") != 0) {
      LogOut(LL_ERR, "%s", n.progressFailure);
      failed = true;
    }
  });
  if (rc < 0) LogOut(LL_ERR, "%s", n.noRun);
  if (failed) {
    ConfigResponseAt(transid, n.errorText, receivedAt);
  } else if ((kind == DiagnosticKind::kTrace && Notify(kind, "End of Trace", "progress") != 0) ||
             Notify(kind, "NULL", "end") != 0) {
    LogOut(LL_CRIT, "%s", n.endFailure);
  } else {
    ConfigResponseAt(transid, "NA", receivedAt);
  }
  gDiagnosticRuns.fetch_sub(1);
}

}  // namespace

bool DiagnosticTargetAcceptable(std::string_view target) {
  if (target.empty() || target.size() > kTargetMax || target[0] == '-') return false;
  for (unsigned char c : target) {
    if (!isalnum(c) && c != '.' && c != '-') return false;
  }
  return true;
}

std::string BuildDiagnosticEvent(DiagnosticKind kind, const std::string& event,
                                 const std::string& isoTime, const std::string& deviceMac,
                                 std::string_view data) {
  const Names& n = NamesOf(kind);
  zc::JsonPtr root(json_object_new_object());
  zc::JsonAddString(root.get(), n.eventKey, event);
  zc::JsonAddString(root.get(), "time", isoTime);
  zc::JsonAddString(root.get(), "deviceid", deviceMac);
  zc::JsonAddString(root.get(), n.dataKey, std::string(data));
  return zc::JsonText(root.get(), JSON_C_TO_STRING_PRETTY) + "\n";
}

int PingJsonNotification(std::string_view data, const char* event) {
  return Notify(DiagnosticKind::kPing, data, event);
}

int TraceJsonNotification(std::string_view data, const char* event) {
  return Notify(DiagnosticKind::kTrace, data, event);
}

int DiagnosticsRunning() {
  return gDiagnosticRuns.load();
}

void StartDiagnostic(DiagnosticKind kind, const std::string& transid, const std::string& target) {
  const Names& n = NamesOf(kind);
  if (!DiagnosticTargetAcceptable(target)) {
    LogOut(LL_ERR, "%s: target refused (an IPv4 address or a host name): %s", "ExecuteCommand",
           target.c_str());
    ConfigResponse(transid.c_str(), n.errorText);
    return;
  }
  if (gDiagnosticRuns.fetch_add(1) >= kMaxDiagnosticRuns) {
    gDiagnosticRuns.fetch_sub(1);
    LogOut(LL_ERR, "%s: %d diagnostics already running", "ExecuteCommand", kMaxDiagnosticRuns);
    ConfigResponse(transid.c_str(), n.errorText);
    return;
  }
  if (Notify(kind, "NULL", "start") != 0) {
    LogOut(LL_CRIT, "%s", n.startFailure);
    gDiagnosticRuns.fetch_sub(1);
    ConfigResponse(transid.c_str(), n.errorText);
    return;
  }
  std::vector<std::string> argv =
      kind == DiagnosticKind::kPing
          ? std::vector<std::string>{"ping", "-w", "5", "-4", target}
          : std::vector<std::string>{"traceroute", "-q", "1", "-m", "20", "-w", "1", "-4", target};
  try {
    std::thread(RunDiagnostic, kind, transid, std::move(argv), CurrentReceiveTime()).detach();
  } catch (const std::system_error&) {
    gDiagnosticRuns.fetch_sub(1);
    LogOut(LL_ERR, "%s: unable to start the diagnostic thread", "ExecuteCommand");
    ConfigResponse(transid.c_str(), n.errorText);
  }
}
