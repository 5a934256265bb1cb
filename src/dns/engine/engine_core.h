// Inside the engine: the state one engine generation owns, shared by the loop, the listeners,
// the pipeline and the reply code. Everything here is touched by the engine thread only, except
// the task queue (any thread) and the stats snapshot.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "dns/codec/dns_packet.h"
#include "dns/codec/dns_wire.h"
#include "dns/common/dns_handles.h"
#include "dns/engine/dns_audit.h"
#include "dns/engine/dns_conf.h"
#include "dns/engine/dns_dualstack.h"
#include "dns/engine/dns_engine.h"
#include "dns/engine/dns_hosts.h"
#include "dns/engine/dns_log.h"
#include "dns/engine/query_intake.h"
#include "dns/engine/reply_gate.h"
#include "dns/ipset/ipset_client.h"
#include "dns/upstream/upstream_client.h"

namespace zc::dns {

using Clock = std::chrono::steady_clock;

// Limits of the engine.
inline constexpr size_t kMaxLiveRequests = 4096;
inline constexpr size_t kMaxTcpClientsPerListener = 64;
inline constexpr size_t kMaxTcpSendBuffer = 64 * 1024;
inline constexpr size_t kMaxTcpRequest = 4095;
inline constexpr int kMaxEpollEvents = 256;
inline constexpr int kUdpBatch = 32;
inline constexpr std::chrono::milliseconds kBeat{100};
inline constexpr std::chrono::seconds kMaxRequestLife{10};
inline constexpr std::chrono::seconds kBindRetryFor{5};
inline constexpr std::chrono::seconds kLeaseCheckEvery{60};
inline constexpr std::chrono::seconds kLeaseSettle{30};
inline constexpr std::chrono::seconds kCacheSweepEvery{2};
inline constexpr int kLocalAnswerTtl = 600;
inline constexpr int kPtrAnswerTtl = 30;
inline constexpr int kNegativeTtl = 60;
inline constexpr int kDefaultReplyTtl = 300;
inline constexpr uint16_t kUpstreamPayload = 4096;
inline constexpr uint16_t kReplyPayload = 512;
// Appended to the client-subnet part of cache and merge keys of DNSSEC-aware queries, so their
// whole answers never mix with the shortened ones; the refresh reads it back.
inline constexpr char kKeyMarkDo[] = "+do";
inline constexpr char kKeyMarkCd[] = "+cd";
// Room for a client's copy of any reply that fits a UDP message, before truncation.
inline constexpr int kUdpReplySlot = kDnsMessageMax + 64 + kDnsWireNameMax;
// Finished requests (with their table nodes) and packet buffers kept for reuse.
inline constexpr size_t kSpareRequests = 256;

enum class Origin : uint8_t { kUdp, kTcp, kInternal };

struct Listener {
  BindConfig conf;
  UniqueFd fd;
  sockaddr_storage bound{};
  size_t tcp_clients = 0;
};

struct TcpClient {
  uint64_t id = 0;
  UniqueFd fd;
  size_t listener = 0;
  sockaddr_storage peer{};
  socklen_t peer_len = 0;
  sockaddr_storage local{};
  std::vector<uint8_t> in;
  std::string out;
  size_t out_offset = 0;
  uint32_t interest = 0;
  bool read_closed = false;  // the peer shut down its side; close once replies are out
  int pending = 0;           // requests of this client still without a reply
  Clock::time_point last_activity;
};

// An address seen in the upstream answers of a request.
struct SeenAddress {
  int family = AF_INET;
  uint8_t addr[16] = {};
  int hits = 0;            // upstream answers that carried it
  int last_answer = -1;    // the request's answer count when last seen
  uint32_t last_seen = 0;  // order of sightings within the request
};

struct Request {
  uint64_t id = 0;
  Clock::time_point start;
  Origin origin = Origin::kInternal;
  size_t listener = 0;      // UDP listener of the query
  uint64_t tcp_client = 0;  // TCP client of the query
  sockaddr_storage client{};
  socklen_t client_len = 0;
  sockaddr_storage local{};  // the address the query was sent to
  bool has_local = false;
  int ifindex = 0;

  uint16_t client_id = 0;
  uint16_t opcode = 0;
  bool rd = true;
  bool client_edns = false;
  uint16_t client_payload = 0;
  // DNSSEC-aware client (DO or CD set): both go upstream and the answer comes back whole.
  bool dnssec_ok = false;
  bool checking_disabled = false;
  std::optional<dns_opt_ecs> ecs;
  std::string domain;        // presentation form as received
  std::string domain_lower;  // lower case, the key of every table
  uint8_t qname[kDnsWireNameMax] = {};
  int qname_len = 0;
  uint16_t qtype = 0;
  uint16_t qclass = DNS_C_IN;
  uint32_t bind_flags = 0;
  std::string bind_group;

  MatchedRules rules;
  bool passthrough = false;
  bool dualstack = false;
  DualStackState ds;
  std::string group;
  std::string cache_client_subnet;
  bool refresh = false;  // a cache refresh: no lookup, its answer replaces the entry
  CacheStoreKind store_kind = CacheStoreKind::kAnswer;

