// The kernel's ipset commands as netfilter netlink messages: one message adds (or deletes) one
// address in one named set. Built with libmnl into a caller's buffer, so a batch of them goes to
// the kernel in one send.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zc::dns {

// Protocol version sent with every command. The kernel accepts anything from its minimum (6)
// up; 6 is understood by every kernel that has ipset over netlink, old router kernels included.
inline constexpr uint8_t kIpsetProtocol = 6;
// Set names are at most 31 characters (the kernel's limit, with the terminating NUL).
inline constexpr size_t kIpsetMaxName = 31;
// The kernel keeps timeouts in milliseconds in an unsigned int: larger values are refused.
inline constexpr uint32_t kIpsetMaxTimeout = 2147483;
// Room one message needs at most (header, set name, IPv6 address, timeout), with margin.
inline constexpr size_t kIpsetMessageMax = 160;

enum class IpsetCommand : uint8_t { kAdd, kDelete };

struct IpsetEntry {
  std::string set;
  int family = 0;         // AF_INET or AF_INET6
  uint8_t addr[16] = {};  // network order; 4 bytes used for AF_INET
  uint32_t timeout = 0;   // seconds; 0: no timeout attribute (the set's default applies)
};

// Writes one message at `buf` (at least kIpsetMessageMax bytes, aligned for a netlink header).
// Returns its length, or 0 when the entry cannot be expressed (bad family, empty or long name).
size_t BuildIpsetMessage(IpsetCommand command, const IpsetEntry& entry, uint32_t seq, void* buf);

// "192.0.2.1" / "2001:db8::1".
std::string IpsetAddressText(const IpsetEntry& entry);

// The text of an error the kernel returned for an ipset command (errno values and the ipset
// protocol's own codes).
std::string IpsetErrorText(int error);

}  // namespace zc::dns
