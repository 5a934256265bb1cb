// The Realtek single-band backend of the platform operations table: one Rtl8192<Slot> function
// per slot of DeviceOps.
#pragma once

#include "platform/device_ops.h"

int Rtl8192UpdateDeviceMacAddress(const char* ifname, char* mac);
int Rtl8192GetInterfaceIPv4Address(const char* ifname, char* ipv4);
int Rtl8192GetDeviceVersion(const char* kind, char* out);
int Rtl8192GetBootstrapUrlDomain(char* out);
int Rtl8192UpdateDeviceRunningFw(char* out);
int Rtl8192UpdateDefaultRouterSettings();
int Rtl8192EventPlatformInfoUpdate(PlatformInfoRecord* info);
int Rtl8192EventWanInfoUpdate(WanStatusRecord* wan);
int Rtl8192GetWanInterfacesInfo(WanInterfaceRecord** list, uint8_t* count);
int Rtl8192GetWlanInfo(int index, WlanInfoEntry* entry);
int Rtl8192GetWlanSsidTrafficStats(const char* ifname, WlanInfoEntry* entry);
int Rtl8192GetWlanTotalConnectedSTA(const char* ifname, uint8_t* count);
int Rtl8192GetWlanSTAInfoAll(const char* ifname, WlanInfoEntry* entry);
int Rtl8192GetInterfaceStats(uint8_t* count, InterfaceStatsRecord* records);
int Rtl8192GetWlanHostDataUsageStats(const char* ifname, uint8_t* count, DataUsageRecord* records);
int Rtl8192GetEthHostDataUsageStats(uint8_t* count, DataUsageRecord* records);
int Rtl8192GetSystemStats(SystemStatsRecord* stats);
int Rtl8192GetPONStats(PonStatsRecord* stats);
int Rtl8192GetEthStats(uint8_t* count, EthPortRecord* ports);
int Rtl8192SetInterfaceDown(const char* ifname);
int Rtl8192SetInterfaceUp(const char* ifname);
int Rtl8192SetWlanSsid(const char* ifname, const char* ssid);
int Rtl8192SetWlanPassPhrase(const char* ifname, const char* passphrase);
int Rtl8192JournalInit();
int Rtl8192GetJournalRecord(JournalRecord* record);
int Rtl8192GetClientUpdate(ClientRecord* client);
int Rtl8192PauseClient(const char* mac, int32_t* filterIndex);
int Rtl8192PlayClient(const char* mac, int32_t filterIndex);
int Rtl8192FirmwareValidate(const char* checksumType, const char* checksum);
int Rtl8192FirmwareUpgrade(FirmwareUpgradeCallback callback);
int Rtl8192LEDControl(int mode);
int Rtl8192FreeUpRAM();
int Rtl8192PhyPower(int on);
int Rtl8192DisconnectStation(const char* mac);
int Rtl8192BlockStation(const char* mac);
int Rtl8192UnblockStation(const char* mac);
int Rtl8192SetMaxSta(const char* ifname, int maxStations);
int Rtl8192UpdateSLAndACS(const AcsConfigRecord* acs);
int Rtl8192CreateWANandUpdateACS(void* wan, void* acs);
int Rtl8192GetMib(const char* ifname, const char* mib, char* out);
int Rtl8192GetNeighorAPDetails(NeighborApRecord** results, const char* ifname, uint32_t* count,
                               uint32_t* error);
int Rtl8192OptimizeWifi(const char* ifname, uint8_t* oldChannel, uint8_t* newChannel,
                        uint32_t* error);
int Rtl8192GetLanConfig(LanConfigRecord* lan);
int Rtl8192SetLanConfig(LanConfigRecord* lan);

// Fills every slot with the functions above.
void Rtl8192FillDeviceOps(DeviceOps* table);