  // Collected from upstream answers.
  uint16_t rcode = DNS_RC_SERVFAIL;
  bool answer_received = false;
  bool upstream_examined = false;  // an answer with rcode 0 or 3 arrived
  bool upstream_failed = false;    // an upstream answer itself carried a failure rcode
  int answers_examined = 0;
  uint32_t sightings = 0;
  std::string cname;
  int cname_ttl = 0;
  bool has_addr = false;
  int addr_family = AF_INET;
  uint8_t addr[16] = {};
  int64_t ttl = 0;
  std::vector<SeenAddress> seen;
  int zero_addresses = 0;
  std::unique_ptr<dns_soa> soa;  // 520 bytes only negative answers need (4096 requests live)
  std::string soa_owner;
  int soa_ttl = 0;
  std::string expect_owner;  // the domain, then each CNAME target

  UpstreamQueryId upstream = 0;
  bool upstream_done = false;
  std::string merge_key;
  bool merge_leader = false;

  ReplyGate gate;
  bool done = false;
  std::function<void(int rcode, std::string address)> internal_done;

  // Speed checks of the collected addresses.
  bool speed_pending = false;              // checks run; their last result is still to come
  bool speed_checked = false;              // checks were started for this request
  int best_ping = -1;                      // of the answer address, tenths of a millisecond
  std::vector<SpeedProbe> fast_addresses;  // the fastest first, then those close to it
};

// Where a message came from.
struct QuerySource {
  Origin origin = Origin::kInternal;
  size_t listener = 0;
  uint64_t tcp_client = 0;
  sockaddr_storage client{};
  socklen_t client_len = 0;
  const sockaddr_storage* local = nullptr;
  int ifindex = 0;
  std::function<void(int rcode, std::string address)> internal_done;
  // Cache refreshes: the flags and group of the cached answer.
  bool refresh = false;
  bool refresh_expired = false;
  uint32_t bind_flags = 0;
  std::string bind_group;
};

// The UDP replies of one wake of the loop, sent with one sendmmsg on the listener they share.
struct UdpReplyBatch {
  int fd = -1;
  int count = 0;
  std::vector<uint8_t> bytes;  // kUdpBatch slots of kUdpReplySlot bytes
  mmsghdr msgs[kUdpBatch] = {};
  iovec iov[kUdpBatch] = {};
  sockaddr_storage to[kUdpBatch] = {};
  alignas(cmsghdr) uint8_t control[kUdpBatch][CMSG_SPACE(sizeof(in6_pktinfo))] = {};
};

struct DnsEngine::Core {
  Core(DnsEngineOptions options, uint64_t generation);
  ~Core();

  // --- lifecycle (dns_engine.cc) ---
  bool Start(std::string* error);
  void Stop();
  void Run();
  void Post(std::function<void()> task);
  void DrainTasks();
  void OnBeat(Clock::time_point now);
  void OpenLog();

  // --- listeners (dns_listeners.cc) ---
  bool OpenListeners(std::string* error);
  void OnUdpReadable(size_t listener);
  void OnTcpAccept(size_t listener);
  void OnTcpEvent(uint64_t client_id, uint32_t events);
  void CloseTcpClient(uint64_t client_id, const char* why);
  void CloseIdleTcpClients(Clock::time_point now);
  // Where the next UDP reply to r's listener may be built (sent by FlushUdp), or null.
  uint8_t* UdpReplySlot(const Request& r);
  // Queues a UDP reply (built in its slot, or copied there).
  bool SendUdp(const Request& r, const uint8_t* data, int len);
  void FlushUdp();
  bool SendTcp(uint64_t client_id, const uint8_t* data, int len);
  void UpdateTcpInterest(TcpClient& c);

  // --- pipeline (dns_pipeline.cc) ---
  void Intake(const uint8_t* data, int len, QuerySource& source);
  ClientQuery intake_query;  // the query Intake reads, kept to spare its buffers a reset
  void StartInternal(const std::string& domain, uint16_t qtype,
                     std::function<void(int rcode, std::string address)> done);
  void StartRefresh(const CacheKey& key, uint32_t bind_flags, bool expired);
  void RunQuery(Request& r);
  bool AnswerLocally(Request& r);
  void Forward(Request& r);
  void OnUpstreamResult(uint64_t request_id, UpstreamResult&& result);
  void OnUpstreamAnswer(Request& r, UpstreamResult& result);
  void ExamineAnswer(Request& r, const dns_packet* p, uint32_t server_flags);
  void OnVerdict(uint64_t request_id, const DnsVerdict& verdict);
  void StartSpeedChecks(Request& r, size_t first_new);
  void OnSpeedResult(const SpeedResult& result);
  int64_t ClampTtl(int64_t ttl) const;
  void ExpireRequests(Clock::time_point now);
  uint64_t NewRequestId() { return ++last_request_id_; }
  Request* Find(uint64_t id);

