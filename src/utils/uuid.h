// Trace identifiers and the process-wide random source.
#pragma once

#include <cstdint>
#include <string>

// Writes a 36-character lower-case hexadecimal identifier with dashes at 8, 13, 18 and 23 and a
// terminating zero (out must hold 37 bytes). 0.
int GetUUID(char* out);
std::string GetUUID();
// Thread-safe random numbers, seeded once from the kernel.
uint64_t RandomU64();
