// LAN client tracking: slot GetClientUpdate with its client list and fingerprint file, wired
// client registration for traffic counting, and the per-client data usage slots
// GetWlanHostDataUsageStats and GetEthHostDataUsageStats.
// net/if.h must come before the kernel headers.
#include <net/if.h>

#include <arpa/inet.h>
#include <linux/if_bridge.h>
#include <linux/sockios.h>
#include <strings.h>

#include <cstring>
#include <list>
#include <mutex>
#include <set>

#include "platform/realtek/driver_request.h"
#include "platform/realtek/neigh_parse.h"
#include "platform/realtek/rtk_api.h"
#include "platform/realtek/rtl8192_single_band.h"
#include "platform/realtek/rtl_internal.h"
#include "platform/realtek/wlan_parse.h"
#include "utils/files.h"
#include "utils/log.h"
#include "utils/paths.h"

namespace rtl {
namespace {

constexpr const char* kArpFile = "/proc/net/arp";
constexpr const char* kArpSnapshot = "/tmp/arp.tmp";
constexpr const char* kHostsFile = "/tmp/hosts";
constexpr const char* kFingerprintFile = "/etc/config/zundevicefprint";
// Bounds of what client tracking keeps: randomised MACs must not grow memory or the flash file.
constexpr size_t kMaxClients = 512;
constexpr size_t kMaxFingerprintLines = 512;
size_t gClientLimit = kMaxClients;
size_t gFingerprintLimit = kMaxFingerprintLines;
constexpr int kMaxArpEntries = 256;
constexpr int kFdbChunk = 256;
constexpr int kMaxBridgePorts = 1024;

struct ClientEntry {
  ClientRecord record;
  uint64_t lastSeen;
};

std::mutex gClientMutex;
std::list<ClientEntry> gClients;  // newest first
uint64_t gSeenTick = 0;

bool SameMac(const char* a, const char* b) {
  return strncasecmp(a, b, kMacTextLen) == 0;
}

// The element for a MAC, else for an IP (whose MAC then becomes the given one: a known address
// with a new, randomised MAC is the same client). Caller holds the lock.
ClientEntry* FindLocked(const char* mac, const char* ip) {
  if (gClients.empty()) return nullptr;
  if (mac && *mac) {
    for (auto& c : gClients) {
      if (SameMac(c.record.mac, mac)) return &c;
    }
  }
  if (ip && *ip && std::strcmp(ip, "0.0.0.0") != 0) {
    for (auto& c : gClients) {
      if (std::strcmp(c.record.ip, ip) == 0) {
        if (mac && *mac) CopyField(c.record.mac, mac);
        return &c;
      }
    }
  }
  return nullptr;
}

// Adds at the head; beyond the cap the least recently seen client goes, preferring one that
// has left the neighbour table: evicting a client still present would only bring it back as
// "new" on the next pass.
void AddLocked(const ClientRecord& record, const std::set<std::string>& live) {
  if (gClients.size() >= gClientLimit) {
    auto oldest = gClients.end(), oldestGone = gClients.end();
    for (auto it = gClients.begin(); it != gClients.end(); ++it) {
      if (oldest == gClients.end() || it->lastSeen < oldest->lastSeen) oldest = it;
      bool gone = !live.count(CanonicalMac(it->record.mac));
      if (gone && (oldestGone == gClients.end() || it->lastSeen < oldestGone->lastSeen)) {
        oldestGone = it;
      }
    }
    gClients.erase(oldestGone != gClients.end() ? oldestGone : oldest);
  }
  gClients.push_front({record, ++gSeenTick});
}

void ShowClientList() {
  std::lock_guard lock(gClientMutex);
  int i = 0;
  for (const auto& c : gClients) {
    LogOut(LL_DEBUG, "client %d ip:%s mac:%s host:%s ifname:%s iftype:%u", i++, c.record.ip,
           c.record.mac, c.record.hostName, c.record.ifname, c.record.ifType);
  }
}

// Bridge port names by MAC, from br0's forwarding table (one query per pass).
class BridgePorts {
 public:
  BridgePorts() {
    int indices[kMaxBridgePorts] = {};
    unsigned long args[4] = {BRCTL_GET_PORT_LIST, reinterpret_cast<unsigned long>(indices),
                             kMaxBridgePorts, 0};
    ifreq ifr{};
    CopyField(ifr.ifr_name, IFNAMSIZ, "br0");
    ifr.ifr_data = reinterpret_cast<char*>(args);
    if (DriverRequest(SIOCDEVPRIVATE, &ifr) < 0) return;
    __fdb_entry entries[kFdbChunk];
    for (unsigned long offset = 0;; offset += kFdbChunk) {
      unsigned long fdbArgs[4] = {BRCTL_GET_FDB_ENTRIES, reinterpret_cast<unsigned long>(entries),
                                  kFdbChunk, offset};
      ifr.ifr_data = reinterpret_cast<char*>(fdbArgs);
      int n = DriverRequest(SIOCDEVPRIVATE, &ifr);
      if (n <= 0) break;
      for (int i = 0; i < n; ++i) {
        const __fdb_entry& e = entries[i];
        unsigned port = e.port_no | (static_cast<unsigned>(e.port_hi) << 8);
        if (e.is_local || port >= kMaxBridgePorts || indices[port] <= 0) continue;
        char name[IF_NAMESIZE] = {};
        if (!if_indextoname(static_cast<unsigned>(indices[port]), name)) continue;
        uint8_t mac[6];
        std::memcpy(mac, e.mac_addr, 6);
        ports_.emplace_back(FormatMac(mac, false), name);
      }
      if (n < kFdbChunk) break;
    }
  }
  std::string PortOf(const std::string& mac) const {
    for (const auto& [m, name] : ports_) {
      if (strcasecmp(m.c_str(), mac.c_str()) == 0) return name;
    }
    return {};
  }

