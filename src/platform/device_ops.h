// The platform operations table: every other module reaches the router's hardware, driver and
// configuration only through RouterDeviceOps. Slots are C-style function pointers in a fixed order;
// records are fixed-width so they can cross the table without allocation.
//
// Conventions: results are 0 for success and -1 for failure unless a slot says otherwise. Text
// fields are NUL-terminated within their capacity (the array size). A value that could not be
// obtained is "NA". MACs are "AA:BB:CC:DD:EE:FF" (width 18), IPv4 text has width 16, IPv6 46.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>

// Widths of the text fields (terminator included).
inline constexpr size_t kMacTextLen = 18;
inline constexpr size_t kIpv4TextLen = 16;
inline constexpr size_t kIpv6TextLen = 46;
inline constexpr size_t kIfNameLen = 64;
// Capacity of GetDeviceVersion's output.
inline constexpr size_t kVersionTextLen = 64;
// Capacity of GetBootstrapUrlDomain's and UpdateDeviceRunningFw's output.
inline constexpr size_t kUrlTextLen = 256;
inline constexpr size_t kRunningFwLen = 256;
// SSIDs are at most 32 bytes; one more keeps the terminator of a full-length SSID.
inline constexpr size_t kSsidMaxLen = 32;
inline constexpr size_t kSsidLen = kSsidMaxLen + 1;
inline constexpr size_t kPassphraseLen = 128;
// GetMib's output buffer.
inline constexpr size_t kMibBufferLen = 256;

// Capacities of the caller-owned arrays.
inline constexpr size_t kMaxInterfaceStats = 8;
inline constexpr size_t kMaxDataUsage = 60;
inline constexpr size_t kEthPortCount = 2;
// Entries of the shared WlanInfo table (WLAN indexes 0 to 3).
inline constexpr int kWlanInfoCount = 4;
inline constexpr int kWlanCounterCount = 21;

// Values of the message schema enums the records carry.
enum FirmwareUpdateErrorCode : int {
  FW_ERR_UNDEFINED = 0,
  FW_ERR_IMAGE_SIZE_CHECK_FAILURE = 1,
  FW_ERR_LOW_RAM = 2,
  FW_ERR_CHECKSUM_FAIL = 3,
  FW_ERR_PRODUCT_MISMATCH = 4,
  FW_ERR_GENERIC_FAILURE = 5,
  FW_ERR_FALLBACK = 6,
};

struct LanConfigRecord {
  char lanIpAddr[kIpv4TextLen];
  char subnetMask[kIpv4TextLen];
  char dhcpPoolStart[kIpv4TextLen];
  char dhcpPoolEnd[kIpv4TextLen];
  char dhcpGateway[kIpv4TextLen];
  uint32_t leaseTime;
  uint32_t dnsMode;  // 1 static, 2 dynamic
  char dns1[kIpv4TextLen];
  char dns2[kIpv4TextLen];
  char dns3[kIpv4TextLen];
};

struct StationRecord {
  char mac[kMacTextLen];
  char ip[kMacTextLen];  // "NA" when the station has no known address
  int32_t snr;
  int32_t rssi;
  uint64_t txPackets;
  uint64_t txBytes;
  int32_t txRate;
  int32_t txMcs;
  uint64_t rxPackets;
  uint64_t rxBytes;
  int32_t rxRate;
  int32_t rxMcs;
  uint32_t connectedSeconds;
  uint32_t expiredTime;
};

// Order of WlanInfoEntry::counters (the fields of the SSID traffic statistics message).
enum WlanCounter : int {
  WLC_BYTES_SENT = 0,
  WLC_BYTES_RECEIVED,
  WLC_PACKETS_SENT,
  WLC_PACKETS_RECEIVED,
  WLC_RETRANS,
  WLC_FAILED_RETRANS,
  WLC_RETRY,
  WLC_MULTIPLE_RETRY,
  WLC_ACK_FAILURE,
  WLC_AGGREGATED,
  WLC_ERRORS_SENT,
  WLC_ERRORS_RECEIVED,
  WLC_UNICAST_SENT,
  WLC_UNICAST_RECEIVED,
  WLC_DISCARD_SENT,
  WLC_DISCARD_RECEIVED,
  WLC_MULTICAST_SENT,
  WLC_MULTICAST_RECEIVED,
  WLC_BROADCAST_SENT,
  WLC_BROADCAST_RECEIVED,
  WLC_UNKNOWN_RECEIVED,
};

struct WlanInfoEntry {
  uint8_t active;
  char phy[8];
  char ifname[16];
  char ssid[kSsidLen];
  char passphrase[kPassphraseLen];
  char bssid[kMacTextLen];
  uint8_t hidden;
  uint8_t guest;
  uint8_t sgi;
  uint32_t beaconInterval;
  char country[4];
  uint8_t channel;
  uint8_t txPower;
  uint32_t band;
  uint32_t mode;
  uint32_t standard;
  uint32_t encryption;
  uint32_t security;
  uint32_t channelWidth;
  uint32_t stationCount;
  StationRecord** stations;  // stationCount pointers (GetWlanSTAInfoAll); FreeWlanStations
  uint64_t counters[kWlanCounterCount];
};

