// Parsing of one system-log datagram into a journal record (pure function).
#pragma once

#include <string_view>

#include "platform/device_ops.h"

namespace rtl {

// The record of one datagram: several NUL-separated messages describe the last one. False when
// the datagram is empty after trailing NUL and newline bytes are removed.
bool ParseSyslogDatagram(std::string_view datagram, JournalRecord* record);
// Severity text of a syslog priority.
std::string SyslogSeverity(int priority);

}  // namespace rtl
