// The filtering module: per-client verdicts with reputation lookups on the edge connection, and
// the DNS engine it drives in place of the router's dnsmasq.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "dns/engine/dns_engine.h"
#include "dns/filter/edge_requests.h"
#include "proto/messages.h"

struct event_base;

// Prepares the filter (edgeReputation 1: lookups go to the edge connection): safe-search table,
// edge subscriptions (once; a second call replaces them), histogram worker. 0 or -1.
int ZunCoreDnsInit(event_base* loop, int edgeReputation);
// Stops the router's dnsmasq and starts the DNS engine with the filter as its verdict. 0 or -1.
int DnsServerInit(event_base* loop);

// The verdict for one query: kVerdictAllowed, a blocking decision, or kVerdictPending (the
// verdict is posted to the engine later). Engine thread.
zc::dns::DnsVerdict GetUrlReputation(const zc::dns::VerdictQuery& query);
// Handler of the inbox and the loop-back subject (any delivery thread).
void EdgeResponseCallBack(const void* payload, int length);
// Decides one classification and finishes its lookup. 0, or -1 for an unknown seqno.
int HandleEdgeResponse(const Zun__Edge__EDGEDNSRESP& response);

namespace zc::filter {

// The filter as the engine's verdict hook.
zc::dns::VerdictHook& Hook();
EdgeRequests& Pending();
// Ends every lookup older than the time-out (as allowed); the expiry thread calls it each beat.
size_t ExpireLookups(SteadyClock::time_point now);
// Internet-security switch: rewrites the engine's upstream, restarts the engine. 0 or -1.
int RestartEngine(bool internetSecurity);
// Stops the engine, the expiry thread and the worker; the listeners are closed (exit path).
void ShutdownDns();
bool EngineRunning();

// Test seams: where verdicts and edge messages go, and how dnsmasq is stopped.
using VerdictSink = std::function<void(zc::dns::DnsRequestHandle, zc::dns::DnsVerdict)>;
void SetVerdictSinkForTest(VerdictSink sink);
using EdgePublisher =
    std::function<int(const char* subject, const char* reply, const std::vector<uint8_t>& payload)>;
void SetEdgePublisherForTest(EdgePublisher publisher);
using MacResolver = std::function<std::string(const sockaddr_storage& client)>;
void SetMacResolverForTest(MacResolver resolver);
using DnsmasqStopper = std::function<void()>;
void SetDnsmasqStopperForTest(DnsmasqStopper stopper);
// Flags (edgeReputation, edge active, cloud lookups) for tests.
void SetFlagsForTest(bool edgeReputation, bool edgeActive, bool cloudLookups);
bool EdgeActive();
// Counters since the start.
uint64_t TimedOutLookups();
uint64_t CompletedLookups();

}  // namespace zc::filter
