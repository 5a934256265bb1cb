// The cache file ("/tmp/zundns.cache"): a 48-byte head, then one record per entry (active
// list, then expired list, each from its most recently used end). Integers are in host byte
// order and times are wall-clock seconds, so files written by earlier versions still load.
//
//   head:   u32 0x65486341, u32 0x63536E44, char version[32], u32 records, u32 0
//   record: u32 0x44615461, u32 list (0 active, 1 expired),
//           char domain[256], i32 ttl, hitnum, speed, hitnum step, insert time, replace time,
//           qtype,
//           u32 cache flag (listener flags), data type (2 = packet), SOA flag, data length,
//           data
//
// The file lives in a world-writable directory, so it is read as untrusted input: no
// symbolic links, regular files only, every record checked (sizes, terminator, list, times,
// and the packet's question against the key) and skipped when bad. It is written through a
// fresh temporary file that is synced and renamed over the old one, so a crash or kill during
// the write leaves the previous file whole.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dns/cache/dns_cache.h"
#include "dns/codec/dns_wire.h"

namespace zc::dns {

inline constexpr uint32_t kCacheFileMagic1 = 0x65486341;
inline constexpr uint32_t kCacheFileMagic2 = 0x63536E44;
inline constexpr uint32_t kCacheRecordMagic = 0x44615461;
inline constexpr char kCacheFileVersion[] = "Thu Dec 28 12:29:58 2023";
inline constexpr uint32_t kCacheDataAddress = 1;
inline constexpr uint32_t kCacheDataPacket = 2;
// Longest data a record may announce and still be skipped over; beyond it the file is broken.
inline constexpr uint32_t kCacheFileMaxSkip = 65535;
inline constexpr uint32_t kCacheFileKnownFlags = 0x1FF;  // listener flags

struct CacheFileHead {
  uint32_t magic1;
  uint32_t magic2;
  char version[32];
  uint32_t records;
  uint32_t reserved;
};

struct CacheFileInfo {
  char domain[256];
  int32_t ttl;
  int32_t hitnum;
  int32_t speed;
  int32_t hitnum_step;
  int32_t insert_time;
  int32_t replace_time;
  int32_t qtype;
};

struct CacheFileDataHead {
  uint32_t cache_flag;
  uint32_t data_type;
  uint32_t soa;
  uint32_t length;
};

struct CacheFileRecord {
  uint32_t magic;
  uint32_t list;
  CacheFileInfo info;
  CacheFileDataHead data;
};

static_assert(sizeof(CacheFileHead) == 48);
static_assert(sizeof(CacheFileInfo) == 284);
static_assert(sizeof(CacheFileDataHead) == 16);
static_assert(sizeof(CacheFileRecord) == 308);

// The two clocks a file crosses: times in memory are monotonic, times in the file wall-clock.
struct CacheFileClock {
  CacheTime now = 0;     // the cache's monotonic seconds
  int64_t wall_now = 0;  // wall-clock seconds at the same moment
};

struct CacheLoadResult {
  bool ok = true;        // false: the file was unreadable or broken part way (loaded entries stay)
  size_t loaded = 0;     // entries added
  size_t skipped = 0;    // records refused
  bool ignored = false;  // missing file, other version, or not a file of ours
};

// Checks one record read from a file and turns it into the cache's terms. Pure: the loader
// and the fuzz target share it. `data` is the record's data (length already within limits).
struct CheckedRecord {
  std::string_view domain;  // points into the record
  uint16_t qtype = 0;
  CacheCounters counters;
  bool soa = false;
  uint32_t bind_flags = 0;
  CacheList list = CacheList::kActive;
};
// A reply whose header, one question and every record lie within its `len` bytes.
bool ReplyIsWellFormed(const uint8_t* msg, int len, DnsQuestionView* q);
bool CheckCacheRecord(const CacheFileRecord& record, const uint8_t* data, uint32_t length,
                      const DnsCache::Settings& settings, const CacheFileClock& clock,
                      CheckedRecord* out, const char** why);

// Loads a file into the cache. A missing file is not an error.
CacheLoadResult LoadCacheFile(const std::string& path, DnsCache* cache,
                              const CacheFileClock& clock);
// Loads from an open descriptor (read from its current position to the end).
CacheLoadResult LoadCacheFd(int fd, DnsCache* cache, const CacheFileClock& clock);

// The savable entries of a cache, copied compactly (no fixed-size name fields) so the file can be
// written and synced on another thread while the cache goes on changing.
class CacheSnapshot {
 public:
  // Copies the entries the file keeps, in file order, with times already in wall-clock seconds.
  static CacheSnapshot Take(const DnsCache& cache, const CacheFileClock& clock);
  uint32_t records() const { return records_; }
  size_t bytes() const { return data_.size(); }

 private:
  friend long SaveSnapshotFd(int fd, const CacheSnapshot& snapshot);
  std::vector<uint8_t> data_;
  uint32_t records_ = 0;
};
// Writes a snapshot as the whole file to an open descriptor. Records or -1.
long SaveSnapshotFd(int fd, const CacheSnapshot& snapshot);
// As SaveCacheFile, from a snapshot; safe on any thread.
long SaveSnapshotFile(const std::string& path, const CacheSnapshot& snapshot);

// Writes the cache to `path` through a temporary file in the same directory (mode 0640), synced
// and renamed into place. Entries whose key has a group or a client subnet stay in memory only:
// the file has no field for them. Returns the number of records written, or -1.
long SaveCacheFile(const std::string& path, const DnsCache& cache, const CacheFileClock& clock);
// Writes the whole file to an open descriptor (from its current position). Records or -1.
long SaveCacheFd(int fd, const DnsCache& cache, const CacheFileClock& clock);

}  // namespace zc::dns
