// Firmware validation at sign-on and cloud-assigned updates.
#pragma once

// Starts the firmware-validation thread (validation over the bootstrap connection, an update
// when required, then sign-on). 0, or -1 when the thread cannot be started.
int StartFirmwareValidation();
