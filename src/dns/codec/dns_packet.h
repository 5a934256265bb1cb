// DNS messages in wire format <-> an in-memory packet object.
//
// The packet object lives in one caller-supplied buffer: a fixed header followed by a record
// area. Records are appended into the area and linked by 16-bit offsets, so decoding a message
// allocates nothing. Names are handed in and out in presentation form: labels joined by ".",
// without the final dot, with "\." and "\\" for literal dots and backslashes and "\DDD" for any
// byte outside the printable ASCII range, so a name never carries control bytes into logs and
// always encodes back to the same wire octets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// Sizes used by the engine.
inline constexpr int kDnsPacketObjectSize = 6144;  // inline packet objects
// Largest packet object made for one message (a 64 KiB message of many small records).
inline constexpr int kDnsPacketObjectMax = 1 << 20;
inline constexpr int kDnsMessageMax = 4096;         // encoded messages over UDP
inline constexpr int kDnsStreamMessageMax = 65535;  // encoded messages over TCP
inline constexpr int kDnsHeaderLen = 12;
inline constexpr int kDnsMaxLabelLen = 63;
inline constexpr int kDnsMaxNameOctets = 255;
// Presentation form of the longest name with every byte escaped, plus the NUL.
inline constexpr int kDnsNameTextMax = 1024;
// Records of types the codec does not parse are kept raw: any RDATA the protocol allows.
inline constexpr int kDnsMaxRawData = 65535;
inline constexpr int kDnsCompressSlots = 16;
inline constexpr uint32_t kDnsListEnd = 0xFFFFFFFF;
inline constexpr int kDnsMinPayload = 512;
inline constexpr uint16_t kDnsEdnsDo = 0x8000;  // OPT flag: DNSSEC records wanted

enum dns_section : int {
  DNS_RRS_QD = 0,
  DNS_RRS_AN = 1,
  DNS_RRS_NS = 2,
  DNS_RRS_NR = 3,
  DNS_RRS_OPT = 4,
  DNS_RRS_END = 5,
};

enum dns_type : uint16_t {
  DNS_T_A = 1,
  DNS_T_NS = 2,
  DNS_T_CNAME = 5,
  DNS_T_SOA = 6,
  DNS_T_PTR = 12,
  DNS_T_MX = 15,
  DNS_T_TXT = 16,
  DNS_T_AAAA = 28,
  DNS_T_SRV = 33,
  DNS_T_OPT = 41,
  DNS_T_SVCB = 64,
  DNS_T_HTTPS = 65,
  DNS_T_ANY = 255,
};

enum dns_class : uint16_t { DNS_C_IN = 1, DNS_C_CH = 3, DNS_C_ANY = 255 };

enum dns_rcode : uint16_t {
  DNS_RC_NOERROR = 0,
  DNS_RC_FORMERR = 1,
  DNS_RC_SERVFAIL = 2,
  DNS_RC_NXDOMAIN = 3,
  DNS_RC_NOTIMP = 4,
  DNS_RC_REFUSED = 5,
};

enum dns_opcode : uint16_t { DNS_OP_QUERY = 0 };

enum dns_opt_code : uint16_t {
  DNS_OPT_T_ECS = 8,
  DNS_OPT_T_COOKIE = 10,
  DNS_OPT_T_TCP_KEEPALIVE = 11,
};

struct dns_head {
  uint16_t id = 0;
  uint16_t qr = 0;
  uint16_t opcode = 0;
  uint8_t aa = 0;
  uint8_t tc = 0;
  uint8_t rd = 0;
  uint8_t ra = 0;
  uint8_t ad = 0;  // authentic data (DNSSEC)
  uint8_t cd = 0;  // checking disabled (DNSSEC)
  uint16_t rcode = 0;
  uint16_t qdcount = 0;
  uint16_t ancount = 0;
  uint16_t nscount = 0;
  uint16_t nrcount = 0;
};

struct dns_soa {
  char mname[256];
  char rname[256];
  uint32_t serial;
  uint32_t refresh;
  uint32_t retry;
  uint32_t expire;
  uint32_t minimum;
};

// EDNS client subnet: family 1 (IPv4) or 2 (IPv6); ceil(source_prefix / 8) address bytes used.
struct dns_opt_ecs {
  uint16_t family = 0;
  uint8_t source_prefix = 0;
  uint8_t scope_prefix = 0;
  uint8_t addr[16] = {};
};

// Compression table: suffix hash -> offset of the suffix in the buffer it was written to.
struct dns_compress_table {
  int16_t count = 0;
  struct {
    uint16_t offset;
    uint32_t hash;
  } slot[kDnsCompressSlots];
};

// One entry of the record area. The record data follows the entry header.
struct dns_rrs {
  uint32_t packet_off;  // distance back to the owning packet object
  uint32_t next;        // record-area offset of the next entry of the list, kDnsListEnd at the end
  uint32_t len;         // bytes of record data
  uint16_t type;        // record type, or the option code for option entries
  uint16_t section;     // dns_section of the list holding the entry
};

