#include "dns/cache/cache_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <vector>

#include "dns/codec/dns_name.h"
#include "dns/codec/dns_packet.h"
#include "dns/codec/dns_wire.h"
#include "dns/common/dns_handles.h"
#include "utils/log.h"
#include "utils/uuid.h"

namespace zc::dns {

namespace {

constexpr size_t kReadChunk = 256 * 1024;
constexpr size_t kWriteChunk = 64 * 1024;
constexpr mode_t kCacheFileMode = 0640;
constexpr int kTempAttempts = 8;
// Ages beyond this (about 34 years) are all the same: long gone.
constexpr int64_t kMaxAge = int64_t{1} << 30;

int32_t ClampI32(int64_t v) {
  return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

// Reads an untrusted file in large chunks; every request is bounds-checked.
class ChunkReader {
 public:
  explicit ChunkReader(int fd) : fd_(fd), buf_(new uint8_t[kReadChunk]) {}
  bool Read(void* out, size_t n) {
    auto* dst = static_cast<uint8_t*>(out);
    while (n > 0) {
      if (pos_ == end_ && !Fill()) return false;
      size_t take = std::min(n, end_ - pos_);
      std::memcpy(dst, buf_.get() + pos_, take);
      pos_ += take;
      dst += take;
      n -= take;
    }
    return true;
  }
  bool Skip(size_t n) {
    while (n > 0) {
      if (pos_ == end_ && !Fill()) return false;
      size_t take = std::min(n, end_ - pos_);
      pos_ += take;
      n -= take;
    }
    return true;
  }
  bool failed() const { return failed_; }

 private:
  bool Fill() {
    pos_ = end_ = 0;
    for (;;) {
      ssize_t n = read(fd_, buf_.get(), kReadChunk);
      if (n > 0) {
        end_ = static_cast<size_t>(n);
        return true;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        LogOut(LL_ERR, "read cache failed, %s", std::strerror(errno));
        failed_ = true;
      }
      return false;
    }
  }
  int fd_;
  std::unique_ptr<uint8_t[]> buf_;  // not cleared: only bytes read are ever used
  size_t pos_ = 0;
  size_t end_ = 0;
  bool failed_ = false;
};

// Buffers records and writes them in large pieces.
class ChunkWriter {
 public:
  explicit ChunkWriter(int fd) : fd_(fd) { buf_.reserve(kWriteChunk); }
  bool Put(const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    if (buf_.size() + n > kWriteChunk && !Flush()) return false;
    if (n > kWriteChunk) return WriteAll(p, n);
    buf_.insert(buf_.end(), p, p + n);
    return true;
  }
  bool Flush() {
    bool ok = WriteAll(buf_.data(), buf_.size());
    buf_.clear();
    return ok;
  }

 private:
  bool WriteAll(const uint8_t* p, size_t n) {
    while (n > 0) {
      ssize_t w = write(fd_, p, n);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        LogOut(LL_ERR, "write cache failed, %s", w < 0 ? std::strerror(errno) : "short write");
        return false;
      }
      p += w;
      n -= static_cast<size_t>(w);
    }
    return true;
  }
  int fd_;
  std::vector<uint8_t> buf_;
};

// Whether a wire name, letters folded to lower case, reads as `key` in presentation form. Names
// made only of letters, digits and the usual punctuation compare label by label here; a label
// with a byte the presentation form escapes is left to the caller (-1).
int WireNameIsKey(const uint8_t* wire, int wire_len, std::string_view key) {
  size_t at = 0;
  int pos = 0;
  while (pos < wire_len && wire[pos] != 0) {
    int length = wire[pos++];
    if (length > kDnsMaxLabelLen || pos + length >= wire_len) return -1;
    if (at > 0) {
      if (at >= key.size() || key[at] != '.') return 0;
      ++at;
    }
    for (int i = 0; i < length; ++i) {
      uint8_t c = wire[pos + i];
      if (c <= ' ' || c >= 0x7f || c == '.' || c == '\\') return -1;
      if (c >= 'A' && c <= 'Z') c = static_cast<uint8_t>(c - 'A' + 'a');
      if (at >= key.size() || static_cast<uint8_t>(key[at]) != c) return 0;
      ++at;
    }
    pos += length;
  }
  if (at == 0) return -1;  // the root
  return at == key.size() ? 1 : 0;
}

bool VersionMatches(const CacheFileHead& head) {
  size_t n = strnlen(head.version, sizeof head.version);
  return std::string_view(head.version, n) == kCacheFileVersion;
}

}  // namespace

bool ReplyIsWellFormed(const uint8_t* msg, int len, DnsQuestionView* q) {
  if (dns_read_question(msg, len, q) != 0 || !q->qr || q->qdcount != 1) return false;
  int pos = q->question_end;
  int records = q->ancount + q->nscount + q->arcount;
  for (int i = 0; i < records; i++) {
    if (dns_name_skip(msg, len, &pos) != 0 || pos + 10 > len) return false;
    pos += 10 + (msg[pos + 8] << 8 | msg[pos + 9]);
    if (pos > len) return false;
  }
  return true;
}

bool CheckCacheRecord(const CacheFileRecord& rec, const uint8_t* data, uint32_t length,
                      const DnsCache::Settings& settings, const CacheFileClock& clock,
                      CheckedRecord* out, const char** why) {
  auto fail = [&](const char* reason) {
    *why = reason;
    return false;
  };
  if (rec.list > 1) return fail("list is neither active nor expired");
  if (rec.data.data_type != kCacheDataPacket) return fail("data is not a packet");
  if (length == 0 || length > kCacheMaxPacket) return fail("data length out of range");
  // The field may lack its terminator: it ends at 255 characters whatever it holds.
  size_t domain_len = strnlen(rec.info.domain, sizeof rec.info.domain - 1);
  std::string_view domain(rec.info.domain, domain_len);
  if (domain.empty()) return fail("empty domain");
  if (rec.info.qtype <= 0 || rec.info.qtype > UINT16_MAX) return fail("qtype out of range");

  // The packet must be a well-formed reply to exactly the question of its key (the key is the
  // question's name as the engine writes it, lower-cased).
  DnsQuestionView q;
  if (!ReplyIsWellFormed(data, static_cast<int>(length), &q)) {
    return fail("packet is not a well-formed reply to one question");
  }
  bool same = q.qtype == rec.info.qtype && q.qclass == DNS_C_IN;
  int direct = same ? WireNameIsKey(q.qname, q.qname_len, domain) : 0;
  if (direct < 0) {
    char name[kDnsNameTextMax];
    if (dns_name_to_text(q.qname, q.qname_len, name, sizeof name) != 0) {
      return fail("packet question unreadable");
    }
    same = strlen(name) == domain.size();
    for (size_t i = 0; same && i < domain.size(); i++) {
      char c = name[i];
      same = (c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) == domain[i];
    }
  } else {
    same = direct == 1;
  }
  if (!same) return fail("packet question differs from the key");

  // Times: wall clock in the file, monotonic in memory. A time in the future is now.
  // A TTL from the file is capped as a fresh answer's would be: a forged record with a TTL of
  // decades must not outlive the next restarts.
  int64_t ttl = std::clamp<int64_t>(rec.info.ttl, kCacheMinTtl,
                                    std::max<int64_t>(settings.max_loaded_ttl, kCacheMinTtl));
  int64_t age = std::clamp<int64_t>(clock.wall_now - rec.info.insert_time, 0, kMaxAge);
  int64_t expired_for = age - ttl;
  if (expired_for >= 0 && !settings.serve_expired) return fail("expired");
  if (expired_for > 0 && settings.serve_expired_ttl > 0 &&
      expired_for > settings.serve_expired_ttl) {
    return fail("expired too long ago");
  }
  int64_t replace_age = std::clamp<int64_t>(clock.wall_now - rec.info.replace_time, 0, kMaxAge);

  out->domain = domain;
  out->qtype = static_cast<uint16_t>(rec.info.qtype);
  out->counters.ttl = static_cast<int32_t>(ttl);
  out->counters.hitnum = std::clamp(rec.info.hitnum, 0, kCacheHitnumMax);
  out->counters.step = std::clamp(rec.info.hitnum_step, kCacheStepFloor, kCacheStepMax);
  out->counters.speed = std::max(rec.info.speed, -1);
  out->counters.insert_time = ClampI32(int64_t{clock.now} - age);
  out->counters.replace_time = ClampI32(int64_t{clock.now} - replace_age);
  out->soa = rec.data.soa != 0;
  out->bind_flags = rec.data.cache_flag & kCacheFileKnownFlags;
  out->list = rec.list == 1 ? CacheList::kExpired : CacheList::kActive;
  return true;
}

CacheLoadResult LoadCacheFd(int fd, DnsCache* cache, const CacheFileClock& clock) {
  CacheLoadResult result;
  ChunkReader in(fd);
  CacheFileHead head;
  if (!in.Read(&head, sizeof head)) {
    LogOut(LL_ERR, "read cache head failed.");
    result.ok = false;
    return result;
  }
  if (head.magic1 != kCacheFileMagic1 || head.magic2 != kCacheFileMagic2) {
    LogOut(LL_ERR, "cache file is invalid.");
    result.ok = false;
    result.ignored = true;
    return result;
  }
  if (!VersionMatches(head)) {
    LogOut(LL_WARN, "cache version is different, skip load cache.");
    result.ignored = true;
    return result;
  }
  // One table size and one block of memory for the whole load instead of growing step by step.
  // Every record in the file is larger than the entry made of it.
  cache->Reserve(std::min<uint64_t>(head.records, cache->settings().max_size));
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    cache->BeginLoad(static_cast<size_t>(st.st_size));
  }
  // Read ahead of the parser: the file is read once, front to back.
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  std::vector<uint8_t> data(kCacheMaxPacket);
  for (uint32_t i = 0; i < head.records; i++) {
    CacheFileRecord rec;
    if (!in.Read(&rec, sizeof rec)) {
      if (!in.failed()) LogOut(LL_ERR, "read cache failed, %s", "file ends early");
      result.ok = false;
      break;
    }
    if (rec.magic != kCacheRecordMagic) {
      LogOut(LL_ERR, "magic is invalid.");
      result.ok = false;
      break;
    }
    cache->Prefetch({std::string_view(rec.info.domain, strnlen(rec.info.domain, 255)),
                     static_cast<uint16_t>(rec.info.qtype),
                     {},
                     {}});
    uint32_t length = rec.data.length;
    if (length > kCacheFileMaxSkip) {
      LogOut(LL_ERR, "data may invalid, skip load cache.");
      result.ok = false;
      break;
    }
    if (length > kCacheMaxPacket) {
      // Larger than any reply the engine builds: skip it, keep reading.
      if (!in.Skip(length)) {
        LogOut(LL_ERR, "read cache data failed, %s", "file ends early");
        result.ok = false;
        break;
      }
      result.skipped++;
      LogOut(LL_WARN, "%s: record %" PRIu32 " skipped: %" PRIu32 " bytes of data", __func__, i,
             length);
      continue;
    }
    if (!in.Read(data.data(), length)) {
      LogOut(LL_ERR, "read cache data failed, %s", "file ends early");
      result.ok = false;
      break;
    }
    CheckedRecord checked;
    const char* why = "";
    if (!CheckCacheRecord(rec, data.data(), length, cache->settings(), clock, &checked, &why)) {
      result.skipped++;
      LogOut(LL_DEBUG, "%s: record %" PRIu32 " skipped: %s", __func__, i, why);
      continue;
    }
    if (cache->size() >= static_cast<uint64_t>(cache->settings().max_size)) break;
    CacheKeyView key{checked.domain, checked.qtype, {}, {}};
    if (cache->InsertLoaded(key, {data.data(), length}, checked.counters, checked.soa,
                            checked.bind_flags, checked.list)) {
      result.loaded++;
    } else {
      result.skipped++;  // a second record for the same key
    }
  }
  cache->EndLoad();
  cache->ClearDirty();
  return result;
}

