// The journal: the router's system log forwarded as journal records.
#pragma once

struct event_base;

// Takes over the system log socket and starts the journal thread. 0 or -1.
int JournalInit(event_base* loop);
