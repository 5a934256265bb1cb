// State shared by the filter's lookup path and its start-up code.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "dns/filter/zuncoredns.h"

namespace zc::filter {

extern std::atomic<bool> edgeReputation;
extern std::atomic<bool> g_isEdgeActive;
extern std::atomic<bool> gCloudLookups;

// Posts a verdict to the engine (or the test sink).
void PostVerdict(zc::dns::DnsRequestHandle handle, zc::dns::DnsVerdict verdict);
// Publishes on the edge connection (or the test publisher). 0 or -1.
int EdgePublish(const char* subject, const char* reply, const std::vector<uint8_t>& payload);
// The inbox the edge answers to (empty before ZunCoreDnsInit).
std::string Inbox();
// A lookup's end without an answer (time-out, edge inactive): allowed, fail-open.
void FinishAllowed(const EdgeRequest& request, const char* why);
// Starts / stops the expiry thread.
void StartExpiry();
void StopExpiry();

}  // namespace zc::filter