CacheLoadResult LoadCacheFile(const std::string& path, DnsCache* cache,
                              const CacheFileClock& clock) {
  CacheLoadResult result;
  // Non-blocking open: a FIFO planted at the path must not hang the engine.
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) {
    result.ignored = true;
    if (errno == ENOENT) return result;
    result.ok = false;
    LogOut(LL_ERR, "%s: open %s failed, %s", __func__, path.c_str(), std::strerror(errno));
    return result;
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    LogOut(LL_ERR, "%s: %s is not a regular file, not loaded", __func__, path.c_str());
    result.ignored = true;
    result.ok = false;
    return result;
  }
  // Answers from the file are served to every client: only a file the engine wrote itself (its
  // own user's, writable by nobody else) is trusted.
  if (st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    LogOut(LL_ERR, "%s: %s is not owned by uid %u or is writable by others, not loaded", __func__,
           path.c_str(), static_cast<unsigned>(geteuid()));
    result.ignored = true;
    result.ok = false;
    return result;
  }
  result = LoadCacheFd(fd.get(), cache, clock);
  if (!result.ignored) {
    LogOut(LL_INFO, "load cache file %s, total %zu records", path.c_str(), result.loaded);
  }
  return result;
}

namespace {

// One entry of a snapshot; its domain and packet follow it.
struct SnapshotItem {
  uint32_t list;
  int32_t ttl;
  int32_t hitnum;
  int32_t speed;
  int32_t step;
  int32_t insert_time;
  int32_t replace_time;
  int32_t qtype;
  uint32_t bind_flags;
  uint32_t soa;
  uint32_t packet_len;
  uint32_t domain_len;
};

}  // namespace