 private:
  std::vector<std::pair<std::string, std::string>> ports_;
};

uint32_t IfTypeOf(const std::string& ifname) {
  if (ifname.find("wlan") != std::string::npos) {
    int index = FindWlanInfoIndex(ifname.c_str());
    auto entry = index >= 0 ? GetWlanInfoEntry(index) : std::nullopt;
    uint32_t band = entry ? entry->band : 1;
    return band == 1 ? 3 : band == 2 ? 4 : 0;
  }
  if (ifname.rfind("eth0.2", 0) == 0 || ifname.rfind("eth0.3", 0) == 0) return 1;
  return 0;
}

// Fingerprint codes and the static flag from the platform's ARP table.
bool PlatformFingerprint(const std::string& ip, Fingerprint* fp, bool* isStatic) {
  for (int index = 0; index <= kMaxArpEntries; ++index) {
    rtk_rg_arpInfo_t info{};
    int found = index;
    if (rtk_rg_arpEntry_find(&info, &found) != 0) return false;
    index = found;
    char text[INET_ADDRSTRLEN];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", (info.ipv4 >> 24) & 0xff,
                  (info.ipv4 >> 16) & 0xff, (info.ipv4 >> 8) & 0xff, info.ipv4 & 0xff);
    if (strcasecmp(text, ip.c_str()) != 0) continue;
    fp->deviceType = info.lanNetInfo.dev_type;
    fp->brand = info.lanNetInfo.brand;
    fp->model = info.lanNetInfo.model;
    fp->osType = info.lanNetInfo.os;
    *isStatic = info.lease < 0;
    LogOut(LL_DEBUG, "arp brand: %s", BrandName(fp->brand));
    LogOut(LL_DEBUG, "arp model: %s", ModelName(fp->model));
    return true;
  }
  return false;
}

void SaveFingerprint(const std::string& mac, const Fingerprint& fp) {
  std::string path = zc::RootPath(kFingerprintFile);
  std::string text = zc::ReadFile(path).value_or("");
  if (zc::WriteFileAtomic(path, FingerprintRewrite(text, mac, fp, gFingerprintLimit)) != 0) {
    LogOut(LL_ERR, "%s: unable to write %s", "Rtl8192SaveFingerprint", kFingerprintFile);
  }
}

void LogClient(const char* what, const ClientRecord& r) {
  LogOut(LL_INFO,
         "%s fingerprint clientIP :%s MAC:%s Hostname:%s ifname:%s iftype:%u "
         "connection-type:%s iptype:%s OS:%s model:%s brand:%s dev_type:%s",
         what, r.ip, r.mac, r.hostName, r.ifname, r.ifType,
         r.connectionType == 2 ? "Guest" : "Regular", r.ipAssignment == 1 ? "Static" : "DHCP",
         OsName(r.osType), ModelName(r.model), BrandName(r.brand), DeviceTypeName(r.deviceType));
}

// Registers a wired client for per-host traffic counting. A slot whose MAC has left the
// neighbour table is reused when all eight are taken.
int SetEthClientUsageTracking(const char* macText, const std::set<std::string>& present) {
  uint8_t mac[6];
  std::string canonical = CanonicalMac(macText);
  if (canonical.empty() || !ParseColonMac(canonical.c_str(), mac)) return -1;
  int chosen = -1, firstFree = -1, reusable = -1;
  for (int slot = 0; slot < RTK_HOST_POLICE_SLOTS; ++slot) {
    rtk_rg_hostPoliceControl_t ctl{};
    if (rtk_rg_hostPoliceControl_get(&ctl, slot) != 0) continue;
    static const uint8_t kZero[6] = {};
    if (std::memcmp(ctl.macAddr, mac, 6) == 0) {
      chosen = slot;
      LogOut(LL_DEBUG, "%s: existing entry found :%d", __func__, slot);
      break;
    }
    if (std::memcmp(ctl.macAddr, kZero, 6) == 0) {
      if (firstFree < 0) firstFree = slot;
    } else if (reusable < 0 && !present.count(FormatMac(ctl.macAddr, false))) {
      reusable = slot;
    }
  }
  if (chosen < 0) chosen = firstFree >= 0 ? firstFree : reusable;
  if (chosen < 0) {
    LogOut(LL_ERR, "%s: RG host police control table full !", __func__);
    return -1;
  }
  LogOut(LL_DEBUG, "%s: new entry found :%d", __func__, chosen);
  rtk_rg_hostPoliceControl_t ctl{};
  std::memcpy(ctl.macAddr, mac, 6);
  if (rtk_rg_hostPoliceControl_set(&ctl, chosen) != 0) {
    LogOut(LL_ERR, "rtk_rg_hostPoliceControl_set fail for MAC:%s", canonical.c_str());
    return -1;
  }
  if (rtk_stat_logCtrl_set(chosen, 1, 1) != 0) {
    LogOut(LL_ERR, "rtk_stat_logCtrl_set fail for MAC:%s", canonical.c_str());
    return -1;
  }
  return 0;
}

}  // namespace

