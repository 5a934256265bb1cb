// The cache file: byte layout, round trip, hostile and broken files, links and the atomic save.
#include "dns/cache/cache_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "dns_cache/cache_test_util.h"
#include "support/temp_root.h"

namespace zc::dns {
namespace {

using cachetest::Reply;
namespace fs = std::filesystem;

constexpr int64_t kWall = 1'700'000'000;

// A cache file written byte by byte, the way an earlier version laid it out.
class FileBytes {
 public:
  explicit FileBytes(uint32_t records, const char* version = kCacheFileVersion) {
    U32(0x65486341);
    U32(0x63536E44);
    Text(version, 32);
    U32(records);
    U32(0);
  }
  struct Rec {
    std::string domain;
    int32_t qtype = DNS_T_A;
    int32_t ttl = 300;
    int64_t insert = kWall - 10;
    uint32_t list = 0;
    std::vector<uint8_t> data;
    uint32_t data_type = 2;
    uint32_t soa = 0;
    int32_t hitnum = 7;
    int32_t step = 4;
    uint32_t magic = 0x44615461;
    uint32_t length_override = 0;  // announce another length than the data's
    bool terminated = true;
  };
  FileBytes& Add(const Rec& r) {
    U32(r.magic);
    U32(r.list);
    std::string d = r.domain;
    if (!r.terminated) d.assign(256, 'x');
    Text(d.c_str(), 256, r.terminated);
    I32(r.ttl);
    I32(r.hitnum);
    I32(-1);  // speed
    I32(r.step);
    I32(static_cast<int32_t>(r.insert));
    I32(static_cast<int32_t>(r.insert));
    I32(r.qtype);
    U32(0x40);  // cache flag: no-cache listener
    U32(r.data_type);
    U32(r.soa);
    U32(r.length_override ? r.length_override : static_cast<uint32_t>(r.data.size()));
    bytes_.insert(bytes_.end(), r.data.begin(), r.data.end());
    return *this;
  }
  void WriteTo(const std::string& path) const {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes_.data()), static_cast<long>(bytes_.size()));
    chmod(path.c_str(), 0600);  // as the engine writes it, whatever the umask
  }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  void U32(uint32_t v) { Raw(&v, 4); }
  void I32(int32_t v) { Raw(&v, 4); }
  void Raw(const void* p, size_t n) {
    auto* b = static_cast<const uint8_t*>(p);
    bytes_.insert(bytes_.end(), b, b + n);
  }
  void Text(const char* s, size_t field, bool terminated = true) {
    std::vector<uint8_t> f(field, 0);
    size_t n = terminated ? std::min(std::strlen(s), field - 1) : field;
    std::memcpy(f.data(), s, n);
    bytes_.insert(bytes_.end(), f.begin(), f.end());
  }
  std::vector<uint8_t> bytes_;
};

DnsCache::Settings Settings(int64_t size = 64, bool serve_expired = true,
                            int64_t serve_expired_ttl = 86400) {
  DnsCache::Settings s;
  s.max_size = size;
  s.serve_expired = serve_expired;
  s.serve_expired_ttl = serve_expired_ttl;
  return s;
}

