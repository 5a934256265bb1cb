// The Wi-Fi driver's private interface as this backend uses it: request numbers, MIB widths and
// the site-survey result layout. The simulated driver implements the same numbers and layout.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rtl {

// Private requests of the Realtek Wi-Fi driver.
inline constexpr unsigned long kReqSetMib = 0x89F1;
inline constexpr unsigned long kReqGetMib = 0x89F2;
inline constexpr unsigned long kReqDisconnectSta = 0x89F7;
inline constexpr unsigned long kReqBlockSta = 0x8B45;
inline constexpr unsigned long kReqUnblockSta = 0x8B46;
inline constexpr unsigned long kReqCheckIf = 0x8B01;  // SIOCGIWNAME
inline constexpr unsigned long kReqSurveyRequest = 0x8B33;
inline constexpr unsigned long kReqSurveyResult = 0x8B34;
inline constexpr unsigned long kReqAutoChannel = 0x8BC5;

// Size of the buffer of every MIB request.
inline constexpr size_t kMibRequestLen = 256;
// Argument of the automatic channel selection request.
inline constexpr size_t kAutoChannelArgLen = 10;

// Site survey: first byte of the result buffer is the status (0xFF while the scan runs, else the
// number of entries); the entries follow from byte 1.
inline constexpr uint8_t kSurveyBusy = 0xFF;
inline constexpr uint8_t kSurveyRequestBusy = 255;
inline constexpr size_t kSurveyEntrySize = 176;
inline constexpr size_t kSurveyMaxEntries = 64;
inline constexpr size_t kSurveyBufferLen = 1 + kSurveyEntrySize * kSurveyMaxEntries;

// Offsets inside one survey entry (native byte order, zero-filled).
inline constexpr size_t kSurveyBssidOff = 0;         // 6 bytes
inline constexpr size_t kSurveySsidLenOff = 6;       // u8
inline constexpr size_t kSurveySsidOff = 7;          // 32 bytes
inline constexpr size_t kSurveyChannelOff = 39;      // u8
inline constexpr size_t kSurveyBeaconOff = 40;       // u16
inline constexpr size_t kSurveyDtimOff = 42;         // u8
inline constexpr size_t kSurveySignalOff = 43;       // u8 (signal + 100)
inline constexpr size_t kSurveyNetworkTypeOff = 44;  // u32, 1 = infrastructure
inline constexpr size_t kSurveySsidMax = 32;

}  // namespace rtl
