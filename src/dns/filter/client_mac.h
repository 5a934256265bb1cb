// The MAC of a LAN client, from the kernel's ARP table on the LAN bridge.
#pragma once

#include <sys/socket.h>

#include <string>

inline constexpr const char* kLanBridge = "br0";
inline constexpr const char* kUnknownMac = "00:00:00:00:00:00";

// "xx:xx:xx:xx:xx:xx" for an IPv4 client found on br0, else kUnknownMac.
std::string ClientMacOf(const sockaddr_storage& client);