void ResetClientList() {
  std::lock_guard lock(gClientMutex);
  gClients.clear();
}

std::optional<ClientRecord> FindClientCopy(const char* mac, const char* ip) {
  std::lock_guard lock(gClientMutex);
  ClientEntry* e = FindLocked(mac, ip);
  return e ? std::optional<ClientRecord>(e->record) : std::nullopt;
}

std::vector<ClientRecord> ClientsOnPort(const std::string& ifname) {
  std::lock_guard lock(gClientMutex);
  std::vector<ClientRecord> out;
  for (const auto& c : gClients) {
    if (ifname == c.record.ifname) out.push_back(c.record);
  }
  return out;
}

void SetClientLimitsForTest(size_t clients, size_t fingerprintLines) {
  std::lock_guard lock(gClientMutex);
  gClientLimit = clients ? clients : kMaxClients;
  gFingerprintLimit = fingerprintLines ? fingerprintLines : kMaxFingerprintLines;
}

size_t ClientListSize() {
  std::lock_guard lock(gClientMutex);
  return gClients.size();
}

}  // namespace rtl

int Rtl8192GetClientUpdate(ClientRecord* out) {
  using namespace rtl;
  if (!out) return -1;
  *out = ClientRecord{};
  auto arpText = ReadRouterFile(kArpFile);
  if (!arpText) {
    LogOut(LL_ERR, "%s: Unable to open arp for reading ", __func__);
    return -1;
  }
  ExecResult neigh = RunTool({"ip", "neighbor", "show"});
  if (zc::WriteFileAtomic(zc::RootPath(kArpSnapshot), neigh.output) != 0) {
    LogOut(LL_ERR, "%s: open /tmp/arp.tmp fail", __func__);
    return -1;
  }
  std::vector<NeighState> states = ParseIpNeighbor(neigh.output);
  std::vector<ArpLine> arp = ParseProcNetArp(*arpText);
  std::set<std::string> present, live;
  for (const auto& a : arp) {
    present.insert(CanonicalMac(a.mac.c_str()));
    if (a.device == "br0" && a.flags != 0) live.insert(CanonicalMac(a.mac.c_str()));
  }
  std::string hosts = ReadRouterFile(kHostsFile).value_or("");
  std::string fpText = ReadRouterFile(kFingerprintFile).value_or("");
  BridgePorts bridge;

  for (const auto& a : arp) {
    if (a.device != "br0" || a.flags == 0) continue;
    bool stale = NeighStateOf(states, a.ip).value_or("") == "STALE";
    if (stale) LogOut(LL_DEBUG, "%s: Found STALE device", __func__);
    if (IsZeroMac(a.mac.c_str()) || CanonicalMac(a.mac.c_str()).empty()) {
      LogOut(LL_CRIT, "MAC address is zero skipping, new fingerprint client IP: %s MAC: %s",
             a.ip.c_str(), a.mac.c_str());
      continue;
    }
    ClientRecord r{};
    CopyField(r.ip, a.ip.c_str());
    CopyField(r.mac, a.mac.c_str());
    std::string port = bridge.PortOf(a.mac);
    if (port.empty()) LogOut(LL_DEBUG, "%s", "Rtl8192GetHosConnectedInterface Failed");
    CopyField(r.ifname, port.empty() ? "NA" : port.c_str());
    std::string host = HostNameFor(hosts, a.ip);
    CopyField(r.hostName, host.empty() ? r.mac : host.c_str());
    LogOut(LL_DEBUG, "Hostname: %s", r.hostName);
    Fingerprint fp;
    bool isStatic = false;
    if (auto stored = FingerprintOf(fpText, a.mac)) {
      fp = *stored;
      LogOut(LL_DEBUG, "Read from fprint DB for MAC:%s dev_type:%u brand:%u os:%u model:%u", r.mac,
             fp.deviceType, fp.brand, fp.osType, fp.model);
    } else {
      LogOut(LL_DEBUG, "construct fprint DB for MAC:%s", r.mac);
      PlatformFingerprint(a.ip, &fp, &isStatic);
    }
    r.ipAssignment = isStatic ? 1 : 2;
    r.connectionType = 1;
    r.ifType = IfTypeOf(r.ifname);

    std::unique_lock lock(gClientMutex);
    ClientEntry* known = FindLocked(r.mac, r.ip);
    if (!known) {
      r.deviceType = fp.deviceType;
      r.brand = fp.brand;
      r.osType = fp.osType;
      r.model = fp.model;
      AddLocked(r, live);
      lock.unlock();
      if (fp.Any()) SaveFingerprint(a.mac, fp);
      if (r.ifType == 1 && !stale) {
        bool ok = SetEthClientUsageTracking(r.mac, present) == 0;
        LogOut(ok ? LL_INFO : LL_ERR, "Rtl8192SetEthClientUsageTracking %s for MAC:%s",
               ok ? "success" : "fail", r.mac);
      }
      LogClient("new", r);
      *out = r;
      return 0;
    }
    known->lastSeen = ++gSeenTick;
    ClientRecord& k = known->record;
    bool codesSame = (!fp.deviceType || fp.deviceType == k.deviceType) &&
                     (!fp.brand || fp.brand == k.brand) && (!fp.osType || fp.osType == k.osType) &&
                     (!fp.model || fp.model == k.model);
    if (std::strcmp(k.ip, r.ip) == 0 && std::strcmp(k.ifname, r.ifname) == 0 &&
        std::strcmp(k.hostName, r.hostName) == 0 && codesSame) {
      continue;
    }
    CopyField(k.ip, r.ip);
    CopyField(k.hostName, r.hostName);
    CopyField(k.ifname, r.ifname);
    k.ifType = r.ifType;
    if (fp.deviceType) k.deviceType = fp.deviceType;
    if (fp.brand) k.brand = fp.brand;
    if (fp.osType) k.osType = fp.osType;
    if (fp.model) k.model = fp.model;
    k.connectionType = r.connectionType;
    ClientRecord updated = k;
    lock.unlock();
    if (fp.Any()) SaveFingerprint(a.mac, fp);
    LogClient("update", updated);
    *out = updated;
    ShowClientList();
  }
  return 0;
}

