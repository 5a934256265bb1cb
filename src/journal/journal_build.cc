#include "journal/journal_build.h"

#include <algorithm>
#include <cstring>

namespace zc::journal {

bool Dropped(const JournalRecord& r) {
  std::string_view log = report::Field(r.log);
  for (const char* noisy : {"forward_query:710", "MFC", "read /var/tmp/hosts"}) {
    if (log.find(noisy) != std::string_view::npos) return true;
  }
  return report::Field(r.module) == "dnsmasq";
}

std::vector<uint8_t> PackJournal(const report::Identity& id, const JournalRecord& r) {
  report::Arena arena;
  auto j = zc::pb::Make<Zun__Journal__JOURNAL>();
  j.time = arena.Str(id.timestamp);
  j.deviceid = arena.Str(id.deviceId);
  j.subscriberid = arena.Str(id.subscriberId);
  j.dll = arena.Str(id.dll);
  j.log = arena.Str(report::Field(r.log));
  j.module = arena.Str(report::Field(r.module));
  j.processid = arena.Str(report::Field(r.processId));
  j.severity = arena.Str(report::Field(r.severity));
  return zc::pb::Pack(j);
}

bool Budget::Take(int64_t nowMs) {
  if (lastMs_ >= 0 && nowMs > lastMs_) {
    tokens_ = std::min(burst_, tokens_ + static_cast<double>(nowMs - lastMs_) * rate_ / 1000.0);
  }
  lastMs_ = std::max(lastMs_, nowMs);
  if (tokens_ >= 1.0) {
    tokens_ -= 1.0;
    return true;
  }
  ++dropped_;
  return false;
}

}  // namespace zc::journal
