// Configuration intake on the command connection.
#pragma once

#include <cstddef>
#include <string>

struct event_base;

// Subscribes the command subjects. 0 or -1.
int ConfigInit(event_base* loop);

// Answers one configuration transaction with a CONFIGRESP on the configuration-response subject.
void ConfigResponse(const char* transid, const char* text);

// Publishes a diagnostic payload (JSON or protocol buffer) on the command connection with the
// "zun-proto" header. 0, or -1 when the subject is missing.
int ConfigNatsPublish(const void* payload, size_t length, const char* subject);

// Makes a station reconnect after its filtering profile changed (block, disconnect, wait,
// unblock), on the intake's re-initialisation worker.
void StationReInitOnProfileChange(std::string mac);
