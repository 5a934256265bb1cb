// Parsers of the neighbour tables and small client files (/proc/net/arp, "ip neighbor show",
// /tmp/hosts, the fingerprint file). Pure functions with bounded fields.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rtl {

struct ArpLine {
  std::string ip;
  unsigned flags = 0;
  std::string mac;
  std::string device;
};
// Lines of /proc/net/arp after the header; the walk ends at the first line with fewer than four
// fields. Addresses that are not IPv4 are skipped.
std::vector<ArpLine> ParseProcNetArp(std::string_view text);

struct NeighState {
  std::string ip;
  std::string state;  // REACHABLE, STALE, DELAY, PERMANENT, ...
};
// IPv4 entries of "ip neighbor show" with a link-layer address; IPv6 and unresolved lines are
// skipped.
std::vector<NeighState> ParseIpNeighbor(std::string_view text);
// State of one address, or nothing.
std::optional<std::string> NeighStateOf(const std::vector<NeighState>& table,
                                        const std::string& ip);

// Host name of an address in /tmp/hosts ("IP MAC HOSTNAME" lines): exact match on the address
// field; at most 63 characters; empty when none.
std::string HostNameFor(std::string_view hostsText, const std::string& ip);

// Device fingerprint codes (the order of the fingerprint file's fields).
struct Fingerprint {
  uint32_t deviceType = 0;
  uint32_t brand = 0;
  uint32_t osType = 0;
  uint32_t model = 0;
  bool Any() const { return deviceType || brand || osType || model; }
};
// The line of a MAC (first field, ignoring case) in the fingerprint file.
std::optional<Fingerprint> FingerprintOf(std::string_view fileText, const std::string& mac);
// The file with the MAC's old line removed and its new line appended; the oldest lines are
// dropped beyond maxLines.
std::string FingerprintRewrite(std::string_view fileText, const std::string& mac,
                               const Fingerprint& fp, size_t maxLines);

const char* OsName(uint32_t code);
const char* DeviceTypeName(uint32_t code);
const char* ModelName(uint32_t code);
const char* BrandName(uint32_t code);

}  // namespace rtl