// Header of the packet object; the record area follows it in the same buffer.
struct dns_packet {
  dns_head head;
  uint32_t list_head[4];
  uint32_t list_tail[4];
  uint16_t optcount;
  uint32_t optional;  // first option entry, kDnsListEnd when none
  uint32_t opt_tail;
  uint16_t payloadsize;  // EDNS UDP payload size; 0 = no OPT record
  uint16_t edns_flags;   // flags of the OPT record (kDnsEdnsDo)
  dns_compress_table names;
  int32_t size;  // total size of the object
  int32_t len;   // bytes of the record area in use
};

// Aligned storage for a packet object.
template <int N = kDnsPacketObjectSize>
struct DnsPacketBuffer {
  alignas(dns_packet) unsigned char bytes[N];
  dns_packet* get() { return reinterpret_cast<dns_packet*>(bytes); }
  static constexpr int size() { return N; }
};

// Values for dns_packet_update: id to set, TTL (negative keeps), IPv4 address for A records in
// network byte order (0 keeps).
struct dns_update_param {
  uint16_t id = 0;
  int32_t ttl = -1;
  uint32_t ip_addr = 0;
};

int dns_packet_init(dns_packet* packet, int size, const dns_head* head);

int dns_add_domain(dns_packet* packet, const char* domain, int qtype, int qclass);
int dns_add_A(dns_packet* packet, dns_section section, const char* domain, int ttl,
              const unsigned char addr[4]);
int dns_add_AAAA(dns_packet* packet, dns_section section, const char* domain, int ttl,
                 const unsigned char addr[16]);
int dns_add_CNAME(dns_packet* packet, dns_section section, const char* domain, int ttl,
                  const char* cname);
int dns_add_PTR(dns_packet* packet, dns_section section, const char* domain, int ttl,
                const char* name);
int dns_add_NS(dns_packet* packet, dns_section section, const char* domain, int ttl,
               const char* name);
int dns_add_SOA(dns_packet* packet, dns_section section, const char* domain, int ttl,
                const dns_soa* soa);
// Appends a record whose data is kept as given (types the codec does not parse).
int dns_add_RAW(dns_packet* packet, dns_section section, const char* domain, int type, int ttl,
                const void* data, int len);

int dns_set_OPT_payload_size(dns_packet* packet, int size);
int dns_get_OPT_payload_size(const dns_packet* packet);
int dns_add_OPT_ECS(dns_packet* packet, const dns_opt_ecs* ecs);
int dns_add_OPT_TCP_KEEYALIVE(dns_packet* packet, unsigned short timeout);
int dns_get_OPT_TCP_KEEYALIVE(const dns_rrs* rrs, unsigned short* timeout);

dns_rrs* dns_get_rrs_start(dns_packet* packet, int section, int* count);
dns_rrs* dns_get_rrs_next(dns_packet* packet, dns_rrs* rrs);
const dns_rrs* dns_get_rrs_start(const dns_packet* packet, int section, int* count);
const dns_rrs* dns_get_rrs_next(const dns_packet* packet, const dns_rrs* rrs);

int dns_get_domain(const dns_rrs* rrs, char* domain, int maxsize, int* qtype, int* qclass);
int dns_get_A(const dns_rrs* rrs, char* domain, int maxsize, int* ttl, unsigned char addr[4]);
int dns_get_AAAA(const dns_rrs* rrs, char* domain, int maxsize, int* ttl, unsigned char addr[16]);
int dns_get_CNAME(const dns_rrs* rrs, char* domain, int maxsize, int* ttl, char* cname,
                  int cname_size);
int dns_get_PTR(const dns_rrs* rrs, char* domain, int maxsize, int* ttl, char* name, int name_size);
int dns_get_NS(const dns_rrs* rrs, char* domain, int maxsize, int* ttl, char* name, int name_size);
int dns_get_SOA(const dns_rrs* rrs, char* domain, int maxsize, int* ttl, dns_soa* soa);
// Owner, class, TTL and a pointer to the stored data of any record entry; data_len gets the
// data length. For name-bearing types the stored data is internal; use the typed getters.
int dns_get_RAW(const dns_rrs* rrs, char* domain, int maxsize, int* rclass, int* ttl,
                const unsigned char** data, int* data_len);
int dns_get_OPT_ECS(const dns_rrs* rrs, unsigned short* opt_code, unsigned short* opt_len,
                    dns_opt_ecs* ecs);

int dns_decode(dns_packet* packet, int maxsize, const unsigned char* data, int len);

// Size of a packet object that holds the decoded form of a len-byte message: the inline size for
// ordinary messages, more for long records and large record sets.
int dns_packet_object_size(int message_len);

// A packet object sized from the message it decodes: the inline buffer serves ordinary messages,
// one heap block the larger ones.
class DnsPacketObject {
 public:
  DnsPacketObject() = default;
  DnsPacketObject(const DnsPacketObject&) = delete;
  DnsPacketObject& operator=(const DnsPacketObject&) = delete;
  // dns_decode into a buffer sized for the message. 0 or -1.
  int Decode(const unsigned char* data, int len);
  dns_packet* get() { return packet_; }
  const dns_packet* get() const { return packet_; }

 private:
  DnsPacketBuffer<> inline_;
  std::unique_ptr<unsigned char[]> heap_;  // new[] aligns for dns_packet
  dns_packet* packet_ = inline_.get();
};
int dns_encode(unsigned char* data, int size, const dns_packet* packet);
int dns_packet_update(unsigned char* data, int len, const dns_update_param* update);
