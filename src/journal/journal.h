// The journal: the router's system log forwarded as journal records.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/device_ops.h"
#include "utils/monitor.h"

struct event_base;

// Starts the journal thread, which takes over the system log socket. 0 or -1.
int JournalInit(event_base* loop);
// Builds, checks and publishes one record ("log" is the only kind). 0 or -1.
int JournalConstructProto(const char* kind, const JournalRecord* record);
// Publishes one packed record: on the message connection once every module is up, before that on
// the bootstrap connection, and nowhere while neither exists. 0 or -1.
int JournaPublish(const uint8_t* buffer, size_t length);
// The read-and-publish loop of the journal thread on a socket already set up; runs until stop is
// requested (forever without a token).
void JournalLoop(StopToken* stop);
// Records not forwarded because of the rate budget, since the start.
uint64_t JournalDroppedRecords();
