// Inside the configuration intake: the pieces shared by its files, and the pure functions the
// unit tests reach directly.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "proto/messages.h"

// ---- subscription plan ----------------------------------------------------------------------

// Most subjects the intake subscribes (the size of its subscription table).
inline constexpr int kConfigMaxSubjects = 20;

struct ConfigSubject {
  std::string subject;
  bool firmware = false;  // handled by ConfigFwParser (else ConfigParser)
};

// The subjects to subscribe, in slot order, read from the settings store. Subjects beyond the
// table's 20 slots are logged and left out. -1 (and nothing) when a numbered key is missing.
int ConfigSubscriptionPlan(std::vector<ConfigSubject>& plan);

// Whether a text the intake would apply holds a NUL byte (transaction ids excepted); the decoded
// text would end there.
bool ConfigPayloadHasNulText(const void* payload, size_t length);

// Handlers of the general and the firmware subjects.
void ConfigParser(const void* payload, int length);
void ConfigFwParser(const void* payload, int length);

// ---- answers ----------------------------------------------------------------------------------

// The stage log of one answered transaction (pretty JSON and a newline), for any length of
// transaction id or error text.
std::string BuildStageLog(const std::string& transid, const std::string& startTime,
                          const std::string& endTime, const std::string& deviceMac,
                          const std::string& errorText);

// ConfigResponse with an explicit receive time (answers given after the handler returned: script
// runs, diagnostics). An empty start time stands for the response time.
void ConfigResponseAt(const std::string& transid, const std::string& text,
                      const std::string& receivedAt);

// Receive time of the message the calling delivery thread is handling (empty elsewhere).
std::string CurrentReceiveTime();
// Marks the receive time of the message handled on this thread for the duration of a scope.
class ReceiveTimeScope {
 public:
  explicit ReceiveTimeScope(std::string isoTime);
  ~ReceiveTimeScope();
  ReceiveTimeScope(const ReceiveTimeScope&) = delete;
  ReceiveTimeScope& operator=(const ReceiveTimeScope&) = delete;

 private:
  std::string previous_;
};

// How answers and diagnostics leave (the command connection normally; tests capture them).
struct ConfigHeader {
  std::string name;
  std::string value;
};
using ConfigPublisher = std::function<int(const std::string& subject, const void* data,
                                          size_t length, const std::vector<ConfigHeader>& headers)>;
void SetConfigPublisherForTest(ConfigPublisher publisher);

// Flushes the command connection (at most 2 s) and syncs the file systems: before the process
// reboots the router or ends on purpose, so the answer leaves and files are on disk.
void FlushBeforeExit(const char* who);

// ---- configuration scripts --------------------------------------------------------------------

// Queues one script run (backup, run, restore on error); runs are serialised on one worker.
int ConfigExec(const std::string& transid, const std::string& script);
// Whether an output chunk contains word, given the tail of the previous chunk (carried across
// chunk borders); updates carry.
bool ChunkContains(std::string& carry, std::string_view chunk, std::string_view word);
// Waits until every queued script has run (tests).
void ConfigExecDrainForTest();

// ---- station re-initialisation ----------------------------------------------------------------

// Total wait of the re-initialisation worker between block and unblock.
inline constexpr std::chrono::seconds kStationReInitWait{20};
// Number of re-initialisation worker threads alive (0 or 1).
int StationReInitThreadsForTest();
void StationReInitDrainForTest();

// ---- child programs ---------------------------------------------------------------------------

// Runs an argument vector (no shell) and hands its output to onChunk in pieces of at most 255
// bytes as it arrives; with mergeStderr standard error goes to the same pipe. The exit code, or -1
// when it could not start or died by a signal. Blocks the calling thread.
int StreamArgv(const std::vector<std::string>& argv, bool mergeStderr,
               const std::function<void(std::string_view chunk)>& onChunk);

// ---- Wi-Fi and LAN ----------------------------------------------------------------------------

inline constexpr size_t kMaxSsidEntries = 255;
int ConfigWlanParams(const Zun__Config__PLATFORMCONFIG* envelope);
int ConfigLan(const Zun__Config__PLATFORMCONFIG* envelope);
int ValidateConfigLanParams(const Zun__Config__PLATFORMCONFIG* envelope);
// Passphrase rule: 8 to 63 printable ASCII characters, or 64 hexadecimal digits.
bool PassphraseAcceptable(std::string_view passphrase);
bool SsidAcceptable(std::string_view ssid);

// ---- commands ---------------------------------------------------------------------------------

int ExecuteCommand(const Zun__Config__PLATFORMCONFIG* envelope);
// The value after key at the start of one comma-separated item; nothing when absent.
bool ExtractValue(std::string_view text, std::string_view key, std::string* value);
// A ping or trace target: an IPv4 address or host name ([A-Za-z0-9.-], 1 to 253, no leading '-').
bool DiagnosticTargetAcceptable(std::string_view target);

enum class DiagnosticKind { kPing, kTrace };
// Starts a ping or trace run for one transaction; answers through ConfigResponse.
void StartDiagnostic(DiagnosticKind kind, const std::string& transid, const std::string& target);
// One diagnostic event (pretty JSON and a newline), for any chunk content.
std::string BuildDiagnosticEvent(DiagnosticKind kind, const std::string& event,
                                 const std::string& isoTime, const std::string& deviceMac,
                                 std::string_view data);
int PingJsonNotification(std::string_view data, const char* event);
int TraceJsonNotification(std::string_view data, const char* event);
// Diagnostic runs in progress.
int DiagnosticsRunning();

// Serialises the commands that drive the radios (scan, channel optimisation, Wi-Fi toggle).
std::mutex& RadioCommandMutex();

// Commands whose features arrive later: each answers as a feature that is not available does.
void StartSpeedTest(const std::string& transid);
void StartCliDebug(const std::string& transid, const std::string& data);
void RunSiteSurvey(const std::string& transid, const std::string& data);
void RunOptimizeWifi(const std::string& transid, const std::string& data);
void RunScanAndOptimizeWifi(const std::string& transid, const std::string& data);

// Waits the process uses before ending on purpose (real time; scaled when waited).
inline constexpr std::chrono::seconds kBeforeRebootWait{1};
inline constexpr std::chrono::seconds kAfterRebootWait{2};
inline constexpr std::chrono::milliseconds kExitFlushTimeout{2000};
inline constexpr std::chrono::seconds kToggleWifiWait{5};
