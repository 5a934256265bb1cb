// The CLI debug channel's output path: a command's output (a cloud-chosen command line reading
// anything on the router, host names LAN clients chose included) arrives in pipe reads of any
// size, is cut into the lines the channel publishes and is written to the agent's log. Byte 0
// picks the read size (1..256); the rest is the output. Properties: every byte is published
// once and in order; a line holds at most one newline, at its end, and is at most the channel's
// line length, and only the last line may end without a newline unless it is full; the logged
// form of a line holds no control character (it cannot pose as another log line).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config/config_internal.h"
#include "utils/log.h"

namespace {

void Check(bool condition) {
  if (!condition) abort();
}

void CheckLine(const std::string& line, bool last) {
  Check(!line.empty() && line.size() <= kCliDebugLineMax);
  size_t newline = line.find('\n');
  Check(newline == std::string::npos || newline == line.size() - 1);
  if (newline == std::string::npos) Check(last || line.size() == kCliDebugLineMax);
  std::string text = line.back() == '\n' ? line.substr(0, line.size() - 1) : line;
  for (unsigned char c : LogText(text)) Check(c >= 0x20 && c != 0x7f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 64 * 1024) return 0;
  const size_t piece = static_cast<size_t>(data[0]) + 1;
  const std::string output(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string pending, published, previous;
  bool havePrevious = false;
  auto take = [&](bool ended) {
    while (std::optional<std::string> line = TakeCliLine(pending, ended)) {
      if (havePrevious) CheckLine(previous, false);
      previous = *line;
      havePrevious = true;
      published += *line;
    }
  };
  for (size_t pos = 0; pos < output.size(); pos += piece) {
    pending.append(output, pos, piece);
    take(false);
  }
  take(true);
  if (havePrevious) CheckLine(previous, true);
  Check(pending.empty());
  Check(published == output);
  return 0;
}