int Rtl8192GetWlanHostDataUsageStats(const char* ifname, uint8_t* count, DataUsageRecord* records) {
  using namespace rtl;
  if (!count || !records || !IsSafeIfName(ifname)) return -1;
  *count = 0;
  auto text = ReadRouterFile(std::string("/proc/") + ifname + "/sta_info");
  if (!text) {
    LogOut(LL_ERR, "%s line:%d failed to open file\n", __func__, __LINE__);
    return -1;
  }
  uint32_t connType = IfTypeOf(ifname);
  std::vector<StationRecord> stations = ParseStaInfo(*text, CountStaInfo(*text));
  for (const auto& s : stations) {
    if (*count >= kMaxDataUsage) {
      LogOut(LL_WARN, "%s: more than %zu stations, %s skipped", __func__, kMaxDataUsage, s.mac);
      continue;
    }
    DataUsageRecord& r = records[(*count)++];
    r = DataUsageRecord{};
    CopyField(r.mac, s.mac);
    auto client = FindClientCopy(s.mac, nullptr);
    CopyField(r.ip, client ? client->ip : "NA");
    r.connType = connType;
    CopyField(r.connName, ifname);
    r.rxBytes = s.rxBytes;
    r.txBytes = s.txBytes;
  }
  return 0;
}