CacheSnapshot CacheSnapshot::Take(const DnsCache& cache, const CacheFileClock& clock) {
  CacheSnapshot s;
  // One allocation for a typical cache: a name and a short answer per entry.
  constexpr size_t kTypicalEntry = sizeof(SnapshotItem) + 32 + 96;
  s.data_.reserve(cache.size() * kTypicalEntry);
  auto wall = [&](CacheTime t) { return ClampI32(clock.wall_now - (int64_t{clock.now} - t)); };
  for (CacheList list : {CacheList::kActive, CacheList::kExpired}) {
    cache.ForEach(list, [&](const CacheEntry& e) {
      if (!e.group().empty() || !e.subnet().empty()) return;
      SnapshotItem item{};
      item.list = static_cast<uint32_t>(list);
      item.ttl = e.ttl;
      item.hitnum = e.hitnum;
      item.speed = e.speed;
      item.step = e.step;
      item.insert_time = wall(e.insert_time);
      item.replace_time = wall(e.replace_time);
      item.qtype = e.qtype;
      item.bind_flags = e.bind_flags;
      item.soa = e.soa;
      item.packet_len = e.packet_len;
      item.domain_len = static_cast<uint32_t>(std::min<size_t>(e.domain().size(), 255));
      const auto* head = reinterpret_cast<const uint8_t*>(&item);
      s.data_.insert(s.data_.end(), head, head + sizeof item);
      s.data_.insert(s.data_.end(), e.domain().data(), e.domain().data() + item.domain_len);
      s.data_.insert(s.data_.end(), e.packet().data(), e.packet().data() + e.packet().size());
      s.records_++;
    });
  }
  return s;
}

