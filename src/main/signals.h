// Signal handling. The crash signal writes its exit line with async-signal-safe calls only;
// SIGINT and SIGTERM end the agent through ExitLog on the main loop.
#pragma once

struct event_base;

// Start-up step 1: ignore SIGPIPE, install the crash handler, remember SIGINT/SIGTERM until the
// loop exists.
void InstallEarlySignalHandlers();
// Moves SIGINT/SIGTERM onto the main loop (and handles one that arrived earlier). 0 or -1.
int AttachSignalsToLoop(event_base* loop);
// Frees the loop's signal events; before the loop itself is freed.
void DetachSignalsFromLoop();
