#include <strings.h>

#include <cstring>
#include <mutex>

#include "platform/device_ops.h"
#include "utils/log.h"

namespace {

std::mutex gWlanInfoMutex;
WlanInfoEntry gWlanInfo[kWlanInfoCount];

bool ValidIndex(int index) {
  return index >= 0 && index < kWlanInfoCount;
}

}  // namespace

void CopyField(char* field, size_t capacity, const char* text) {
  if (!field || capacity == 0) return;
  size_t n = text ? strnlen(text, capacity - 1) : 0;
  if (n) std::memcpy(field, text, n);
  field[n] = '\0';
}

int StoreWlanInfoEntry(int index, const WlanInfoEntry& entry) {
  if (!ValidIndex(index)) return -1;
  std::lock_guard lock(gWlanInfoMutex);
  gWlanInfo[index] = entry;
  gWlanInfo[index].stations = nullptr;
  gWlanInfo[index].stationCount = 0;
  return 0;
}

int RefreshWlanInfoEntry(int index) {
  if (!ValidIndex(index) || !RouterDeviceOps.GetWlanInfo) return -1;
  WlanInfoEntry local{};
  if (RouterDeviceOps.GetWlanInfo(index, &local) != 0) {
    LogOut(LL_ERR, "%s:- RouterDeviceOps.GetWlanInfo failed for index %d", __func__, index);
    return -1;
  }
  return StoreWlanInfoEntry(index, local);
}

std::optional<WlanInfoEntry> GetWlanInfoEntry(int index) {
  if (!ValidIndex(index)) return std::nullopt;
  std::lock_guard lock(gWlanInfoMutex);
  return gWlanInfo[index];
}

void CopyWlanInfo(WlanInfoEntry (&out)[kWlanInfoCount]) {
  std::lock_guard lock(gWlanInfoMutex);
  for (int i = 0; i < kWlanInfoCount; ++i) out[i] = gWlanInfo[i];
}

void ClearWlanInfo() {
  std::lock_guard lock(gWlanInfoMutex);
  for (auto& e : gWlanInfo) e = WlanInfoEntry{};
}

int FindWlanInfoIndex(const char* ifname) {
  if (!ifname) return -1;
  std::lock_guard lock(gWlanInfoMutex);
  for (int i = 0; i < kWlanInfoCount; ++i) {
    if (gWlanInfo[i].ifname[0] && strcasecmp(gWlanInfo[i].ifname, ifname) == 0) return i;
  }
  return -1;
}

void FreeWlanStations(WlanInfoEntry* entry) {
  if (!entry) return;
  if (entry->stations) {
    for (uint32_t i = 0; i < entry->stationCount; ++i) std::free(entry->stations[i]);
    std::free(entry->stations);
  }
  entry->stations = nullptr;
  entry->stationCount = 0;
}

void FreeEthPortClients(EthPortRecord* ports, uint8_t count) {
  if (!ports) return;
  for (uint8_t i = 0; i < count; ++i) {
    EthClientRecord* c = ports[i].clients;
    while (c) {
      EthClientRecord* next = c->next;
      std::free(c);
      c = next;
    }
    ports[i].clients = nullptr;
    ports[i].clientCount = 0;
  }
}
