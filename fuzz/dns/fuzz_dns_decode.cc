// DNS messages from the network: decode, every getter, encode and decode again (the second
// encoding must equal the first), in-place update, and the per-client copy.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "dns/codec/dns_packet.h"
#include "dns/codec/dns_wire.h"
#include "utils/log.h"

namespace {

void CheckName(const char* text) {
  size_t n = strlen(text);
  for (size_t i = 0; i < n; i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c <= 0x20 || c >= 0x7F) abort();  // presentation form never carries raw bytes
  }
}

void ReadAll(dns_packet* p) {
  char name[kDnsNameTextMax];
  char target[kDnsNameTextMax];
  int ttl = 0, qtype = 0, qclass = 0, data_len = 0;
  unsigned char addr[16];
  const unsigned char* data = nullptr;
  dns_soa soa;
  dns_opt_ecs ecs;
  for (int s = DNS_RRS_QD; s < DNS_RRS_END; s++) {
    int count = 0;
    int seen = 0;
    for (const dns_rrs* e = dns_get_rrs_start(p, s, &count); e; e = dns_get_rrs_next(p, e)) {
      seen++;
      if (dns_get_domain(e, name, sizeof name, &qtype, &qclass) == 0) CheckName(name);
      if (dns_get_A(e, name, sizeof name, &ttl, addr) == 0) CheckName(name);
      if (dns_get_AAAA(e, name, sizeof name, &ttl, addr) == 0) CheckName(name);
      if (dns_get_CNAME(e, name, sizeof name, &ttl, target, sizeof target) == 0) CheckName(target);
      if (dns_get_PTR(e, name, sizeof name, &ttl, target, sizeof target) == 0) CheckName(target);
      if (dns_get_NS(e, name, sizeof name, &ttl, target, sizeof target) == 0) CheckName(target);
      if (dns_get_SOA(e, name, sizeof name, &ttl, &soa) == 0) {
        CheckName(soa.mname);
        CheckName(soa.rname);
      }
      dns_get_RAW(e, name, sizeof name, nullptr, &ttl, &data, &data_len);
      dns_get_OPT_ECS(e, nullptr, nullptr, &ecs);
    }
    if (seen != count) abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_loglevel.store(LL_CRIT + 1);  // decode failures are expected here; keep the output quiet
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65535) return 0;
  DnsPacketBuffer<> a;
  if (dns_decode(a.get(), a.size(), data, static_cast<int>(size)) == 0) {
    ReadAll(a.get());
    std::vector<uint8_t> first(65535);
    int n1 = dns_encode(first.data(), static_cast<int>(first.size()), a.get());
    if (n1 > 0) {
      DnsPacketBuffer<> b;
      if (dns_decode(b.get(), b.size(), first.data(), n1) != 0) abort();
      std::vector<uint8_t> second(65535);
      int n2 = dns_encode(second.data(), static_cast<int>(second.size()), b.get());
      if (n2 != n1 || memcmp(first.data(), second.data(), n1) != 0) abort();
    }
  }
  // The object the engine sizes from the message (a heap block for large ones).
  DnsPacketObject sized;
  if (sized.Decode(data, static_cast<int>(size)) == 0) ReadAll(sized.get());
  std::vector<uint8_t> copy(data, data + size);
  dns_update_param update;
  update.id = 7;
  update.ttl = 60;
  update.ip_addr = 0x0100007F;
  dns_packet_update(copy.data(), static_cast<int>(copy.size()), &update);

  std::vector<uint8_t> out(size + 128);
  dns_opt_ecs ecs;
  ecs.family = 1;
  ecs.source_prefix = 24;
  DnsClientEdit edit;
  edit.id = 9;
  edit.client_edns = size % 2;
  edit.ecs = size % 3 ? &ecs : nullptr;
  edit.limit = 512;
  int n = dns_build_client_reply(data, static_cast<int>(size), edit, out.data(),
                                 static_cast<int>(out.size()));
  if (n > static_cast<int>(out.size())) abort();
  if (n > 0 && n > 512 + 11 + 16) abort();  // over the limit means header + question + OPT only
  return 0;
}
