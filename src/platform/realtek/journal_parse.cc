#include "platform/realtek/journal_parse.h"

#include <cctype>
#include <cstdio>
#include <string>

namespace rtl {
namespace {

constexpr int kDefaultPriority = 13;  // user.notice
constexpr int kPriorityMask = 0x3FF;
constexpr size_t kStampLen = 16;  // "Mmm dd hh:mm:ss "

bool KnownFacility(int facility) {
  int code = facility >> 3;
  return code <= 11 || (code >= 16 && code <= 23);
}

void ParseOne(std::string_view text, JournalRecord* r) {
  int priority = kDefaultPriority;
  if (text.size() > 1 && text[0] == '<' && std::isdigit(static_cast<unsigned char>(text[1]))) {
    size_t i = 1;
    long value = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
      if (value <= kPriorityMask * 10L) value = value * 10 + (text[i] - '0');
      ++i;
    }
    priority =
        (value & ~static_cast<long>(kPriorityMask)) ? kDefaultPriority : static_cast<int>(value);
    if (i < text.size() && text[i] == '>') ++i;
    text.remove_prefix(i);
  }
  std::string copy;
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    if (c == '\n') {
      copy += ' ';
    } else if (u < 0x20 && c != '\t') {
      copy += '^';
      copy += static_cast<char>(u + 64);
    } else {
      copy += c;
    }
  }
  std::string_view rest = copy;
  if (rest.size() >= kStampLen && rest[3] == ' ' && rest[6] == ' ' && rest[15] == ' ' &&
      rest[9] == ':' && rest[12] == ':') {
    rest.remove_prefix(kStampLen);
  }
  CopyField(r->source, "/dev/log");
  CopyField(r->severity, SyslogSeverity(priority).c_str());
  // Tag: "name[pid]:" or "name:"; anything else keeps the whole text.
  std::string module = "NA", pid = "NA";
  size_t stop = rest.find_first_of(":[ ");
  if (!rest.empty() && rest[0] != ' ' && stop != std::string_view::npos && stop > 0 &&
      rest[stop] != ' ') {
    if (rest[stop] == ':') {
      module = std::string(rest.substr(0, stop));
      rest.remove_prefix(stop + 1);
    } else {
      size_t close = rest.find("]:", stop);
      bool digits = close != std::string_view::npos && close > stop + 1;
      for (size_t i = stop + 1; digits && i < close; ++i) {
        digits = std::isdigit(static_cast<unsigned char>(rest[i]));
      }
      if (digits) {
        module = std::string(rest.substr(0, stop));
        // Any number of digits may come from a local process: strip leading zeros and keep the
        // text (the field width bounds it), never convert it into a fixed-size integer.
        std::string_view digitsText = rest.substr(stop + 1, close - stop - 1);
        size_t nz = digitsText.find_first_not_of('0');
        pid = nz == std::string_view::npos ? "0" : std::string(digitsText.substr(nz));
        rest.remove_prefix(close + 2);
      }
    }
  }
  CopyField(r->module, module.c_str());
  CopyField(r->processId, pid.c_str());
  CopyField(r->log, std::string(rest).c_str());
}

}  // namespace

std::string SyslogSeverity(int priority) {
  if (priority == 0) return "user";
  static const char* const kLevels[] = {"emerg", "alert",  "crit", "err",
                                        "warn",  "notice", "info", "debug"};
  int facility = priority & ~7;
  if (!KnownFacility(facility)) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "<%d>", priority);
    return buf;
  }
  return kLevels[priority & 7];
}

bool ParseSyslogDatagram(std::string_view datagram, JournalRecord* record) {
  while (!datagram.empty() && (datagram.back() == '\0' || datagram.back() == '\n')) {
    datagram.remove_suffix(1);
  }
  if (datagram.empty()) return false;
  *record = JournalRecord{};
  size_t start = 0;
  while (start <= datagram.size()) {
    size_t end = datagram.find('\0', start);
    if (end == std::string_view::npos) end = datagram.size();
    if (end > start) ParseOne(datagram.substr(start, end - start), record);
    start = end + 1;
  }
  return true;
}

}  // namespace rtl
