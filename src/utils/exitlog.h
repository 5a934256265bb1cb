// The one way the agent ends on a fatal condition: record the reason, hand port 53 back to the
// router's dnsmasq, copy the settings snapshot into the log, end the own process. The launcher
// starts the next process.
#pragma once

#include <sys/time.h>

#include <atomic>
#include <functional>
#include <string>

inline constexpr const char* kExitFile = "/tmp/zuncore_exit";
inline constexpr const char* kInitCompleteFile = "/tmp/zuninitcomplete";
inline constexpr const char* kRunDohFile = "/tmp/zuncore-rundoh";

// Base of every "TimeElapsed" figure (seconds; 0 until the message connection is up).
extern std::atomic<long> gZuncoreTimeStart;
extern std::atomic<int> gZunCoreProcessId;

[[noreturn]] void ExitLog(const char* reason);
[[noreturn]] inline void ExitLog(const std::string& reason) {
  ExitLog(reason.c_str());
}

// Hooks run by ExitLog before the router's dnsmasq is started again (the DNS engine registers the
// closing of its listeners here so dnsmasq can bind port 53).
using ExitHook = std::function<void()>;
int RegisterExitHook(ExitHook hook);
void UnregisterExitHook(int id);

// Elapsed seconds for an exit or health line, moving the start mark to now when it lies in the
// future (a clock set backwards).
long ElapsedSecondsSinceStart(long nowSeconds);

// Builds the exit line ("<local time> PID:<pid> TimeElapsed:<n>seconds ExitStatus:<reason>").
std::string ExitLineText(const std::string& localTime, int pid, long elapsed,
                         const std::string& reason);

// Makes sure the router's own dnsmasq runs (start-up, and on every exit): removes the DNS
// marker, then starts dnsmasq unless pidof finds one.
void EnsureRouterDnsmasq();

// Crash path: opens the exit file now so the SIGSEGV handler can write its line with
// async-signal-safe calls only, and installs that handler.
void InstallCrashHandler();
