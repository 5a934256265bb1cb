// DNS names: the wire reader with its bounds, the writer with its compression table, and the
// presentation form used everywhere outside the wire.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "dns/codec/dns_packet.h"

// Largest uncompressed wire name, with the final zero byte.
inline constexpr int kDnsWireNameMax = kDnsMaxNameOctets;

// Reads the name at *offset of msg[0, len), following compression pointers (each must point
// before the position it is read at; at most four in a row). Writes the uncompressed wire form
// into wire (kDnsWireNameMax bytes) and its length into *wire_len, and moves *offset past the
// name as it is stored at that position. 0 or -1.
int dns_name_expand(const uint8_t* msg, int len, int* offset, uint8_t* wire, int* wire_len);

// Wire form -> presentation text (NUL-terminated, at most maxsize - 1 characters). 0 or -1.
int dns_name_to_text(const uint8_t* wire, int wire_len, char* text, int maxsize);
// Presentation text (escapes allowed, a final dot optional, "" or "." is the root) -> wire form.
// Fails on empty labels, labels over 63 octets and names over 255 octets. 0 or -1.
int dns_name_from_text(std::string_view text, uint8_t* wire, int* wire_len);

// Reads a name at *offset and renders it as text; 0 or -1.
int dns_name_read_text(const uint8_t* msg, int len, int* offset, char* text, int maxsize);

// Writes a wire name at *offset of out[0, size), compressed against the suffixes recorded in
// table (which it also fills); out is the start of the message the pointers refer to. 0 or -1.
int dns_name_write(uint8_t* out, int size, int* offset, const uint8_t* wire, int wire_len,
                   dns_compress_table* table);

// Skips the name at *offset without expanding it (bounds and label rules still apply). 0 or -1.
int dns_name_skip(const uint8_t* msg, int len, int* offset);

// Compares two wire names ignoring ASCII case.
bool dns_wire_name_equal_nocase(const uint8_t* a, int alen, const uint8_t* b, int blen);
// Compares two presentation names ignoring ASCII case (escapes are resolved first).
bool dns_name_equal_nocase(std::string_view a, std::string_view b);
// Lower-cases a presentation name (ASCII letters only; escapes stay as they are).
std::string dns_name_lower(std::string_view name);