struct WanStatusRecord {
  uint32_t proto;
  char ifname[kIfNameLen];
  char mac[kMacTextLen];
  char wanIpv4[kIpv4TextLen];
  char wanIpv6[kIpv6TextLen];
  char publicIpv4[kIpv4TextLen];
  char publicIpv6[kIpv6TextLen];
  char pppoeUserName[64];
};

struct WanInterfaceRecord {
  char ifname[kIfNameLen];
  char mac[kMacTextLen];
  char ipv4[kIpv4TextLen];
};

struct PlatformInfoRecord {
  char hardware[128];
  char deviceIdentity[128];
  char hardwareVersion[128];
  char softwareVersion[128];
  char softwareBuildTime[128];
  char voipStackName[128];
  char modelName[128];
  char serialNumber[128];
  char ponSerialNumber[128];
  char manufacturer[128];
  char ponMode[128];
  char oui[128];
  char processorSpeed[128];
  char bootloaderVersion[128];
  char lastRebootReason[128];
  char publicAddress[128];
};

struct ClientRecord {
  char ip[kIpv4TextLen];
  char mac[kMacTextLen];
  char ifname[kIfNameLen];
  uint32_t ifType;
  char hostName[64];
  uint32_t ipAssignment;    // 1 static, 2 DHCP
  uint32_t connectionType;  // 1 regular, 2 guest
  uint32_t deviceType;
  uint32_t brand;
  uint32_t model;
  uint32_t osType;
};

struct SystemStatsRecord {
  uint32_t uptime;
  uint32_t cpuCount;
  uint32_t cpuPercentage;
  uint64_t memTotal;  // kB
  uint64_t memFree;   // kB
};

struct PonStatsRecord {
  char vendorName[64];
  char serialNumber[64];
  char partNumber[64];
  float temperature;
  float voltage;
  float biasCurrent;
  float txPower;
  float rxPower;
};

struct InterfaceStatsRecord {
  uint32_t connType;
  char connName[kIfNameLen];
  uint64_t rxBytes;
  uint64_t txBytes;
};

struct DataUsageRecord {
  char mac[kMacTextLen];
  char ip[kMacTextLen];
  uint32_t connType;
  char connName[kIfNameLen];
  uint64_t rxBytes;
  uint64_t txBytes;
};

struct EthClientRecord {
  char mac[kMacTextLen];
  char ip[kIpv4TextLen];
  char ifname[kIfNameLen];
  EthClientRecord* next;
};

struct EthPortRecord {
  uint32_t portId;
  uint32_t vlanId;
  uint32_t linkState;  // 0 unknown, 1 down, 2 up
  uint32_t speed;
  uint32_t duplex;  // 2 half, 3 full
  uint32_t clientCount;
  EthClientRecord* clients;  // linked list; FreeEthPortClients
};

struct AcsConfigRecord {
  char url[256];
  char userName[256];
  char password[256];
  uint32_t informInterval;  // 0 leaves the stored interval unchanged
};

struct JournalRecord {
  char source[64];
  char severity[20];
  char processId[64];
  char module[256];
  char log[512];
};

struct NeighborApRecord {
  char ssid[kSsidLen];
  char bssid[kMacTextLen];
  uint32_t beaconPeriod;
  uint32_t dtimPeriod;
  uint8_t channel;
  int8_t rssi;
  int8_t noise;
  uint32_t band;
  uint32_t mode;  // 1 ad hoc, 2 infrastructure
  uint32_t standard;
  uint32_t encryption;
  uint32_t security;
  uint32_t channelWidth;
};

using FirmwareUpgradeCallback = void (*)(int code);

