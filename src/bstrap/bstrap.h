// Provisioning: bootstrap over HTTPS, the boot configuration file, the idle recovery state.
#pragma once

inline constexpr const char* kBootConfigFile = "/etc/config/zunbootconfig";

// Queues the HTTPS bootstrap request (answer handled on the main loop).
void Bootstrap();
// Start-up with a boot configuration file present: reads it and goes on to firmware validation,
// or falls back to Bootstrap().
void BootstrapPrefetch();
// Enters the idle recovery state.
void Zuncore_idle();
