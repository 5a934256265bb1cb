// Configuration intake on the command connection.
#pragma once

struct event_base;

// Subscribes the command subjects. 0 or -1.
int ConfigInit(event_base* loop);
