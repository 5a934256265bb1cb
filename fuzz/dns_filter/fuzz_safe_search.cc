// The safe-search file as untrusted input: parse it, then look up every word of it. Nothing
// overflows, the table never holds more than its slots, and every lookup ends.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "dns/filter/safesearchhash.h"
#include "utils/log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = (LogLevelSet(LL_CRIT), true);
  (void)quiet;
  std::string text(reinterpret_cast<const char*>(data), size);
  auto table = zc::safesearch::Table::Parse(text);
  if (table->size() > zc::safesearch::kSlots) abort();
  zc::safesearch::Install(table);
  std::istringstream words(text);
  std::string word;
  while (words >> word) {
    const zc::safesearch::Entry* e = table->Find(word);
    if (e &&
        (e->name.size() > zc::safesearch::kMaxName || e->ipv4.size() > 15 || e->ipv6.size() > 45)) {
      abort();
    }
    GetSafeSearchIpv4Addr(word.c_str());
    GetSafeSearchIpv6Addr(("http://www." + word).c_str());
  }
  return 0;
}
