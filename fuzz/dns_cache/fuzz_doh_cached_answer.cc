// A DNS-over-HTTPS server's HTTP/2 answers all the way into the cache: the bodies the HTTP/2
// session hands over are stored as the engine stores an upstream answer (the pristine packet,
// plus the CNAME target's own entry), served from the cache as a client's copy, and saved to the
// cache file and loaded back. Byte 0 picks the piece size of the server's stream (1..256), byte
// 1 the client copy's edits; the rest is the server's stream. Properties: nothing crashes; an
// entry answers the question of its key; a client copy fits the client's limit and keeps the
// question; what the loader accepts of the saved file answers the same questions.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "dns/cache/cache_file.h"
#include "dns/cache/dns_cache.h"
#include "dns/codec/dns_name.h"
#include "dns/codec/dns_packet.h"
#include "dns/codec/dns_wire.h"
#include "dns/common/dns_handles.h"
#include "dns/engine/answer_rules.h"
#include "dns/upstream/http2_client.h"
#include "utils/log.h"

namespace {

using zc::dns::CacheEntry;
using zc::dns::CacheList;
using zc::dns::DnsCache;

constexpr zc::dns::CacheFileClock kClock{1000, 1'700'000'000};

// A broken property names its line before the abort (inlined checks leave no line in the trace).
#define Check(condition) CheckAt(condition, __LINE__)
void CheckAt(bool condition, int line) {
  if (condition) return;
  fprintf(stderr, "fuzz_doh_cached_answer: property of line %d broken\n", line);
  abort();
}

std::optional<std::string> QuestionName(const DnsQuestionView& q) {
  char text[kDnsNameTextMax];
  if (dns_name_to_text(q.qname, q.qname_len, text, sizeof text) != 0) return std::nullopt;
  return dns_name_lower(text);
}

// An entry's packet asks the question of its key.
void CheckEntry(std::span<const uint8_t> packet, const std::string& domain, uint16_t qtype) {
  Check(packet.size() <= zc::dns::kCacheMaxPacket);
  DnsQuestionView q;
  Check(dns_read_question(packet.data(), static_cast<int>(packet.size()), &q) == 0);
  Check(q.qtype == qtype && QuestionName(q) == domain);
}

// The client's copy of a cached answer, as the engine sends it.
void ClientCopy(std::span<const uint8_t> packet, uint8_t edits, const DnsQuestionView& asked) {
  DnsClientEdit edit;
  edit.id = 0xbeef;
  edit.ttl = edits & 1 ? 0 : 120;
  edit.a_addr = edits & 2 ? 0x0100007f : 0;
  edit.client_edns = edits & 4;
  edit.dnssec_ok = edits & 8;
  edit.checking_disabled = edits & 16;
  edit.limit = edits & 32 ? 512 : 65535;
  edit.qname = asked.qname;
  edit.qname_len = asked.qname_len;
  std::vector<uint8_t> out(packet.size() + 64 + kDnsWireNameMax);
  int n = dns_build_client_reply(packet.data(), static_cast<int>(packet.size()), edit, out.data(),
                                 static_cast<int>(out.size()));
  if (n < 0) return;
  Check(n <= edit.limit && n <= static_cast<int>(out.size()));
  DnsQuestionView q;
  Check(dns_read_question(out.data(), n, &q) == 0);
  Check(q.id == edit.id && q.qtype == asked.qtype);
}

// Stores one answer body as the engine would and serves it back.
void Store(DnsCache& cache, const std::vector<uint8_t>& body, uint8_t edits) {
  DnsQuestionView q;
  // The engine asks class IN only, and takes only an answer to the question it asked.
  if (dns_read_question(body.data(), static_cast<int>(body.size()), &q) != 0 ||
      q.qclass != DNS_C_IN) {
    return;
  }
  std::optional<std::string> name = QuestionName(q);
  if (!name) return;
  zc::dns::CacheStoreInfo info;
  info.ttl = zc::dns::IsFailureAnswer(body) ? zc::dns::kFailedAnswerCacheTtl : 300;
  if (!cache.Store({*name, q.qtype, {}, {}}, body, info, zc::dns::CacheStore::kInsert,
                   kClock.now)) {
    return;
  }
  std::string target;
  if (auto cname = zc::dns::CnameTargetAnswer(body, *name, q.qtype, &target)) {
    DnsQuestionView tq;
    Check(dns_read_question(cname->data(), static_cast<int>(cname->size()), &tq) == 0);
    Check(tq.qtype == q.qtype && QuestionName(tq) == target);
    cache.Store({target, q.qtype, {}, {}}, *cname, info, zc::dns::CacheStore::kInsert, kClock.now);
  }
  auto hit = cache.Lookup({*name, q.qtype, {}, {}}, kClock.now);
  Check(hit.has_value());
  CheckEntry(hit->packet, *name, q.qtype);
  ClientCopy(hit->packet, edits, q);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_loglevel.store(LL_CRIT + 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > (1 << 18)) return 0;
  const size_t piece = static_cast<size_t>(data[0]) + 1;
  const uint8_t edits = data[1];
  std::span<const uint8_t> stream(data + 2, size - 2);
  zc::dns::Http2Client client("doh.test", "/dns-query");
  std::string error;
  Check(client.Start(&error));
  for (uint16_t id : {0x1111, 0x2222, 0x3333}) {
    uint8_t query[] = {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), 1, 0, 0, 1};
    Check(client.Submit(query, id));
  }
  std::string out;
  Check(client.Produce(&out));
  DnsCache::Settings settings;
  settings.max_size = 16;
  DnsCache cache(settings, 3);
  for (size_t pos = 0; pos < stream.size(); pos += piece) {
    if (!client.Receive(stream.subspan(pos, std::min(piece, stream.size() - pos)))) break;
    for (const zc::dns::Http2Event& event : client.TakeEvents()) {
      if (event.kind == zc::dns::Http2Event::Kind::kAnswer) Store(cache, event.body, edits);
    }
    out.clear();
    if (!client.Produce(&out) || client.done()) break;
  }
  // Every entry answers its key's question, and the file keeps what the loader accepts.
  size_t wellFormed = 0;
  cache.ForEach(CacheList::kActive, [&](const CacheEntry& e) {
    CheckEntry(e.packet(), std::string(e.domain()), e.qtype);
    DnsQuestionView q;
    wellFormed +=
        zc::dns::ReplyIsWellFormed(e.packet().data(), static_cast<int>(e.packet().size()), &q);
  });
  zc::dns::UniqueFd file(memfd_create("cache", MFD_CLOEXEC));
  Check(file.valid());
  Check(zc::dns::SaveCacheFd(file.get(), cache, kClock) == static_cast<long>(cache.size()));
  lseek(file.get(), 0, SEEK_SET);
  DnsCache again(settings, 5);
  zc::dns::CacheLoadResult r = zc::dns::LoadCacheFd(file.get(), &again, kClock);
  Check(r.ok && r.loaded == wellFormed);
  again.ForEach(CacheList::kActive, [&](const CacheEntry& e) {
    CheckEntry(e.packet(), std::string(e.domain()), e.qtype);
    Check(cache.Peek({e.domain(), e.qtype, {}, {}}) != nullptr);
  });
  return 0;
}
