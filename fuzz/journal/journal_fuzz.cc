// Any local process can write to the system log socket, so a datagram is hostile input. Whatever
// it holds, the record's fields stay terminated within their widths, and the record packs into a
// journal message that decodes back to the same texts.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "journal/journal_build.h"
#include "platform/realtek/journal_parse.h"
#include "proto/messages.h"

namespace {

template <size_t N>
void CheckField(const char (&field)[N]) {
  if (memchr(field, '\0', N) == nullptr) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The socket reads at most 511 bytes per datagram.
  size = size > 511 ? 511 : size;
  JournalRecord r{};
  if (!rtl::ParseSyslogDatagram(std::string_view(reinterpret_cast<const char*>(data), size), &r)) {
    return 0;
  }
  CheckField(r.source);
  CheckField(r.severity);
  CheckField(r.processId);
  CheckField(r.module);
  CheckField(r.log);
  (void)zc::journal::Dropped(r);
  auto packed = zc::journal::PackJournal({"t", "d", "l", "s"}, r);
  auto back = zc::pb::Unpack<Zun__Journal__JOURNAL>(packed.data(), packed.size());
  if (!back || strcmp(back->log, r.log) != 0 || strcmp(back->module, r.module) != 0 ||
      strcmp(back->severity, r.severity) != 0 || strcmp(back->processid, r.processId) != 0) {
    std::abort();
  }
  return 0;
}