std::vector<std::string> Keys(const DnsCache& c, CacheList list) {
  std::vector<std::string> out;
  c.ForEach(list, [&](const CacheEntry& e) {
    out.push_back(std::string(e.domain()) + "/" + std::to_string(e.qtype));
  });
  return out;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class CacheFile : public ::testing::Test {
 protected:
  std::string Path(const std::string& name = "zundns.cache") { return root_("/tmp/" + name); }
  void SetUp() override { fs::create_directories(root_("/tmp")); }
  zctest::TempRoot root_;
  CacheFileClock clock_{1000, kWall};
};

TEST_F(CacheFile, SaveAndLoadKeepKeysOrderCountersAndAge) {
  DnsCache c(Settings(), 1);
  auto store = [&](const std::string& n, uint16_t t, int ttl, CacheTime now, uint8_t last = 1) {
    ASSERT_TRUE(c.Store({n, t, {}, {}}, Reply(n, t, last), {ttl, 25, last == 0, 0x20},
                        CacheStore::kInsert, now));
  };
  store("a.test", DNS_T_A, 300, 900);
  store("b.test", DNS_T_A, 300, 950);
  store("neg.test", DNS_T_AAAA, 60, 960, 0);
  store("gone.test", DNS_T_A, 30, 900);
  c.Sweep({}, 1000);  // gone.test expired: set aside
  ASSERT_TRUE(c.Lookup({"a.test", DNS_T_A, {}, {}}, 1000));
  ASSERT_TRUE(c.Store({"a.test", DNS_T_A, "kids", {}}, Reply("a.test"), {300}, CacheStore::kInsert,
                      1000));  // memory only
  ASSERT_EQ(SaveCacheFile(Path(), c, clock_), 5 - 1);
  struct stat st {};
  ASSERT_EQ(stat(Path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(std::distance(fs::directory_iterator(root_("/tmp")), {}), 1);  // no temp left

  // Loaded 20 wall seconds later by a process whose monotonic clock reads 5.
  DnsCache d(Settings(), 2);
  auto r = LoadCacheFile(Path(), &d, {5, kWall + 20});
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.loaded, 4u);
  EXPECT_EQ(r.skipped, 0u);
  EXPECT_EQ(Keys(d, CacheList::kActive),
            (std::vector<std::string>{"a.test/1", "neg.test/28", "b.test/1"}));
  EXPECT_EQ(Keys(d, CacheList::kExpired), std::vector<std::string>{"gone.test/1"});
  const CacheEntry* a = d.Peek({"a.test", DNS_T_A, {}, {}});
  ASSERT_TRUE(a);
  EXPECT_EQ(a->left(5), 300 - (1000 - 900) - 20);
  EXPECT_EQ(a->hitnum, 5);
  EXPECT_EQ(a->step, 3);
  EXPECT_EQ(a->speed, 25);
  EXPECT_EQ(a->bind_flags, 0x20);
  EXPECT_EQ(std::vector<uint8_t>(a->packet().begin(), a->packet().end()), Reply("a.test"));
  EXPECT_TRUE(d.Peek({"neg.test", DNS_T_AAAA, {}, {}})->soa);
  EXPECT_FALSE(d.dirty());
}

TEST_F(CacheFile, ByteLayoutOfEarlierFilesLoadsAndIsWrittenBack) {
  auto packet = Reply("www.example.test");
  FileBytes f(1);
  f.Add({.domain = "www.example.test", .ttl = 600, .insert = kWall - 100, .data = packet});
  f.WriteTo(Path());
  DnsCache c(Settings());
  auto r = LoadCacheFile(Path(), &c, clock_);
  ASSERT_TRUE(r.ok);
  ASSERT_EQ(r.loaded, 1u);
  const CacheEntry* e = c.Peek({"www.example.test", DNS_T_A, {}, {}});
  ASSERT_TRUE(e);
  EXPECT_EQ(e->left(clock_.now), 500);
  EXPECT_EQ(e->hitnum, 7);
  EXPECT_EQ(e->step, 4);
  EXPECT_EQ(e->bind_flags, 0x40);

  // Saved again, the file is the same bytes.
  ASSERT_EQ(SaveCacheFile(Path("again"), c, clock_), 1);
  std::string again = ReadAll(Path("again"));
  ASSERT_EQ(again.size(), f.bytes().size());
  EXPECT_EQ(again, std::string(f.bytes().begin(), f.bytes().end()));
}

TEST_F(CacheFile, HostileRecordsAreSkippedAndTheRestLoads) {
  auto good = [](const std::string& n) { return FileBytes::Rec{.domain = n, .data = Reply(n)}; };
  std::vector<FileBytes::Rec> recs;
  recs.push_back(good("first.test"));
  auto big = good("big.test");
  big.data.resize(5000, 0xAB);  // larger than any reply: skipped over
  recs.push_back(big);
  auto list = good("list.test");
  list.list = 7;
  recs.push_back(list);
  auto unterminated = good("x.test");
  unterminated.terminated = false;
  recs.push_back(unterminated);
  auto other = good("mismatch.test");
  other.data = Reply("victim.test");  // a packet answering another name
  recs.push_back(other);
  auto type = good("type.test");
  type.qtype = DNS_T_AAAA;  // the packet answers A
  recs.push_back(type);
  auto garbage = good("garbage.test");
  garbage.data = {1, 2, 3, 4, 5, 6, 7};
  recs.push_back(garbage);
  auto address = good("address.test");
  address.data_type = 1;
  recs.push_back(address);
  auto upper = good("Upper.test");
  upper.data = Reply("Upper.test");
  recs.push_back(upper);
  auto query = good("query.test");
  query.data[2] &= 0x7F;  // QR clear: a query, not a reply
  recs.push_back(query);
  auto future = good("future.test");
  future.insert = kWall + 3600;  // written by a clock that was ahead
  future.ttl = 5;                // below the floor
  future.hitnum = 1 << 30;
  future.step = -4;
  recs.push_back(future);
  recs.push_back(good("last.test"));

  FileBytes f(static_cast<uint32_t>(recs.size()));
  for (const auto& r : recs) f.Add(r);
  f.WriteTo(Path());
  DnsCache c(Settings());
  auto r = LoadCacheFile(Path(), &c, clock_);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.loaded, 3u);
  EXPECT_EQ(r.skipped, recs.size() - 3);
  EXPECT_EQ(Keys(c, CacheList::kActive),
            (std::vector<std::string>{"first.test/1", "future.test/1", "last.test/1"}));
  const CacheEntry* e = c.Peek({"future.test", DNS_T_A, {}, {}});
  EXPECT_EQ(e->left(clock_.now), kCacheMinTtl);  // a future time is now
  EXPECT_EQ(e->hitnum, kCacheHitnumMax);
  EXPECT_EQ(e->step, kCacheStepFloor);
}

TEST_F(CacheFile, BrokenFilesEndTheLoadKeepingWhatCameBefore) {
  auto rec = [](const std::string& n) { return FileBytes::Rec{.domain = n, .data = Reply(n)}; };
  struct Case {
    const char* what;
    FileBytes file;
    size_t loaded;
    bool ok;
  };
  auto absurd = rec("absurd.test");
  absurd.length_override = 70000;
  auto magic = rec("magic.test");
  magic.magic = 0x12345678;
  std::vector<Case> cases;
  cases.push_back({"length beyond any message", FileBytes(3), 1, false});
  cases.back().file.Add(rec("one.test")).Add(absurd).Add(rec("two.test"));
  cases.push_back({"record magic", FileBytes(3), 1, false});
  cases.back().file.Add(rec("one.test")).Add(magic).Add(rec("two.test"));
  cases.push_back({"fewer records than announced", FileBytes(9), 2, false});
  cases.back().file.Add(rec("one.test")).Add(rec("two.test"));
  cases.push_back({"other version", FileBytes(1, "Mon Jan  1 00:00:00 2024"), 0, true});
  cases.back().file.Add(rec("one.test"));
  for (auto& k : cases) {
    k.file.WriteTo(Path());
    DnsCache c(Settings());
    auto r = LoadCacheFile(Path(), &c, clock_);
    EXPECT_EQ(r.loaded, k.loaded) << k.what;
    EXPECT_EQ(r.ok, k.ok) << k.what;
    EXPECT_EQ(c.size(), k.loaded) << k.what;
  }
  // A truncated record, a short head, and a file that is not ours.
  FileBytes f(2);
  f.Add(rec("one.test")).Add(rec("two.test"));
  std::string bytes(f.bytes().begin(), f.bytes().end());
  for (size_t cut : {bytes.size() - 3, size_t{40}}) {
    std::ofstream(Path(), std::ios::binary) << bytes.substr(0, cut);
    DnsCache c(Settings());
    auto r = LoadCacheFile(Path(), &c, clock_);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(c.size(), cut > 48 ? 1u : 0u);
  }
  std::ofstream(Path(), std::ios::binary) << std::string(4096, 'z');
  DnsCache c(Settings());
  EXPECT_TRUE(LoadCacheFile(Path(), &c, clock_).ignored);
  EXPECT_EQ(c.size(), 0u);
  // No file at all is no error.
  EXPECT_TRUE(LoadCacheFile(Path("missing"), &c, clock_).ok);
}

TEST_F(CacheFile, ExpiryAndSizeApplyAtLoad) {
  auto rec = [](const std::string& n, int64_t age, int ttl) {
    return FileBytes::Rec{.domain = n, .ttl = ttl, .insert = kWall - age, .data = Reply(n)};
  };
  FileBytes f(4);
  f.Add(rec("fresh.test", 10, 300))
      .Add(rec("stale.test", 400, 300))
      .Add(rec("ancient.test", 200000, 300))
      .Add(rec("extra.test", 10, 300));
  f.WriteTo(Path());
  DnsCache fresh_only(Settings(64, false));
  EXPECT_EQ(LoadCacheFile(Path(), &fresh_only, clock_).loaded, 2u);  // fresh, extra
  DnsCache stale(Settings(64, true, 86400));
  EXPECT_EQ(LoadCacheFile(Path(), &stale, clock_).loaded, 3u);  // not ancient
  EXPECT_EQ(stale.Peek({"stale.test", DNS_T_A, {}, {}})->left(clock_.now), -100);
  DnsCache small(Settings(2, true, 86400));
  EXPECT_EQ(LoadCacheFile(Path(), &small, clock_).loaded, 2u);
  EXPECT_EQ(Keys(small, CacheList::kActive),
            (std::vector<std::string>{"fresh.test/1", "stale.test/1"}));
}

TEST_F(CacheFile, LoadedEntriesShareABlockUntilTheLastGoes) {
  FileBytes f(3);
  for (const char* n : {"one.test", "two.test", "three.test"}) {
    f.Add({.domain = n, .data = Reply(n)});
  }
  f.WriteTo(Path());
  DnsCache c(Settings(3));
  ASSERT_EQ(LoadCacheFile(Path(), &c, clock_).loaded, 3u);
  for (const char* n : {"one.test", "two.test", "three.test"}) {
    EXPECT_TRUE(c.Peek({n, DNS_T_A, {}, {}})->in_block) << n;
  }
  // Replaced, evicted and expired: each loaded entry leaves the block its own way, and the
  // entries that take their place come from the heap (a wrong free would stop the sanitizer).
  ASSERT_TRUE(c.Store({"two.test", DNS_T_A, {}, {}}, Reply("two.test", DNS_T_A, 7), {300},
                      CacheStore::kReplace, clock_.now));
  EXPECT_FALSE(c.Peek({"two.test", DNS_T_A, {}, {}})->in_block);
  ASSERT_TRUE(c.Store({"four.test", DNS_T_A, {}, {}}, Reply("four.test"), {300},
                      CacheStore::kInsert, clock_.now));
  EXPECT_EQ(c.size(), 3u);
  c.Sweep({}, clock_.now + 400);
  EXPECT_EQ(c.size(), 3u);  // stale answers on: set aside, still there
  c.Clear();
  EXPECT_EQ(c.size(), 0u);
  // A second load after the block was returned.
  ASSERT_EQ(LoadCacheFile(Path(), &c, clock_).loaded, 3u);
  EXPECT_EQ(c.Lookup({"three.test", DNS_T_A, {}, {}}, clock_.now)->packet.back(), 1);
}

TEST_F(CacheFile, LinksAndSpecialFilesAreNeverFollowed) {
  std::string victim = root_("/victim");
  std::ofstream(victim) << "precious";
  fs::create_symlink(victim, Path());
  DnsCache c(Settings());
  auto r = LoadCacheFile(Path(), &c, clock_);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(c.size(), 0u);

  // The save replaces the link itself; the file it pointed at stays as it was.
  ASSERT_TRUE(c.Store({"a.test", DNS_T_A, {}, {}}, Reply("a.test"), {300}, CacheStore::kInsert,
                      clock_.now));
  ASSERT_EQ(SaveCacheFile(Path(), c, clock_), 1);
  EXPECT_EQ(ReadAll(victim), "precious");
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(Path())));
  DnsCache d(Settings());
  EXPECT_EQ(LoadCacheFile(Path(), &d, clock_).loaded, 1u);

  // A FIFO planted at the path does not hang the load.
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(LoadCacheFile(Path("fifo"), &d, clock_).ok);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));

  // A save that cannot complete leaves the previous file whole and no temporary behind.
  std::string before = ReadAll(Path());
  fs::create_directories(root_("/ro"));
  std::string ro_path = root_("/ro/zundns.cache");
  std::ofstream(ro_path) << "old";
  chmod(root_("/ro").c_str(), 0500);
  if (access(root_("/ro").c_str(), W_OK) != 0) {  // (root ignores the mode)
    EXPECT_EQ(SaveCacheFile(ro_path, d, clock_), -1);
    EXPECT_EQ(ReadAll(ro_path), "old");
  }
  chmod(root_("/ro").c_str(), 0700);
  EXPECT_EQ(SaveCacheFile(root_("/nodir/zundns.cache"), d, clock_), -1);
  EXPECT_EQ(ReadAll(Path()), before);
}

