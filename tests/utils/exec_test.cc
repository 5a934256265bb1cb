#include <event2/event.h>
#include <event2/thread.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <dirent.h>
#include <chrono>
#include <cstring>
#include <fstream>

#include "support/temp_root.h"
#include "utils/event_handles.h"
#include "utils/exec.h"
#include "utils/timescale.h"

namespace {

std::string Capture(const char* command, size_t size = 512) {
  std::string buf(size, '\0');
  int rc = get_shell_output(command, buf.data(), size);
  if (rc != 0) return "<fail>";
  return buf.c_str();
}

int ZombieChildren() {
  int zombies = 0;
  DIR* dir = opendir("/proc");
  while (dirent* e = readdir(dir)) {
    std::ifstream stat(std::string("/proc/") + e->d_name + "/stat");
    std::string pid, comm, state, ppid;
    if (stat >> pid >> comm >> state >> ppid && state == "Z" && ppid == std::to_string(getpid())) {
      ++zombies;
    }
  }
  closedir(dir);
  return zombies;
}

TEST(ShellOutput, CutsOnlyATrailingNewlineAndFitsTheBuffer) {
  EXPECT_EQ(Capture("echo abc"), "abc");
  EXPECT_EQ(Capture("echo abc", 3), "ab");
  EXPECT_EQ(Capture("printf abc"), "abc");  // no newline: nothing lost
  EXPECT_EQ(Capture("printf 1.2.3.4"), "1.2.3.4");
  EXPECT_EQ(Capture("true"), "<fail>");
  // Output arriving late or in pieces is read whole.
  EXPECT_EQ(Capture("sleep 0.2; echo abc"), "abc");
  EXPECT_EQ(Capture("printf ab; sleep 0.1; printf cd"), "abcd");
  // Output beyond the capture buffer is drained, the start kept.
  std::string big = Capture("head -c 100000 /dev/zero | tr '\\0' y");
  EXPECT_EQ(big, std::string(511, 'y'));
}

TEST(ShellOutput, SlowCommandIsKilledAtTheTimeOut) {
  zc::SetTimeScaleForTest(0.02);  // 10 s -> 200 ms
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Capture("sleep 30; echo late"), "<fail>");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  zc::SetTimeScaleForTest(1);
}

TEST(ProgramRun, ArgumentsArriveVerbatimAndStatusIsSeen) {
  zctest::TempRoot root;
  std::string marker = root("/tmp/pwned");
  ExecResult r = RunArgv({"printf", "%s", "a\"$(touch " + marker + ")`id`; x"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, "a\"$(touch " + marker + ")`id`; x");
  EXPECT_FALSE(root.Exists("/tmp/pwned"));
  EXPECT_EQ(do_cmd("/bin/sh", {"-c", "exit 3"}, true), 3);
  EXPECT_EQ(va_cmd("/bin/sh", 2, 1, "-c", "kill -9 $$"), -1);
  EXPECT_EQ(do_cmd("/nonexistent/program", {}, true), 1);
  EXPECT_EQ(RunShell("exit 7").status, 7);
}

TEST(ProgramRun, ChildStartsWithNoBlockedSignals) {
  ExecResult r = RunArgv({"grep", "SigBlk", "/proc/self/status"});
  EXPECT_NE(r.output.find("0000000000000000"), std::string::npos) << r.output;
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &block, nullptr);
  r = RunArgv({"grep", "SigBlk", "/proc/self/status"});
  pthread_sigmask(SIG_UNBLOCK, &block, nullptr);
  EXPECT_NE(r.output.find("0000000000000000"), std::string::npos) << r.output;
}

TEST(ProgramRun, EveryChildIsReaped) {
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(do_cmd("/bin/true", {}, i % 2 == 0), 0);
  }
  char out[16];
  get_shell_output("echo x", out, sizeof out);
  pid_t pid;
  FILE* f = popen2("echo y", "r", &pid);
  ASSERT_NE(f, nullptr);
  char line[8];
  ASSERT_NE(fgets(line, sizeof line, f), nullptr);
  EXPECT_STREQ(line, "y\n");
  int status = pclose2(pid, f);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(ZombieChildren(), 0);
}

TEST(AsyncCommand, OutputComesInChunksThenEnd) {
  evthread_use_pthreads();
  zc::ev::BasePtr loop(event_base_new());
  ASSERT_EQ(ExecInit(loop.get()), 0);
  std::vector<size_t> chunks;
  bool ended = false;
  std::string total;
  ASSERT_EQ(RunCommand(
                "head -c 600 /dev/zero | tr '\\0' z",
                [&](const char* chunk, const std::string& token) {
                  EXPECT_EQ(token, "tok");
                  if (!chunk) {
                    ended = true;
                    return;
                  }
                  chunks.push_back(strlen(chunk));
                  total += chunk;
                },
                "tok"),
            0);
  event_base_dispatch(loop.get());
  EXPECT_TRUE(ended);
  EXPECT_EQ(total, std::string(600, 'z'));
  for (size_t c : chunks) EXPECT_LE(c, kRunCommandChunk);
  loop.reset();
  EXPECT_EQ(ExecInit(nullptr), -1);
}

}  // namespace
