// Configuration scripts from the cloud: back up the router's configuration, run the script,
// restore the backup when the run failed. One run at a time, in arrival order, on one worker.
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "config/config.h"
#include "config/config_internal.h"
#include "config/config_keys.h"
#include "utils/files.h"
#include "utils/log.h"
#include "utils/paths.h"

namespace {

struct ScriptJob {
  std::string transid;
  std::string script;
  std::string receivedAt;
};

class ScriptWorker {
 public:
  void Enqueue(ScriptJob job) {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(job));
    if (!running_) {
      running_ = true;
      std::thread([this] { Run(); }).detach();
    }
    changed_.notify_all();
  }

  void Drain() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return queue_.empty() && !running_; });
  }

 private:
  void Run() {
    std::unique_lock lock(mutex_);
    while (!queue_.empty()) {
      ScriptJob job = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      RunJob(job);
      lock.lock();
    }
    running_ = false;
    changed_.notify_all();
  }

  static void RunJob(const ScriptJob& job) {
    const std::string scriptPath = zc::RootPath(kConfigScriptFile);
    if (zc::WriteFileAtomic(scriptPath, job.script) != 0) {
      LogOut(LL_CRIT, "config Error: Can't open script file %s", kConfigScriptFile);
      return;
    }
    const std::string backup = zc::RootPath(kConfigBackupFile);
    auto answer = [&](const char* text) { ConfigResponseAt(job.transid, text, job.receivedAt); };

    // 1. Back up; a failed backup ends the run before the script.
    std::string carry;
    bool failed = false;
    int rc = StreamArgv({"config_xmlconfig.sh", "-s", backup}, true, [&](std::string_view chunk) {
      if (ChunkContains(carry, chunk, "FAIL")) failed = true;
    });
    if (failed || rc != 0) {
      LogOut(LL_CRIT, "Backup FAIL");
      answer("Backup FAIL");
      return;
    }
    // 2. Run, standard error included: "error" anywhere or a failed exit fails the run.
    carry.clear();
    rc = StreamArgv({"sh", scriptPath}, true, [&](std::string_view chunk) {
      if (ChunkContains(carry, chunk, "error")) failed = true;
    });
    if (!failed && rc == 0) {
      answer("NA");
      return;
    }
    LogOut(LL_CRIT, "Script execution error");
    // 3. Restore; the run is answered once, with the restore's failure when that failed too.
    carry.clear();
    bool restoreFailed = false;
    rc = StreamArgv({"config_xmlconfig.sh", "-l", backup}, true, [&](std::string_view chunk) {
      if (ChunkContains(carry, chunk, "FAIL")) restoreFailed = true;
    });
    if (restoreFailed || rc != 0) {
      LogOut(LL_CRIT, "Restore FAIL");
      answer("Restore FAIL");
    } else {
      answer("Config Error");
    }
    StreamArgv({"echo", "Reboot"}, false, [](std::string_view) {});
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<ScriptJob> queue_;
  bool running_ = false;
};

ScriptWorker& Worker() {
  static ScriptWorker* worker = new ScriptWorker();  // outlives every detached run
  return *worker;
}

}  // namespace

bool ChunkContains(std::string& carry, std::string_view chunk, std::string_view word) {
  std::string text = carry;
  text.append(chunk);
  bool found = text.find(word) != std::string::npos;
  // Keep what could be the start of the word in the next chunk.
  size_t keep = word.size() > 1 ? word.size() - 1 : 0;
  carry = text.size() > keep ? text.substr(text.size() - keep) : text;
  return found;
}

int ConfigExec(const std::string& transid, const std::string& script) {
  Worker().Enqueue({transid, script, CurrentReceiveTime()});
  return 0;
}

void ConfigExecDrainForTest() {
  Worker().Drain();
}
