// The engine thread's share of a cache save: 200k entries saved synchronously (the save at
// stop) against the periodic save, which only copies the entries on the calling thread and
// writes and syncs the file on the saver thread. Prints milliseconds; run by hand.
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "dns/cache/answer_cache.h"
#include "dns/codec/dns_packet.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point since) {
  return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

std::vector<uint8_t> Reply(const std::string& name, int i) {
  DnsPacketBuffer<> buf;
  dns_head head;
  head.qr = 1;
  head.rd = head.ra = 1;
  dns_packet_init(buf.get(), buf.size(), &head);
  dns_add_domain(buf.get(), name.c_str(), DNS_T_A, DNS_C_IN);
  unsigned char a[4] = {10, static_cast<unsigned char>(i >> 16), static_cast<unsigned char>(i >> 8),
                        static_cast<unsigned char>(i)};
  dns_add_A(buf.get(), DNS_RRS_AN, name.c_str(), 3600, a);
  std::vector<uint8_t> out(512);
  out.resize(static_cast<size_t>(dns_encode(out.data(), static_cast<int>(out.size()), buf.get())));
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  int entries = argc > 1 ? std::atoi(argv[1]) : 200000;
  char tmpl[] = "/tmp/zc-cache-bench-XXXXXX";
  std::string root = mkdtemp(tmpl);
  std::filesystem::create_directories(root + "/tmp");
  setenv("ZUNCORE_ROOT", root.c_str(), 1);
  zc::dns::DnsAnswerCache cache;
  zc::dns::CacheSettings s;
  s.size = entries;
  cache.Open(s, nullptr);
  for (int i = 0; i < entries; i++) {
    std::string name = "host" + std::to_string(i) + ".bench.test";
    zc::dns::CachedAnswer a;
    a.packet = Reply(name, i);
    a.ttl = 3600;
    cache.Store({name, DNS_T_A, {}, {}}, a, zc::dns::CacheStoreKind::kAnswer);
  }
  for (int round = 0; round < 3; round++) {
    auto t = Clock::now();
    long sync = cache.Save();
    double sync_ms = Ms(t);
    t = Clock::now();
    cache.SaveInBackground();
    double engine_ms = Ms(t);
    long bg = cache.WaitForBackgroundSave();
    double total_ms = Ms(t);
    std::printf(
        "%d entries: synchronous save %.1f ms (%ld records); periodic save: %.1f ms on the "
        "calling thread, %.1f ms until written (%ld records)\n",
        entries, sync_ms, sync, engine_ms, total_ms, bg);
  }
  cache.Close();
  std::filesystem::remove_all(root);
  return 0;
}
