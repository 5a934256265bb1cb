// The MAC of a LAN client, from the kernel's ARP table on the LAN bridge.
#pragma once

#include <sys/socket.h>

#include <string>
#include <string_view>

inline constexpr const char* kLanBridge = "br0";
inline constexpr const char* kUnknownMac = "00:00:00:00:00:00";

// "xx:xx:xx:xx:xx:xx" for an IPv4 client found on br0, else kUnknownMac.
std::string ClientMacOf(const sockaddr_storage& client);
// The MAC of `ip` on `device` in the text of /proc/net/arp (complete entries only, lower case),
// else kUnknownMac. Read where the kernel refuses SIOCGARP itself (not merely an address it does
// not know): qemu-user, for one, passes the request's address on as zeros.
std::string ArpTableMac(std::string_view procNetArp, std::string_view ip, std::string_view device);
