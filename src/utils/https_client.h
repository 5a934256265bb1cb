// Asynchronous HTTPS client on the main loop.
#pragma once

struct event_base;

int HttpsInit(event_base* loop);
int HttpsCleanUp();