int Rtl8192GetEthHostDataUsageStats(uint8_t* count, DataUsageRecord* records) {
  using namespace rtl;
  if (!count || !records) return -1;
  *count = 0;
  for (int slot = 0; slot < RTK_HOST_POLICE_SLOTS; ++slot) {
    rtk_rg_hostPoliceControl_t ctl{};
    static const uint8_t kZero[6] = {};
    if (rtk_rg_hostPoliceControl_get(&ctl, slot) != 0 || std::memcmp(ctl.macAddr, kZero, 6) == 0) {
      continue;
    }
    rtk_rg_hostPoliceLogging_t log{};
    if (rtk_rg_hostPoliceLogging_get(&log, slot) != 0) continue;
    if (*count >= kMaxDataUsage) break;
    DataUsageRecord& r = records[(*count)++];
    r = DataUsageRecord{};
    std::string mac = FormatMac(ctl.macAddr, false);
    CopyField(r.mac, mac.c_str());
    auto client = FindClientCopy(mac.c_str(), nullptr);
    CopyField(r.ip, client ? client->ip : "NA");
    r.connType = 1;
    CopyField(r.connName, client && std::strcmp(client->ifname, "NA") != 0 ? client->ifname : "NA");
    r.rxBytes = log.rx;
    r.txBytes = log.tx;
  }
  return 0;
}
