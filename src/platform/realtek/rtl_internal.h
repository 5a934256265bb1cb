// Helpers shared by the Realtek backend's files: the flash settings tool, router tools as
// argument vectors, interface requests and small text utilities.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/device_ops.h"
#include "utils/exec.h"

namespace rtl {

// Interface names of the first radio by WLAN index; "NA" for an unknown index.
std::string WlanInterfaceName(int index);
// "WLAN_MBSSIB_TBL.N" / "WLAN1_MBSSIB_TBL.N" of an interface; "WLAN1_MBSSIB_TBL.-1" when unknown.
std::string WlanFlashTable(const std::string& ifname);
// A Wi-Fi interface name the backend accepts (wlan0, wlan0-vap0..2, wlan1, wlan1-vap0..2).
bool IsKnownWlanIf(const char* ifname);
// A Linux interface name: 1..15 characters of [A-Za-z0-9_.-].
bool IsSafeIfName(const char* ifname);

// Runs a router tool (argument vector, found on PATH).
ExecResult RunTool(const std::vector<std::string>& argv);

// flash get NAME: the text after the first '=' of the last "NAME=..." line; nothing when the
// setting is missing. Ends the agent when the tool cannot be started.
std::optional<std::string> FlashGet(const std::string& name);
// A read whose tool did not finish in time: the value is unknown, which is not the same as a
// setting the flash does not have.
struct FlashReading {
  std::optional<std::string> value;
  bool unknown = false;
};
FlashReading FlashRead(const std::string& name);
// String read cut to capacity-1 characters ("" when missing).
std::string FlashGetString(const std::string& name, size_t capacity);
// Integer read (decimal, like atoi); -1 when the setting is missing.
long FlashGetInt(const std::string& name);
// flash set NAME VALUE as an argument vector; 0 on exit status 0, else -1.
int FlashSet(const std::string& name, const std::string& value);
int FlashSetInt(const std::string& name, long value);

// Interface requests through the driver seam.
int InterfaceMac(const char* ifname, char (&mac)[kMacTextLen]);
int InterfaceIpv4(const char* ifname, char (&ip)[kIpv4TextLen]);
// SIOCGIFFLAGS running bit; -1 when the request fails.
int InterfaceRunning(const char* ifname);

// Reads a small router file (mapped under the root); nothing when it cannot be opened.
std::optional<std::string> ReadRouterFile(std::string_view routerPath, size_t maxBytes = 65536);
std::string FirstLine(const std::string& text);
std::string FirstToken(const std::string& text);
std::string Trim(std::string_view text);
// Parses an unsigned 64-bit number with base detection (0x.., 0..); 0 when there is none.
uint64_t ParseU64(std::string_view text);
// Six MAC bytes from "aa:bb:cc:dd:ee:ff"; false when the text is not that form.
bool ParseColonMac(const char* text, uint8_t (&mac)[6]);
// Validates and normalises a MAC ("00-11-22-33-44-55", "001122334455", ...) to lower-case colon
// form; empty when invalid.
std::string CanonicalMac(const char* text);
std::string FormatMac(const uint8_t (&mac)[6], bool upper);
bool IsZeroMac(const char* text);

// The Internet WAN: first WAN table entry (0..5) with bit 0x2 in applicationtype; -1 when none.
int FindInternetWan();
// Linux name of a WAN ifIndex; empty for 65535.
std::string WanIfNameFromIndex(long ifIndex);
// The Internet WAN interface found at start-up.
std::string InternetWanIfName();
void SetInternetWanIfName(const std::string& name);

// Client list (client tracking): reset at start-up, lookups by MAC or IP.
void ResetClientList();
std::optional<ClientRecord> FindClientCopy(const char* mac, const char* ip);
size_t ClientListSize();
// Lowers the client list and fingerprint file bounds (0 restores them); for tests.
void SetClientLimitsForTest(size_t clients, size_t fingerprintLines);
// Copies of the clients learned on one bridge port.
std::vector<ClientRecord> ClientsOnPort(const std::string& ifname);

}  // namespace rtl
