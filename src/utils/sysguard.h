// The two actions that reach beyond the agent's process: setting the system clock and rebooting.
// On the simulated router the clock setting is recorded and never applied, and a reboot reaches
// the kernel only inside the lab's own namespaces.
#pragma once

#include <sys/time.h>

int PlatformSetClock(const timeval* tv);
int PlatformReboot();
