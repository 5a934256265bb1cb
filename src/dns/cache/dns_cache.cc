#include "dns/cache/dns_cache.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "utils/log.h"

namespace zc::dns {

namespace {

constexpr size_t kHugePage = size_t{2} << 20;
constexpr uint64_t kMul1 = 0x9E3779B97F4A7C15ull;
constexpr uint64_t kMul2 = 0xC2B2AE3D27D4EB4Full;

inline uint64_t Mix(uint64_t h, uint64_t w) {
  h ^= w * kMul1;
  h = (h << 31) | (h >> 33);
  return h * kMul2;
}

// A seeded multiply-rotate hash, eight bytes a step: names chosen by a client cannot be lined
// up in one bucket without knowing the seed.
uint64_t HashBytes(uint64_t h, std::string_view s) {
  const char* p = s.data();
  size_t n = s.size();
  while (n >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h = Mix(h, w);
    p += 8;
    n -= 8;
  }
  uint64_t tail = 0;
  if (n) std::memcpy(&tail, p, n);
  return Mix(h, tail ^ (uint64_t{s.size()} << 56));
}

// Type 0 is reserved: the cache file's loader refuses it, so it is never kept either (a LAN
// client's query of type 0 and the upstream's failure answer would otherwise be saved to a file
// that does not load).
bool KeyFits(const CacheKeyView& key) {
  return key.qtype != 0 && !key.domain.empty() && key.domain.size() <= kCacheMaxDomain &&
         key.group.size() <= kCacheMaxKeyPart && key.subnet.size() <= kCacheMaxKeyPart;
}

bool SameKey(const CacheEntry& e, const CacheKeyView& key) {
  return e.qtype == key.qtype && e.domain() == key.domain && e.group() == key.group &&
         e.subnet() == key.subnet;
}

}  // namespace

CacheBuckets::CacheBuckets(size_t count) {
  size_t bytes = count * sizeof(CacheEntry*);
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return;
  if (bytes >= kHugePage) madvise(p, bytes, MADV_HUGEPAGE);
  data_ = static_cast<CacheEntry**>(p);
  size_ = count;
}

CacheBuckets::~CacheBuckets() {
  if (data_) munmap(data_, size_ * sizeof(CacheEntry*));
}

void CacheBuckets::Clear() {
  if (data_) std::memset(data_, 0, size_ * sizeof(CacheEntry*));
}

DnsCache::DnsCache(const Settings& settings, uint64_t hash_seed)
    : settings_(settings), seed_(hash_seed) {
  if (settings_.max_size < 0) settings_.max_size = 0;
  if (enabled()) buckets_ = CacheBuckets(kCacheInitialBuckets);
}

DnsCache::~DnsCache() {
  Clear();
}

void DnsCache::Clear() {
  for (ListHead& l : lists_) {
    for (CacheEntry* e = l.first; e;) {
      CacheEntry* next = e->next;
      FreeEntry(e);
      e = next;
    }
    l = {};
  }
  sweep_phase_ = SweepPhase::kIdle;
  sweep_next_ = nullptr;
  buckets_.Clear();
  if (count_) dirty_ = true;
  count_ = 0;
}

uint32_t DnsCache::Hash(const CacheKeyView& key) const {
  uint64_t h = HashBytes(seed_ ^ key.qtype, key.domain);
  if (!key.group.empty() || !key.subnet.empty()) {
    h = HashBytes(h, key.group);
    h = HashBytes(h, key.subnet);
  }
  return static_cast<uint32_t>(h ^ (h >> 32));
}

CacheEntry* DnsCache::Find(const CacheKeyView& key, uint32_t hash) const {
  if (buckets_.empty()) return nullptr;
  for (CacheEntry* e = buckets_[hash & (buckets_.size() - 1)]; e; e = e->hash_next) {
    if (e->hash == hash && SameKey(*e, key)) return e;
  }
  return nullptr;
}

const CacheEntry* DnsCache::Peek(const CacheKeyView& key) const {
  return Find(key, Hash(key));
}

void DnsCache::Prefetch(const CacheKeyView& key) const {
  if (!buckets_.empty()) __builtin_prefetch(&buckets_[Hash(key) & (buckets_.size() - 1)]);
}

CacheEntry* DnsCache::NewEntry(const CacheKeyView& key, uint32_t hash,
                               std::span<const uint8_t> packet, bool from_block) {
  size_t extra = key.domain.size() + key.group.size() + key.subnet.size() + packet.size();
  size_t size = (sizeof(CacheEntry) + extra + alignof(CacheEntry) - 1) & ~(alignof(CacheEntry) - 1);
  void* mem = nullptr;
  if (from_block && loading_ && block_used_ + size <= block_size_) {
    mem = block_ + block_used_;
    block_used_ += size;
    block_live_++;
  } else {
    mem = ::operator new(size);
    from_block = false;
  }
  auto* e = new (mem) CacheEntry;
  e->in_block = from_block;
  e->hash = hash;
  e->qtype = key.qtype;
  e->domain_len = static_cast<uint8_t>(key.domain.size());
  e->group_len = static_cast<uint8_t>(key.group.size());
  e->subnet_len = static_cast<uint8_t>(key.subnet.size());
  e->packet_len = static_cast<uint16_t>(packet.size());
  char* p = reinterpret_cast<char*>(e + 1);
  // Empty parts may have no storage at all: copy only what is there.
  auto put = [&p](const void* src, size_t n) {
    if (n) std::memcpy(p, src, n);
    p += n;
  };
  put(key.domain.data(), key.domain.size());
  put(key.group.data(), key.group.size());
  put(key.subnet.data(), key.subnet.size());
  put(packet.data(), packet.size());
  return e;
}

void DnsCache::FreeEntry(CacheEntry* e) {
  bool in_block = e->in_block;
  e->~CacheEntry();
  if (!in_block) {
    ::operator delete(e);
  } else if (--block_live_ == 0 && !loading_) {
    munmap(block_, block_size_);
    block_ = nullptr;
    block_size_ = block_used_ = 0;
  }
}

void DnsCache::BeginLoad(size_t bytes) {
  if (block_ || !enabled()) return;  // one block at a time
  bytes = std::min(bytes, kCacheMaxLoadBlock);
  size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  bytes = (bytes + page - 1) / page * page;
  if (bytes == 0) return;
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return;       // entries come one by one from the heap
  madvise(p, bytes, MADV_HUGEPAGE);  // a hint: without huge pages all works the same
  block_ = static_cast<uint8_t*>(p);
  block_size_ = bytes;
  block_used_ = block_live_ = 0;
  loading_ = true;
}

void DnsCache::EndLoad() {
  if (!loading_) return;
  loading_ = false;
  if (block_live_ == 0) {
    munmap(block_, block_size_);
    block_ = nullptr;
    block_size_ = block_used_ = 0;
    return;
  }
  size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  size_t keep = (block_used_ + page - 1) / page * page;
  if (keep < block_size_) munmap(block_ + keep, block_size_ - keep);
  block_size_ = keep;
}

void DnsCache::LinkBucket(CacheEntry* e) {
  CacheEntry*& head = buckets_[e->hash & (buckets_.size() - 1)];
  e->hash_next = head;
  head = e;
}

void DnsCache::UnlinkBucket(CacheEntry* e) {
  CacheEntry** link = &buckets_[e->hash & (buckets_.size() - 1)];
  while (*link && *link != e) link = &(*link)->hash_next;
  if (*link) *link = e->hash_next;
  e->hash_next = nullptr;
}

void DnsCache::PushBack(CacheList list, CacheEntry* e) {
  ListHead& l = Head(list);
  e->list = static_cast<uint8_t>(list);
  e->next = nullptr;
  e->prev = l.last;
  if (l.last) {
    l.last->next = e;
  } else {
    l.first = e;
  }
  l.last = e;
}

void DnsCache::PushFront(CacheList list, CacheEntry* e) {
  ListHead& l = Head(list);
  e->list = static_cast<uint8_t>(list);
  e->prev = nullptr;
  e->next = l.first;
  if (l.first) {
    l.first->prev = e;
  } else {
    l.last = e;
  }
  l.first = e;
}

void DnsCache::Unlink(CacheEntry* e) {
  if (e == sweep_next_) sweep_next_ = e->next;
  ListHead& l = Head(e->which_list());
  if (e->prev) {
    e->prev->next = e->next;
  } else {
    l.first = e->next;
  }
  if (e->next) {
    e->next->prev = e->prev;
  } else {
    l.last = e->prev;
  }
  e->prev = e->next = nullptr;
}

void DnsCache::Remove(CacheEntry* e) {
  Unlink(e);
  UnlinkBucket(e);
  FreeEntry(e);
  count_--;
  dirty_ = true;
}

void DnsCache::Touch(CacheEntry* e) {
  Unlink(e);
  PushBack(CacheList::kActive, e);
  e->hitnum = static_cast<int16_t>(std::min<int32_t>(e->hitnum + e->step, kCacheHitnumMax));
  if (e->step < kCacheStepMax) e->step++;
}

void DnsCache::EvictIfFull() {
  while (count_ > static_cast<uint64_t>(settings_.max_size)) {
    CacheEntry* victim = Head(CacheList::kExpired).first;
    if (!victim) victim = Head(CacheList::kActive).first;
    if (!victim) return;
    Remove(victim);
  }
}

void DnsCache::MaybeGrow() {
  if (count_ > buckets_.size()) Rehash(buckets_.size() * 2);
}

void DnsCache::Reserve(size_t entries) {
  size_t want = buckets_.size();
  while (want < entries && want < kCacheMaxBuckets) want *= 2;
  Rehash(want);
}

void DnsCache::Rehash(size_t buckets) {
  buckets = std::min(buckets, kCacheMaxBuckets);
  if (!enabled() || buckets <= buckets_.size()) return;
  CacheBuckets grown(buckets);
  if (grown.empty()) return;  // no memory for a larger table: chains grow instead
  size_t mask = grown.size() - 1;
  for (CacheEntry* head : buckets_) {
    for (CacheEntry* e = head; e;) {
      CacheEntry* next = e->hash_next;
      e->hash_next = grown[e->hash & mask];
      grown[e->hash & mask] = e;
      e = next;
    }
  }
  buckets_.swap(grown);
}

void DnsCache::Swap(CacheEntry* old, CacheEntry* fresh) {
  CacheEntry** link = &buckets_[old->hash & (buckets_.size() - 1)];
  while (*link && *link != old) link = &(*link)->hash_next;
  if (*link) *link = fresh;
  fresh->hash_next = old->hash_next;
  old->hash_next = nullptr;
  Unlink(old);
  FreeEntry(old);
}

std::optional<DnsCache::Hit> DnsCache::Lookup(const CacheKeyView& key, CacheTime now) {
  if (!enabled()) return std::nullopt;
  CacheEntry* e = Find(key, Hash(key));
  if (!e) return std::nullopt;
  int64_t left = e->left(now);
  if (left <= 0 && !settings_.serve_expired) {
    Remove(e);
    return std::nullopt;
  }
  Hit hit;
  hit.soa = e->soa;
  hit.speed = e->speed;
  hit.bind_flags = e->bind_flags;
  if (left > 0) {
    Touch(e);
    hit.ttl_left = static_cast<int32_t>(std::min<int64_t>(left, INT32_MAX));
  } else if (!e->refresh_pending || now - e->refresh_time >= kCacheRefreshPending) {
    // Served stale: one refresh at a time.
    e->refresh_pending = 1;
    e->refresh_time = now;
    hit.refresh = true;
  }
  hit.packet = e->packet();
  return hit;
}

bool DnsCache::Store(const CacheKeyView& key, std::span<const uint8_t> packet,
                     const CacheStoreInfo& info, CacheStore how, CacheTime now) {
  if (!enabled() || buckets_.empty() || !KeyFits(key) || packet.empty() ||
      packet.size() > kCacheMaxPacket) {
    return false;
  }
  int32_t ttl = std::max(info.ttl, kCacheMinTtl);
  LogDns(LL_DNS, ">>>>inserting into cache url:%.*s, with ttl:%d",
         static_cast<int>(key.domain.size()), key.domain.data(), ttl);
  uint32_t hash = Hash(key);
  CacheEntry* old = Find(key, hash);
  CacheEntry* e = NewEntry(key, hash, packet);
  e->ttl = ttl;
  e->speed = info.speed;
  e->soa = info.soa;
  e->bind_flags = static_cast<uint16_t>(info.bind_flags);
  e->insert_time = e->replace_time = now;
  dirty_ = true;
  if (old && how != CacheStore::kInsert) {
    // A refresh keeps the popularity budget the entry earned.
    e->hitnum = old->hitnum;
    e->step = old->step;
    Swap(old, e);
    PushBack(how == CacheStore::kReplace ? CacheList::kActive : CacheList::kExpired, e);
    return true;
  }
  if (old) Remove(old);
  LinkBucket(e);
  PushBack(CacheList::kActive, e);
  count_++;
  EvictIfFull();
  MaybeGrow();
  return true;
}

bool DnsCache::InsertLoaded(const CacheKeyView& key, std::span<const uint8_t> packet,
                            const CacheCounters& c, bool soa, uint32_t bind_flags, CacheList list) {
  if (!enabled() || buckets_.empty() || !KeyFits(key) || packet.empty() ||
      packet.size() > kCacheMaxPacket || count_ >= static_cast<uint64_t>(settings_.max_size)) {
    return false;
  }
  uint32_t hash = Hash(key);
  if (Find(key, hash)) return false;
  CacheEntry* e = NewEntry(key, hash, packet, true);
  e->ttl = std::max(c.ttl, kCacheMinTtl);
  e->hitnum = static_cast<int16_t>(std::clamp(c.hitnum, 0, kCacheHitnumMax));
  e->step = static_cast<uint8_t>(std::clamp(c.step, kCacheStepFloor, kCacheStepMax));
  e->speed = c.speed;
  e->insert_time = c.insert_time;
  e->replace_time = c.replace_time;
  e->soa = soa;
  e->bind_flags = static_cast<uint16_t>(bind_flags);
  LinkBucket(e);
  PushFront(list, e);
  count_++;
  MaybeGrow();
  return true;
}

std::vector<DnsCache::Refresh> DnsCache::Sweep(const SweepOptions& o, CacheTime now) {
  std::vector<Refresh> out;
  if (!enabled()) return out;
  auto room = [&] { return o.max_refresh == 0 || out.size() < o.max_refresh; };
  auto pending = [&](const CacheEntry* e) {
    return e->refresh_pending && now - e->refresh_time < kCacheRefreshPending;
  };
  auto queue = [&](CacheEntry* e, bool expired) {
    e->refresh_pending = 1;
    e->refresh_time = now;
    out.push_back({std::string(e->domain()), e->qtype, std::string(e->group()),
                   std::string(e->subnet()), e->bind_flags, expired});
  };
  if (o.max_entries == 0 || sweep_phase_ == SweepPhase::kIdle) {
    sweep_phase_ = SweepPhase::kActive;
    sweep_next_ = Head(CacheList::kActive).first;
  }
  size_t budget = o.max_entries == 0 ? SIZE_MAX : o.max_entries;
  while (sweep_phase_ == SweepPhase::kActive) {
    CacheEntry* e = sweep_next_;
    if (!e) {
      sweep_phase_ = settings_.serve_expired ? SweepPhase::kExpired : SweepPhase::kIdle;
      sweep_next_ = settings_.serve_expired ? Head(CacheList::kExpired).first : nullptr;
      break;
    }
    if (budget-- == 0) return out;  // the next call goes on from e
    sweep_next_ = e->next;
    int64_t left = e->left(now);
    if (left < 0) {
      if (settings_.serve_expired) {
        Unlink(e);
        PushBack(CacheList::kExpired, e);
      } else {
        Remove(e);
      }
    } else if (left > 0 && left < o.prefetch_before && o.prefetch && !pending(e) && room()) {
      // Each refresh before expiry spends budget; only names clients keep asking for stay warm.
      e->hitnum = static_cast<int16_t>(std::max(e->hitnum - 1, 0));
      if (e->step >= kCacheStepFloor + 1) e->step--;
      if (e->hitnum >= 1) queue(e, false);
    }
  }
  while (sweep_phase_ == SweepPhase::kExpired) {
    CacheEntry* e = sweep_next_;
    if (!e) {
      sweep_phase_ = SweepPhase::kIdle;
      break;
    }
    if (budget-- == 0) return out;
    sweep_next_ = e->next;
    int64_t expired_for = -e->left(now);
    if (settings_.serve_expired_ttl > 0 && expired_for > settings_.serve_expired_ttl) {
      Remove(e);
    } else if (o.expired_prefetch && !pending(e) && room() &&
               int64_t{now} - e->replace_time >= o.expired_prefetch_after) {
      queue(e, true);
    }
  }
  return out;
}

}  // namespace zc::dns