long SaveSnapshotFd(int fd, const CacheSnapshot& snapshot) {
  off_t start = lseek(fd, 0, SEEK_CUR);
  ChunkWriter out(fd);
  CacheFileHead head{};
  head.magic1 = kCacheFileMagic1;
  head.magic2 = kCacheFileMagic2;
  std::memcpy(head.version, kCacheFileVersion, sizeof kCacheFileVersion);
  if (!out.Put(&head, sizeof head)) return -1;
  const std::vector<uint8_t>& d = snapshot.data_;
  size_t pos = 0;
  while (pos < d.size()) {
    SnapshotItem item;
    std::memcpy(&item, d.data() + pos, sizeof item);
    pos += sizeof item;
    CacheFileRecord rec{};
    rec.magic = kCacheRecordMagic;
    rec.list = item.list;
    std::memcpy(rec.info.domain, d.data() + pos, item.domain_len);
    pos += item.domain_len;
    rec.info.ttl = item.ttl;
    rec.info.hitnum = item.hitnum;
    rec.info.speed = item.speed;
    rec.info.hitnum_step = item.step;
    rec.info.insert_time = item.insert_time;
    rec.info.replace_time = item.replace_time;
    rec.info.qtype = item.qtype;
    rec.data.cache_flag = item.bind_flags;
    rec.data.data_type = kCacheDataPacket;
    rec.data.soa = item.soa;
    rec.data.length = item.packet_len;
    if (!out.Put(&rec, sizeof rec) || !out.Put(d.data() + pos, item.packet_len)) return -1;
    pos += item.packet_len;
  }
  if (!out.Flush()) return -1;  // the writer said why; the caller names the file
  head.records = snapshot.records_;
  if (pwrite(fd, &head, sizeof head, start) != static_cast<ssize_t>(sizeof head)) {
    LogOut(LL_ERR, "write file head %s failed, %s, %d", "(cache)", std::strerror(errno), fd);
    return -1;
  }
  return snapshot.records_;
}