// The 44 slots, in table order.
struct DeviceOps {
  int (*UpdateDeviceMacAddress)(const char* ifname, char* mac /*[kMacTextLen]*/);     // 0
  int (*GetInterfaceIPv4Address)(const char* ifname, char* ipv4 /*[kIpv4TextLen]*/);  // 1
  int (*GetDeviceVersion)(const char* kind, char* out /*[kVersionTextLen]*/);         // 2
  int (*GetBootstrapUrlDomain)(char* out /*[kUrlTextLen]*/);                          // 3
  int (*UpdateDeviceRunningFw)(char* out /*[kRunningFwLen]*/);                        // 4
  int (*UpdateDefaultRouterSettings)();                                               // 5
  int (*EventPlatformInfoUpdate)(PlatformInfoRecord* info);                           // 6
  int (*EventWanInfoUpdate)(WanStatusRecord* wan);                                    // 7
  int (*GetWanInterfacesInfo)(WanInterfaceRecord** list /*free()*/, uint8_t* count);  // 8
  int (*GetWlanInfo)(int index, WlanInfoEntry* entry);                                // 9
  int (*GetWlanSsidTrafficStats)(const char* ifname, WlanInfoEntry* entry);           // 10
  int (*GetWlanTotalConnectedSTA)(const char* ifname, uint8_t* count);                // 11
  int (*GetWlanSTAInfoAll)(const char* ifname, WlanInfoEntry* entry);                 // 12
  int (*GetInterfaceStats)(uint8_t* count, InterfaceStatsRecord* records /*[8]*/);    // 13
  int (*GetWlanHostDataUsageStats)(const char* ifname, uint8_t* count,
                                   DataUsageRecord* records /*[60]*/);                 // 14
  int (*GetEthHostDataUsageStats)(uint8_t* count, DataUsageRecord* records /*[60]*/);  // 15
  int (*GetSystemStats)(SystemStatsRecord* stats);                                     // 16
  int (*GetPONStats)(PonStatsRecord* stats);                                           // 17
  int (*GetEthStats)(uint8_t* count, EthPortRecord* ports /*[2]*/);                    // 18
  int (*SetInterfaceDown)(const char* ifname);                                         // 19
  int (*SetInterfaceUp)(const char* ifname);                                           // 20
  int (*SetWlanSsid)(const char* ifname, const char* ssid);                            // 21
  int (*SetWlanPassPhrase)(const char* ifname, const char* passphrase);                // 22
  int (*JournalInit)();                                                                // 23
  int (*GetJournalRecord)(JournalRecord* record);                                      // 24
  int (*GetClientUpdate)(ClientRecord* client);                                        // 25
  int (*PauseClient)(const char* mac, int32_t* filterIndex);                           // 26
  int (*PlayClient)(const char* mac, int32_t filterIndex);                             // 27
  int (*FirmwareValidate)(const char* checksumType, const char* checksum);             // 28
  int (*FirmwareUpgrade)(FirmwareUpgradeCallback callback);                            // 29
  int (*LEDControl)(int mode);                                                         // 30
  int (*FreeUpRAM)();                                                                  // 31
  int (*PhyPower)(int on);                                                             // 32
  int (*DisconnectStation)(const char* mac);                                           // 33
  int (*BlockStation)(const char* mac);                                                // 34
  int (*UnblockStation)(const char* mac);                                              // 35
  int (*SetMaxSta)(const char* ifname, int maxStations);                               // 36
  int (*UpdateSLAndACS)(const AcsConfigRecord* acs);                                   // 37
  int (*CreateWANandUpdateACS)(void* wan, void* acs);                                  // 38
  int (*GetMib)(const char* ifname, const char* mib, char* out /*[kMibBufferLen]*/);   // 39
  int (*GetNeighorAPDetails)(NeighborApRecord** results /*free()*/, const char* ifname,
                             uint32_t* count, uint32_t* error);  // 40
  int (*OptimizeWifi)(const char* ifname, uint8_t* oldChannel, uint8_t* newChannel,
                      uint32_t* error);       // 41
  int (*GetLanConfig)(LanConfigRecord* lan);  // 42
  int (*SetLanConfig)(LanConfigRecord* lan);  // 43
};

// GetJournalRecord's result when no datagram arrived within one monitor slice (the journal
// thread then counts its liveness and waits again).
inline constexpr int kJournalNoRecord = 1;

inline constexpr int kDeviceOpsSlotCount = 44;
static_assert(sizeof(DeviceOps) == kDeviceOpsSlotCount * sizeof(void*), "44 slots");

extern DeviceOps RouterDeviceOps;

// Fills the table with the platform backend; 0 (nonzero ends the agent at start-up).
int InitDeviceOps(DeviceOps* table);

// Releases what GetWlanSTAInfoAll allocated and zeroes stationCount/stations.
void FreeWlanStations(WlanInfoEntry* entry);
// Releases the client lists GetEthStats allocated.
void FreeEthPortClients(EthPortRecord* ports, uint8_t count);

// Deleter for the arrays slots 8 and 40 allocate (std::unique_ptr<T, CFree>).
struct CFree {
  void operator()(void* p) const { std::free(p); }
};

// ---- The shared Wi-Fi table -------------------------------------------------------------------
// Four entries for WLAN indexes 0 to 3, written by start-up, telemetry and the Wi-Fi configuration
// code and read by the event module. One mutex guards the table: writers refresh into a local
// entry and copy it in; readers get copies. Station arrays never live in the shared table.

// Refreshes one entry through slot GetWlanInfo (index 0..3): 0, or -1 when the slot failed (the
// shared entry is then left as it was).
int RefreshWlanInfoEntry(int index);
// Copy of one entry (stations null, stationCount 0), or nothing for a bad index.
std::optional<WlanInfoEntry> GetWlanInfoEntry(int index);
// Copies all four entries out under one lock.
void CopyWlanInfo(WlanInfoEntry (&out)[kWlanInfoCount]);
// Stores a caller-built entry (index 0..3); its station pointer is not kept.
int StoreWlanInfoEntry(int index, const WlanInfoEntry& entry);
// Clears every entry.
void ClearWlanInfo();
// Index of the entry whose interface name equals ifname ignoring case, or -1.
int FindWlanInfoIndex(const char* ifname);

// Copies text into a fixed field: at most capacity-1 bytes, always terminated.
void CopyField(char* field, size_t capacity, const char* text);
template <size_t N>
inline void CopyField(char (&field)[N], const char* text) {
  CopyField(field, N, text);
}
