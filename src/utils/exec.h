// Running router commands: through the shell with captured output, asynchronously on the main
// loop, with a pipe in either direction, or as an argument vector (no shell) for anything that
// carries cloud- or peer-supplied text.
//
// Callers today: RunArgv (platform layer, exit path, filtering), SpawnDetached (exit path) and
// do_cmd (configuration commands). The rest (get_shell_output, RunCommand, popen2/pclose2,
// va_cmd, RunShell, StartCwmp/StopCwmp, ReadPID) is kept API with no caller today.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

struct event_base;

// Capacity of the capture buffer of get_shell_output: output beyond it is read and dropped.
inline constexpr size_t kShellOutputMax = 512;
// Longest a captured command may run before it is killed (real seconds, scaled).
inline constexpr std::chrono::seconds kShellOutputTimeout{10};
// Chunk size of the asynchronous reader.
inline constexpr size_t kRunCommandChunk = 255;

int ExecInit(event_base* loop);

// Runs a shell command and copies the start of its output into out (size bytes, terminated):
// the trailing newline is dropped, the rest is cut to size - 1. -1 when the command printed
// nothing, timed out or could not start.
int get_shell_output(const char* command, char* out, size_t size);

// Handler of an asynchronous command: called on the main loop thread with each chunk of output
// (at most 255 bytes) and once with a null chunk at the end.
using RunCommandHandler = std::function<void(const char* chunk, const std::string& token)>;
// Starts a shell command whose output is read on the main loop. Callable from any thread.
int RunCommand(const std::string& command, RunCommandHandler handler, const std::string& token);

// Starts "/bin/sh -c command" in a new process group with a pipe to its standard output
// (mode 'r') or from its standard input (any other mode).
FILE* popen2(const char* command, const char* mode, pid_t* pid);
// Closes the stream (if any) and waits for pid; the wait status or -1.
int pclose2(pid_t pid, FILE* stream);

// Runs a program with an argument list (no shell). argv[0] is the program (a path, or a name
// found on PATH). With wait: the exit code, or -1 when it could not run or died by a signal;
// without wait: 0 once started (the child is reaped in the background).
int do_cmd(const char* program, const std::vector<std::string>& args, bool wait);
int va_cmd(const char* program, int count, int wait, ...);

// Result of RunArgv: exit code (-1 when it could not run, died by a signal or timed out) and
// the captured standard output.
struct ExecResult {
  int status = -1;
  bool timedOut = false;
  std::string output;
};
// Runs an argument vector with its standard output captured (up to maxOutput bytes) and a
// time-out (real, scaled) after which the process group is killed.
ExecResult RunArgv(const std::vector<std::string>& argv,
                   std::chrono::milliseconds timeout = kShellOutputTimeout,
                   size_t maxOutput = 64 * 1024);
// Same through "/bin/sh -c".
ExecResult RunShell(const std::string& command,
                    std::chrono::milliseconds timeout = kShellOutputTimeout,
                    size_t maxOutput = 64 * 1024);
// Starts an argument vector detached (double fork): it outlives nothing of ours and leaves no
// zombie. 0 or -1.
int SpawnDetached(const std::vector<std::string>& argv);

void StartCwmp();
void StopCwmp();
int ReadPID(const char* file);
