// The cache file as untrusted input: load it, use what was loaded (lookups, a sweep), save it
// and load the saved file again. Nothing crashes, no entry is larger than a reply or answers
// another question than its key, and a saved file reloads to the same keys.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <tuple>

#include "dns/cache/cache_file.h"
#include "dns/codec/dns_name.h"
#include "dns/codec/dns_wire.h"
#include "dns/common/dns_handles.h"
#include "utils/log.h"

namespace {

using zc::dns::CacheEntry;
using zc::dns::CacheList;
using zc::dns::DnsCache;
using Keys = std::set<std::tuple<std::string, uint16_t, int>>;

constexpr zc::dns::CacheFileClock kClock{1000, 1'700'000'000};

zc::dns::UniqueFd MemFile(const uint8_t* data, size_t size) {
  zc::dns::UniqueFd fd(memfd_create("cache", MFD_CLOEXEC));
  if (!fd.valid()) abort();
  if (size && write(fd.get(), data, size) != static_cast<ssize_t>(size)) abort();
  lseek(fd.get(), 0, SEEK_SET);
  return fd;
}

Keys Check(const DnsCache& c) {
  Keys keys;
  for (CacheList list : {CacheList::kActive, CacheList::kExpired}) {
    c.ForEach(list, [&](const CacheEntry& e) {
      if (e.packet().size() > zc::dns::kCacheMaxPacket) abort();
      DnsQuestionView q;
      if (dns_read_question(e.packet().data(), static_cast<int>(e.packet().size()), &q) != 0 ||
          q.qtype != e.qtype || !q.qr) {
        abort();
      }
      char text[kDnsNameTextMax];
      if (dns_name_to_text(q.qname, q.qname_len, text, sizeof text) != 0 ||
          dns_name_lower(text) != e.domain()) {
        abort();
      }
      keys.emplace(std::string(e.domain()), e.qtype, static_cast<int>(list));
    });
  }
  return keys;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_loglevel.store(LL_CRIT + 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1 << 20)) return 0;
  DnsCache::Settings settings;
  settings.max_size = 64;
  settings.serve_expired = true;
  settings.serve_expired_ttl = 86400;
  DnsCache cache(settings, 7);
  zc::dns::UniqueFd in = MemFile(data, size);
  zc::dns::LoadCacheFd(in.get(), &cache, kClock);
  Check(cache);
  for (int list = 0; list < 2; list++) {
    std::set<std::pair<std::string, uint16_t>> names;
    cache.ForEach(static_cast<CacheList>(list),
                  [&](const CacheEntry& e) { names.emplace(std::string(e.domain()), e.qtype); });
    for (const auto& [name, qtype] : names) {
      if (!cache.Lookup({name, qtype, {}, {}}, kClock.now)) abort();
    }
  }
  DnsCache::SweepOptions sweep;
  sweep.prefetch = true;
  sweep.expired_prefetch = true;
  cache.Sweep(sweep, kClock.now);
  Keys before = Check(cache);

  zc::dns::UniqueFd out(memfd_create("saved", MFD_CLOEXEC));
  if (zc::dns::SaveCacheFd(out.get(), cache, kClock) != static_cast<long>(cache.size())) abort();
  lseek(out.get(), 0, SEEK_SET);
  DnsCache again(settings, 9);
  auto r = zc::dns::LoadCacheFd(out.get(), &again, kClock);
  if (!r.ok || r.skipped != 0 || Check(again) != before) abort();
  return 0;
}