  // --- replies (dns_reply.cc) ---
  // Builds the reply from the request's answer fields and hands it to the gate.
  void PostAssembled(Request& r, bool final_post);
  void PostLocalAddress(Request& r, int family, const void* addr, int ttl);
  void PostSoa(Request& r, int ttl = -1);  // ttl < 0: the default
  void PostPtr(Request& r, const std::string& target);
  void PostRcodeOnly(Request& r, uint16_t rcode);
  // Hands an answer to the request's gate (and to its merged waiters); sends when allowed.
  void Deliver(Request& r, GateAnswer answer);
  void TrySend(Request& r);
  void SendCopy(Request& r, const GateAnswer& answer);
  // Requests that are done go on the reap list; Reap() frees them once the current event is
  // handled, so no handler ever holds a reference to a freed request.
  void MarkDone(Request& r);
  void Reap();
  void Finish(uint64_t request_id);
  // A request for a new id in the table: a recycled one when there is one.
  Request& NewRequest(uint64_t id);
  void Count(uint64_t DnsEngineStats::*field);
  // Copies the counters of this wake to the snapshot other threads read (one lock per wake,
  // not one per count); before replies leave, so a client that got one sees it counted.
  void PublishStats();
  void StoreInCache(const Request& r, const GateAnswer& answer);
  void PickWithoutSpeed(Request& r);
  void WriteAudit(const Request& r, const uint8_t* reply, int len, bool soa);
  // --- ipset rules (dns_ipset.cc) ---
  void ApplyIpset(const Request& r, const GateAnswer& answer);

  // --- dual-stack selection (dns_dualstack.cc) ---
  void DualStackDecide(Request& r);
  // At a cache hit: true when it replied SOA instead of the hit.
  bool DualStackHit(Request& r, const CachedAnswer& hit, int ttl);
  void StartCompanion(Request& r);
  void OnCompanionEnd(const Request& companion);
  void ReleaseCompanionHold(Request& parent);
  // At the reply of an address: true when a SOA goes out instead.
  bool DualStackGivesWay(Request& r);
  void DualStackBeat(Clock::time_point at);

  DnsEngineOptions options;
  uint64_t generation;
  DnsConf conf;
  HostsTable hosts;
  LeaseFile lease;
  std::string router_domain;
  std::string router_name;
  std::vector<sockaddr_storage> own_addresses;

  std::vector<Listener> listeners;
  std::vector<uint8_t> udp_buffers;  // kUdpBatch receive buffers of kDnsMessageMax bytes
  UdpReplyBatch udp_out;
  Clock::time_point now;  // read once per wake of the loop
  CacheKey lookup_key;    // reused: no allocation per lookup
  std::unordered_map<uint64_t, std::unique_ptr<TcpClient>> tcp_clients;
  uint64_t last_tcp_id = 0;

  using RequestTable = std::unordered_map<uint64_t, std::unique_ptr<Request>>;
  RequestTable requests;
  std::vector<RequestTable::node_type> spare_requests;  // reset, with their name buffers
  std::vector<std::vector<uint8_t>> spare_packets;      // cleared, with their capacity
  CachedAnswer cache_hit;                               // reused by every lookup
  std::deque<std::pair<Clock::time_point, uint64_t>> deadlines;
  std::deque<std::pair<Clock::time_point, uint64_t>> companion_waits;  // parents, by deadline
  MergeTable merges;
  std::vector<uint64_t> reap;
  uint64_t last_request_id_ = 0;

  AuditLog audit;
  std::shared_ptr<EngineLog> log;      // the engine's own log file; null when it cannot be opened
  std::unique_ptr<IpsetClient> ipset;  // started by the first answer with ipset rules
  std::unique_ptr<UpstreamClient> upstream;
  std::unique_ptr<AnswerCache> own_cache;
  std::unique_ptr<SpeedChecker> own_speed;
  bool speed_attached = false;
  AnswerCache* cache = nullptr;
  bool cache_open = false;
  SpeedChecker* speed = nullptr;

  UniqueFd epoll_fd;
  UniqueFd wake_fd;
  UniqueFd beat_fd;
  std::thread thread;
  std::atomic<bool> stop{false};
  std::atomic<bool> running{false};

  std::mutex task_mutex;
  std::vector<std::function<void()>> tasks;
  bool accepting_tasks = false;  // under task_mutex

  uint64_t beats = 0;
  Clock::time_point last_lease_check;
  Clock::time_point last_sweep;
  time_t last_wall = 0;

  mutable std::mutex stats_mutex;
  DnsEngineStats stats;    // counters, updated on the engine thread under stats_mutex
  DnsEngineStats counted;  // engine thread only: the counters as they stand
  bool stats_changed = false;
};

// Helpers shared by the engine files.
std::string AddressText(const sockaddr_storage& addr);
std::string AddressText(int family, const void* addr);
bool SameListenerAddress(const UpstreamServerConfig& server, const BindConfig& bind,
                         const std::vector<sockaddr_storage>& own_addresses);

}  // namespace zc::dns
