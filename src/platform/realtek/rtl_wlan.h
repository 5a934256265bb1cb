// Driver MIB access of the Realtek backend (private requests through the driver seam).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rtl {

// The value bytes of one MIB; -1 when the request fails (logged).
int GetMibValue(const char* ifname, const char* name, std::vector<uint8_t>* value);
// The value read by its width (1, 2 or 4 bytes, native order); 0 when the request fails.
uint32_t GetMibInt(const char* ifname, const char* name);
uint8_t GetMibFirstByte(const char* ifname, const char* name);
// Pushes "name=value" to the running driver; -1 when the driver refuses.
int SetMib(const char* ifname, const std::string& text);

}  // namespace rtl
