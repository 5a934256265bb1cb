// The CLI debug channel: one worker runs a command line from the cloud and publishes its output
// line by line, then "EOC". A new CLIDEBUG replaces the running worker: the replacing thread
// only kills the command's process group (when one is recorded) and raises the worker's stop
// flag; the worker alone closes its pipe and reaps its child, so nothing is closed under a
// reader, and no pid is signalled after it was reaped.
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "config/config.h"
#include "config/config_internal.h"
#include "config/config_keys.h"
#include "utils/exec.h"
#include "utils/files.h"
#include "utils/kvp.h"
#include "utils/log.h"
#include "utils/paths.h"
#include "utils/timescale.h"

namespace {

constexpr const char* kLogLevelFile = "/tmp/zuncore_loglevel";
constexpr const char* kEndMarker = "EOC";
constexpr const char* kLevelWord = "zuncore-log-level";
constexpr const char* kInvalidLevelText =
    "zuncore invalid Log Level :%d , valid levels are LL_CRIT=2, LL_ERR=3, LL_WARN=4, "
    "LL_NOTICE=5, LL_INFO=6, LL_PROTO=7, LL_DNS=8, LL_DEBUG=9";
// How a poll on the command's pipe is bounded, so a stop request is seen even when a grandchild
// that left the process group keeps the pipe open.
constexpr int kPipePollMs = 50;
constexpr std::chrono::milliseconds kLinePause{100};

// One worker's shared record: what the replacing thread may touch, under the record's mutex.
struct CliRun {
  std::mutex mutex;
  pid_t pid = 0;  // the command's process group, 0 when none
  std::atomic<bool> stop{false};
  std::condition_variable wake;  // cuts the pause between lines short on a stop request
};

struct CliChannel {
  std::mutex replaceMutex;  // one replacement at a time (several delivery threads)
  std::thread worker;
  std::shared_ptr<CliRun> run;
};

// Never destroyed: a worker may still be running when the process ends.
CliChannel& Channel() {
  static CliChannel* channel = new CliChannel;
  return *channel;
}

std::atomic<int> gWorkersAlive{0};

// Kills a recorded command: its process group, and the child itself, which may not have made
// its own group yet (it then has no children either). Only for a pid not yet reaped.
void KillCommand(pid_t pid) {
  if (pid <= 0) return;
  kill(-pid, SIGKILL);
  kill(pid, SIGKILL);
}

int Publish(std::string_view text) {
  auto subject = GetUsableKVP(configkeys::kDebugCliSubject);
  return ConfigNatsPublish(text.data(), text.size(), subject ? subject->c_str() : nullptr);
}

void SetLevels(const std::string& command) {
  std::istringstream words(command);
  std::string word;
  words >> word;  // the command word itself
  while (words >> word) {
    int level = static_cast<int>(strtol(word.c_str(), nullptr, 10));
    if (level < 2 || level > 11) {
      char text[256];
      snprintf(text, sizeof text, kInvalidLevelText, level);
      LogOut(LL_INFO, "CliDebugWorker: %s", text);
      if (Publish(std::string("[Error] ") + text) != 0) {
        LogOut(LL_ERR,
               "CliDebugWorker: Unable to publish debug response for log level set failure %d", -1);
        return;
      }
      continue;
    }
    LogOut(LL_INFO, "CliDebugWorker: zuncore New Log Level is set to %d\n", level);
    LogLevelSet(level);
    auto line = zc::ReadFirstLine(zc::RootPath(kLogLevelFile), 255);
    if (!line) continue;
    if (Publish(*line) != 0) {
      LogOut(LL_ERR, "CliDebugWorker: Unable to publish debug response for log level set %d", -1);
      return;
    }
  }
  if (Publish(kEndMarker) != 0)
    LogOut(LL_ERR, "CliDebugWorker: Unable to publish debug response %d", -1);
}

// Reads the command's output in lines of at most 254 characters and publishes each; false when
// a publish failed (the worker then ends without the end marker).
bool StreamLines(FILE* pipe, CliRun& run) {
  int fd = fileno(pipe);
  std::string pending;
  int lines = 0;
  bool eof = false;
  auto emit = [&](std::string line) {
    if (Publish(line) != 0) {
      LogOut(LL_ERR, "CliDebugWorker: Unable to publish debug response for misc command %d", -1);
      return false;
    }
    if (!line.empty() && line.back() == '\n') line.pop_back();
    // The command's output is anybody's text (host names LAN clients chose, files): escaped, so
    // a line cannot pose as other lines of the log or of the system log.
    LogOut(LL_INFO, "CliDebugWorker: data - %s", LogText(line).c_str());
    ++lines;
    std::unique_lock lock(run.mutex);
    run.wake.wait_for(lock, zc::Scaled(kLinePause), [&] { return run.stop.load(); });
    return true;
  };
  while (lines < kCliDebugMaxLines && !run.stop.load()) {
    if (std::optional<std::string> line = TakeCliLine(pending, eof)) {
      if (!emit(std::move(*line))) return false;
      continue;
    }
    if (eof) break;
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, kPipePollMs);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    char buffer[512];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      eof = true;
      continue;
    }
    pending.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

std::optional<std::string> TakeCliLine(std::string& pending, bool ended) {
  size_t newline = pending.find('\n');
  if (newline == std::string::npos && pending.size() < kCliDebugLineMax &&
      !(ended && !pending.empty())) {
    return std::nullopt;
  }
  size_t take = newline != std::string::npos ? newline + 1 : pending.size();
  if (take > kCliDebugLineMax) take = kCliDebugLineMax;
  std::string line = pending.substr(0, take);
  pending.erase(0, take);
  return line;
}

namespace {

void CliDebugWorker(std::shared_ptr<CliRun> run, std::string command) {
  (void)zc::ResetOomAdj();  // not fatal: only the kernel's choice of victim changes
  struct AliveMark {
    AliveMark() { ++gWorkersAlive; }
    ~AliveMark() { --gWorkersAlive; }
  } alive;
  if (strcasecmp(command.c_str(), "connect") == 0) {
    if (Publish("Welcome to Remote CLI") != 0 || Publish(kEndMarker) != 0) {
      LogOut(LL_ERR, "CliDebugWorker: Unable to publish debug response for connect %d", -1);
    }
    return;
  }
  if (command.find(kLevelWord) != std::string::npos) {
    SetLevels(command);
    return;
  }
  pid_t pid = 0;
  FILE* pipe = nullptr;
  {
    // Started under the record's lock, so a replacement either sees the pid or finds the stop
    // flag raised before the command runs.
    std::unique_lock lock(run->mutex);
    if (run->stop.load()) {
      lock.unlock();
      if (Publish(kEndMarker) != 0) {
        LogOut(LL_ERR, "CliDebugWorker: Unable to publish debug response %d", -1);
      }
      return;
    }
    pipe = popen2(command.c_str(), "r", &pid);
    if (!pipe) {
      LogOut(LL_CRIT, "CliDebugWorker: Failed to run clidebug command!!!");
      return;
    }
    run->pid = pid;
  }
  LogOut(LL_INFO, "CliDebugWorker: clidebug command PID is :%d", static_cast<int>(pid));
  bool published = StreamLines(pipe, *run);
  {
    std::lock_guard lock(run->mutex);
    KillCommand(run->pid);
    run->pid = 0;  // from here on nobody signals this pid: it is reaped below
  }
  LogOut(LL_DEBUG, "CliDebugWorker: pclose CliDebugWorker");
  pclose2(pid, pipe);
  if (!published) return;
  if (Publish(kEndMarker) != 0)
    LogOut(LL_ERR, "CliDebugWorker: Unable to publish debug response %d", -1);
}

// Stops the running worker (if any) and waits for it. Called with replaceMutex held.
void StopWorkerLocked(CliChannel& channel) {
  if (!channel.worker.joinable()) return;
  {
    std::lock_guard lock(channel.run->mutex);
    channel.run->stop.store(true);
    KillCommand(channel.run->pid);
  }
  channel.run->wake.notify_all();
  LogOut(LL_INFO, "ExecuteCommand: cancel existing CliDebugThread");
  channel.worker.join();
  channel.run.reset();
}

}  // namespace

void StartCliDebug(const std::string& transid, const std::string& data) {
  // The command line as the channel uses it: 255 characters at most.
  std::string command = data.substr(0, kCliDebugCommandMax);
  CliChannel& channel = Channel();
  std::lock_guard replace(channel.replaceMutex);
  StopWorkerLocked(channel);
  auto run = std::make_shared<CliRun>();
  try {
    channel.worker = std::thread(CliDebugWorker, run, std::move(command));
  } catch (const std::system_error&) {
    LogOut(LL_CRIT, "ExecuteCommand: pthread_create Failed CliDebugThread");
    return;
  }
  channel.run = std::move(run);
  ConfigResponse(transid.c_str(), "NA");
}

void CliDebugStopForTest() {
  CliChannel& channel = Channel();
  std::lock_guard replace(channel.replaceMutex);
  StopWorkerLocked(channel);
}

int CliDebugWorkersAliveForTest() {
  return gWorkersAlive.load();
}
