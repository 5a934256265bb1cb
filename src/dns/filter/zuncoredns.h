// The filtering module: per-client verdicts with reputation lookups on the edge connection, and
// the DNS engine it drives.
#pragma once

struct event_base;

// Prepares the filter (edgeReputation 1: lookups go to the edge connection). 0 or -1.
int ZunCoreDnsInit(event_base* loop, int edgeReputation);
// Starts the DNS engine in place of the router's dnsmasq. 0 or -1.
int DnsServerInit(event_base* loop);
