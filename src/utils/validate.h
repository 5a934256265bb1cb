// Validators and small text helpers for addresses and MACs.
#pragma once

#include <string>

bool IsValidIpAddress(const char* text);
bool IsValidSubnetMask(const char* text);
bool IsMacValid(const char* text);
bool is_ipv4_address(const char* text);
bool is_ipv6_address(const char* text);
// In place: lower-cases and removes every ':' (00:1A:2B:3C:4D:5E -> 001a2b3c4d5e).
void formatmac(char* text);
std::string formatmac(const std::string& text);
// In place upper-case; null is ignored.
void strtoupper(char* text);
// A MAC accepted by IsMacValid in the canonical colon form, lower-case ("00:11:22:33:44:55");
// empty when invalid.
std::string NormalizeMac(const char* text);