// A file someone else could have written is not trusted, and no TTL read back outlives the
// ceiling: a planted answer neither loads nor persists for years.
TEST_F(CacheFile, PlantedFilesAreIgnoredAndLoadedTtlsAreCapped) {
  FileBytes f(2);
  f.Add({.domain = "forged.test", .ttl = 1'000'000'000, .data = Reply("forged.test")})
      .Add({.domain = "plain.test", .ttl = 300, .data = Reply("plain.test")});
  f.WriteTo(Path());

  DnsCache capped(Settings());
  ASSERT_EQ(LoadCacheFile(Path(), &capped, clock_).loaded, 2u);
  EXPECT_EQ(capped.Peek({"forged.test", DNS_T_A, {}, {}})->ttl, kCacheMaxLoadedTtl);
  EXPECT_EQ(capped.Peek({"plain.test", DNS_T_A, {}, {}})->ttl, 300);
  DnsCache::Settings tight = Settings();
  tight.max_loaded_ttl = 3600;  // the option file's maximum
  DnsCache engine_max(tight);
  ASSERT_EQ(LoadCacheFile(Path(), &engine_max, clock_).loaded, 2u);
  EXPECT_EQ(engine_max.Peek({"forged.test", DNS_T_A, {}, {}})->ttl, 3600);

  // Writable by group or others: ignored as a whole.
  for (mode_t mode : {0666, 0620, 0602}) {
    ASSERT_EQ(chmod(Path().c_str(), mode), 0);
    DnsCache c(Settings());
    CacheLoadResult r = LoadCacheFile(Path(), &c, clock_);
    EXPECT_TRUE(r.ignored) << std::oct << mode;
    EXPECT_EQ(c.size(), 0u) << std::oct << mode;
  }
  ASSERT_EQ(chmod(Path().c_str(), 0600), 0);
  // Owned by another user (only root can hand a file over; as anyone else the mode cases above
  // are the planted files there are).
  if (geteuid() == 0) {
    ASSERT_EQ(chown(Path().c_str(), 65534, 65534), 0);
    DnsCache c(Settings());
    EXPECT_TRUE(LoadCacheFile(Path(), &c, clock_).ignored);
    EXPECT_EQ(c.size(), 0u);
  }
}

TEST_F(CacheFile, PacketQuestionMatchesItsKeyWhateverTheCaseAndEscapes) {
  auto rec = [](const std::string& key, const std::string& question) {
    return FileBytes::Rec{.domain = key, .data = Reply(question)};
  };
  std::vector<FileBytes::Rec> recs = {
      rec("mixed.test", "MiXeD.TeSt"),            // loads: the key is the folded question
      rec("a\\.b.test", "a\\.b.test"),            // loads: a dot inside a label, escaped in the key
      rec("sp\\032ace.test", "sp\\032ace.test"),  // loads: a byte written as \DDD
      rec("a.b.test", "a\\.b.test"),              // skipped: one label is not two
      rec("prefix.test", "prefix.test.x"),        // skipped: longer question
      rec("long.test.x", "long.test"),            // skipped: shorter question
      rec("ab.test", "a.btest"),                  // skipped: same letters, other labels
      rec("last.test", "LAST.test"),              // loads
  };
  FileBytes f(static_cast<uint32_t>(recs.size()));
  for (const auto& r : recs) f.Add(r);
  f.WriteTo(Path());
  DnsCache c(Settings());
  auto r = LoadCacheFile(Path(), &c, clock_);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.loaded, 4u);
  EXPECT_EQ(r.skipped, 4u);
  EXPECT_NE(c.Peek({"mixed.test", DNS_T_A, {}, {}}), nullptr);
  EXPECT_NE(c.Peek({"a\\.b.test", DNS_T_A, {}, {}}), nullptr);
  EXPECT_NE(c.Peek({"sp\\032ace.test", DNS_T_A, {}, {}}), nullptr);
  EXPECT_NE(c.Peek({"last.test", DNS_T_A, {}, {}}), nullptr);
}

}  // namespace
}  // namespace zc::dns
