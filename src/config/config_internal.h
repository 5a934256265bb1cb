// Inside the configuration intake: the pieces shared by its files, and the pure functions the
// unit tests reach directly.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/device_ops.h"
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

// ---- CLI debug channel ------------------------------------------------------------------------

// Longest command line the channel runs, longest output line it publishes, most lines per run.
inline constexpr size_t kCliDebugCommandMax = 255;
inline constexpr size_t kCliDebugLineMax = 254;
inline constexpr int kCliDebugMaxLines = 50;
// The next output line to publish, taken off the front of `pending` (what was read from the
// command so far): up to and including its first newline and at most kCliDebugLineMax bytes, or
// the rest once the output `ended`. Nothing while a line is still incomplete.
std::optional<std::string> TakeCliLine(std::string& pending, bool ended);
// Replaces the running worker (if any) with one for data; answers "NA" once it started.
void StartCliDebug(const std::string& transid, const std::string& data);
// Stops and joins the running worker (tests); workers alive right now.
void CliDebugStopForTest();
int CliDebugWorkersAliveForTest();

// ---- speed test -------------------------------------------------------------------------------

// Starts the speed test on its own thread; a test already running is refused.
void StartSpeedTest(const std::string& transid);
bool SpeedTestRunning();
// Megabits (1024 x 1024 bytes x 8) per second of bytes over seconds; 0 for no time.
double SpeedMbps(uint64_t bytes, double seconds);
struct SpeedEventFields {
  const char* event = "";
  const char* testType = "";
  int64_t value = 0;
  int64_t speed = 0;
  int64_t startTime = 0;  // elapsed milliseconds of a progress event
  std::string server;
};
// One speed event (pretty JSON and a newline) with the keys of its kind in their order.
std::string BuildSpeedEvent(const SpeedEventFields& fields, const std::string& transid,
                            const std::string& dll, const std::string& deviceMac,
                            const std::string& localTime, const std::string& subscriber);
int SpeedJsonNotification(const SpeedEventFields& fields);
// The notice sent when a test cannot start ("test-in-proress", "init").
void Report_SpeedTestRetry();

// ---- site survey and channel optimisation ----------------------------------------------------

// The radio commands: each runs the platform operation under RadioCommandMutex, answers, and
// publishes its result (the combined one answers "NA" first in every case).
void RunSiteSurvey(const std::string& transid, const std::string& data);
void RunOptimizeWifi(const std::string& transid, const std::string& data);
void RunScanAndOptimizeWifi(const std::string& transid, const std::string& data);
// One platform record as a message (texts point into the record; codes outside an enum: 0).
Zun__Wifiscan__NEIGHBORWLANINFO NeighbourMessage(const NeighborApRecord& record);
// Publish a result; each takes ownership of records (malloc'ed by the platform). 0 or -1.
int SendSiteSurveyResults(const std::string& transid, NeighborApRecord* records, uint8_t count);
int SendOptimizedChannel(const std::string& transid, uint8_t oldChannel, uint8_t newChannel);
// Status values: 0 success, 1 platform failure, 2 driver failure.
int SendSSAndOptimizedResults(const std::string& transid, NeighborApRecord* records, uint8_t count,
                              uint32_t scanStatus, uint8_t oldChannel, uint8_t newChannel,
                              uint32_t optimizeStatus);

// Waits the process uses before ending on purpose (real time; scaled when waited).
inline constexpr std::chrono::seconds kBeforeRebootWait{1};
inline constexpr std::chrono::seconds kAfterRebootWait{2};
inline constexpr std::chrono::milliseconds kExitFlushTimeout{2000};
inline constexpr std::chrono::seconds kToggleWifiWait{5};
