// Journal records: which system-log lines are forwarded, how they are packed, and the rate budget
// that bounds publishing under a flood. Pure, so tests and the fuzzer drive them directly.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "event/report_common.h"
#include "platform/device_ops.h"

namespace zc::journal {

// Noisy sources that are never forwarded.
bool Dropped(const JournalRecord& record);

std::vector<uint8_t> PackJournal(const report::Identity& id, const JournalRecord& record);

// Records per second forwarded at most (with a burst allowance); beyond, records are counted as
// dropped instead of flooding the message connection.
inline constexpr double kRecordsPerSecond = 1000.0;
inline constexpr double kRecordBurst = 2000.0;

class Budget {
 public:
  Budget(double perSecond = kRecordsPerSecond, double burst = kRecordBurst)
      : rate_(perSecond), burst_(burst), tokens_(burst) {}
  // One record at `nowMs` (monotonic milliseconds): true to forward it.
  bool Take(int64_t nowMs);
  uint64_t dropped() const { return dropped_; }

 private:
  double rate_;
  double burst_;
  double tokens_;
  int64_t lastMs_ = -1;
  uint64_t dropped_ = 0;
};

}  // namespace zc::journal
