#include "utils/exitlog.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string_view>
#include <thread>

#include "utils/exec.h"
#include "utils/files.h"
#include "utils/kvp.h"
#include "utils/log.h"
#include "utils/paths.h"
#include "utils/timeutil.h"

std::atomic<long> gZuncoreTimeStart{0};
std::atomic<int> gZunCoreProcessId{0};

namespace {

constexpr size_t kKvpDumpLineMax = 254;

std::atomic<bool> gExiting{false};
std::mutex gHookMutex;
std::map<int, ExitHook> gExitHooks;
int gNextHookId = 1;

// Reasons carry server and peer text: keep the exit line on one line.
std::string OneLine(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return out;
}

void RunExitHooks() {
  std::map<int, ExitHook> hooks;
  {
    std::lock_guard lock(gHookMutex);
    hooks = gExitHooks;
  }
  for (auto& [id, hook] : hooks) hook();
}

// Copies the settings snapshot into the log; false when it exists but cannot be read.
bool LogKvpSnapshot() {
  std::string path = zc::RootPath(kKvpSnapshotFile);
  if (!zc::FileExists(path)) return true;
  FILE* f = fopen(path.c_str(), "re");
  if (!f) return false;
  char line[kKvpDumpLineMax + 1];
  while (fgets(line, sizeof line, f)) {
    size_t len = strlen(line);
    bool whole = len > 0 && line[len - 1] == '\n';
    if (whole) line[len - 1] = '\0';
    LogOut(LL_INFO, "KVP_DUMP: %s", line);
    if (!whole) {
      // Skip the rest of an over-long line.
      int c;
      while ((c = fgetc(f)) != EOF && c != '\n') {
      }
    }
  }
  fclose(f);
  return true;
}

// ---- crash path (async-signal-safe only) ----
int gCrashFd = -1;
long gTzOffset = 0;

size_t PutNumber(char* out, long value, int width) {
  char digits[24];
  int n = 0;
  bool negative = value < 0;
  unsigned long v =
      negative ? static_cast<unsigned long>(-value) : static_cast<unsigned long>(value);
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v && n < 23);
  while (n < width) digits[n++] = '0';
  size_t len = 0;
  if (negative) out[len++] = '-';
  while (n) out[len++] = digits[--n];
  return len;
}

size_t PutText(char* out, const char* text) {
  size_t len = strlen(text);
  memcpy(out, text, len);
  return len;
}

// Civil date from days since the epoch (proleptic Gregorian), pure arithmetic.
void CivilFromDays(long z, long& y, unsigned& m, unsigned& d) {
  z += 719468;
  const long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<long>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
}

void SigSegvHandler(int) {
  const char hit[] = "zuncore hits SIGSEGV\n";
  (void)!write(STDOUT_FILENO, hit, sizeof hit - 1);
  if (gCrashFd >= 0 && !gExiting.exchange(true)) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    long local = ts.tv_sec + gTzOffset;
    long days = local / 86400, secs = local % 86400;
    if (secs < 0) {
      secs += 86400;
      --days;
    }
    long y;
    unsigned m, d;
    CivilFromDays(days, y, m, d);
    long start = gZuncoreTimeStart.load();
    long elapsed = (start > 0 && start <= ts.tv_sec) ? ts.tv_sec - start : ts.tv_sec;
    char line[256];
    size_t n = 0;
    n += PutNumber(line + n, y, 4);
    line[n++] = '-';
    n += PutNumber(line + n, m, 2);
    line[n++] = '-';
    n += PutNumber(line + n, d, 2);
    line[n++] = ' ';
    n += PutNumber(line + n, secs / 3600, 2);
    line[n++] = ':';
    n += PutNumber(line + n, (secs / 60) % 60, 2);
    line[n++] = ':';
    n += PutNumber(line + n, secs % 60, 2);
    n += PutText(line + n, " PID:");
    n += PutNumber(line + n, gZunCoreProcessId.load() ? gZunCoreProcessId.load() : getpid(), 1);
    n += PutText(line + n, " TimeElapsed:");
    n += PutNumber(line + n, elapsed, 1);
    n += PutText(line + n, "seconds ExitStatus:SigSegvHandler: got SIGSEGV\n");
    (void)!write(gCrashFd, line, n);
  }
  signal(SIGSEGV, SIG_DFL);
  raise(SIGSEGV);
}

}  // namespace

long ElapsedSecondsSinceStart(long nowSeconds) {
  long start = gZuncoreTimeStart.load();
  if (start < nowSeconds && nowSeconds - start >= 0) return nowSeconds - start;
  gZuncoreTimeStart.store(nowSeconds);
  return nowSeconds;
}

std::string ExitLineText(const std::string& localTime, int pid, long elapsed,
                         const std::string& reason) {
  char head[128];
  snprintf(head, sizeof head, "%s PID:%d TimeElapsed:%ldseconds ExitStatus:", localTime.c_str(),
           pid, elapsed);
  return std::string(head) + OneLine(reason);
}

int RegisterExitHook(ExitHook hook) {
  std::lock_guard lock(gHookMutex);
  int id = gNextHookId++;
  gExitHooks.emplace(id, std::move(hook));
  return id;
}

void UnregisterExitHook(int id) {
  std::lock_guard lock(gHookMutex);
  gExitHooks.erase(id);
}

void EnsureRouterDnsmasq() {
  zc::RemoveFile(zc::RootPath(kRunDohFile));
  ExecResult found = RunArgv({"pidof", "dnsmasq"}, std::chrono::seconds(5), 256);
  if (found.status == 0) {
    printf("dnsmasq already running\n");
    return;
  }
  if (SpawnDetached({zc::RootPath("/bin/dnsmasq"), "-C", zc::RootPath("/var/dnsmasq.conf"), "-r",
                     zc::RootPath("/var/resolv.conf")}) != 0) {
    LogOut(LL_ERR, "%s: unable to start dnsmasq", "EnsureRouterDnsmasq");
  }
}

void InstallCrashHandler() {
  if (gCrashFd < 0) {
    gCrashFd = open(zc::RootPath(kExitFile).c_str(),
                    O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0644);
  }
  time_t now = time(nullptr);
  struct tm tmv {};
  localtime_r(&now, &tmv);
  gTzOffset = tmv.tm_gmtoff;
  struct sigaction sa {};
  sa.sa_handler = SigSegvHandler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESETHAND | SA_NODEFER;
  sigaction(SIGSEGV, &sa, nullptr);
}

void ExitLog(const char* reason) {
  // One exit per process: a second caller waits for the first to end the process.
  if (gExiting.exchange(true)) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
  std::string why = reason ? reason : "";
  std::string exitFile = zc::RootPath(kExitFile);
  zc::TrimLogFile(exitFile, zc::kLogFileMaxLines);

  std::string localTime;
  GetLocalTime(localTime);
  timeval now{};
  gettimeofday(&now, nullptr);
  long elapsed = ElapsedSecondsSinceStart(now.tv_sec);
  if (zc::AppendLine(exitFile, ExitLineText(localTime, getpid(), elapsed, why)) != 0) {
    fprintf(stderr, "ExitLog: unable to write %s\n", kExitFile);
  }

  zc::RemoveFile(zc::RootPath(kInitCompleteFile));
  RunExitHooks();
  EnsureRouterDnsmasq();

  int status = LogKvpSnapshot() ? 0 : 1;
  fflush(stdout);
  fflush(stderr);
  _exit(status);
}