long SaveCacheFd(int fd, const DnsCache& cache, const CacheFileClock& clock) {
  return SaveSnapshotFd(fd, CacheSnapshot::Take(cache, clock));
}

long SaveCacheFile(const std::string& path, const DnsCache& cache, const CacheFileClock& clock) {
  return SaveSnapshotFile(path, CacheSnapshot::Take(cache, clock));
}

long SaveSnapshotFile(const std::string& path, const CacheSnapshot& snapshot) {
  std::string temp;
  UniqueFd fd;
  for (int i = 0; i < kTempAttempts && !fd.valid(); i++) {
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".%016" PRIx64, RandomU64());
    temp = path + suffix;
    // A fresh name that nobody else may have planted: never follow a link, never reuse a file.
    fd.Reset(
        open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kCacheFileMode));
    if (!fd.valid() && errno != EEXIST) break;
  }
  if (!fd.valid()) {
    LogOut(LL_ERR, "create file %s failed, %s", temp.c_str(), std::strerror(errno));
    return -1;
  }
  bool ok = fchmod(fd.get(), kCacheFileMode) == 0;
  long records = ok ? SaveSnapshotFd(fd.get(), snapshot) : -1;
  // fsync reports every write error; close after it has nothing left to say.
  ok = records >= 0 && fsync(fd.get()) == 0;
  fd.Reset();
  if (ok && rename(temp.c_str(), path.c_str()) != 0) {
    LogOut(LL_ERR, "%s: rename to %s failed, %s", __func__, path.c_str(), std::strerror(errno));
    ok = false;
  }
  if (!ok) {
    LogOut(LL_ERR, "write record to file %s failed.", path.c_str());
    unlink(temp.c_str());
    return -1;
  }
  // The rename itself is durable only once the directory is.
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  UniqueFd dfd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dfd.valid() && fsync(dfd.get()) != 0) {
    LogOut(LL_DEBUG, "%s: directory sync failed, %s", __func__, std::strerror(errno));
  }
  LogOut(LL_INFO, "wrote total %ld records.", records);
  return records;
}

}  // namespace zc::dns
