// Parsers of the Wi-Fi driver's files (/proc/IF/stats, /proc/IF/sta_info) and MIB values. Pure
// functions: no I/O, so they are tested with real-looking and malformed text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/device_ops.h"

namespace rtl {

// Fills the 21 SSID counters from /proc/IF/stats (64-bit, base from the text); unknown keys are
// ignored, missing ones stay 0.
void ParseWlanStats(std::string_view text, uint64_t (&counters)[kWlanCounterCount]);
// Value of "key:" on the line whose name part (before ':') equals key; 0 when absent.
uint64_t StatsValue(std::string_view text, std::string_view key);
// Number of "stat_info" lines (associated stations).
unsigned CountStaInfo(std::string_view text);
// Station records of /proc/IF/sta_info, at most maxStations; ip is set to "NA".
std::vector<StationRecord> ParseStaInfo(std::string_view text, size_t maxStations);
// "MCS7 72" -> mcs 7, rate 72; "VHT NSS1-MCS9 433" -> 9, 433; "54" -> 0, 54.
void ParseRate(std::string_view text, int32_t* mcs, int32_t* rate);
// "1 day 2 hr 3 min 4 sec" -> 93784.
uint32_t ParseLinkTime(std::string_view text);

// Standard (WlanOperStd) of the driver's "band" MIB.
uint32_t StandardFromBand(uint32_t band);
// Encryption and security mode of the driver's encryption MIBs.
void EncryptionAndSecurity(uint32_t encmode, uint32_t psk, uint32_t wpaCipher, uint32_t wpa2Cipher,
                           uint32_t* encryption, uint32_t* security);
uint32_t ChannelWidthFromUse40M(uint32_t use40m);
uint32_t OperModeFromOpmode(uint32_t opmode);
uint32_t BandFromChannel(uint32_t channel);

}  // namespace rtl
