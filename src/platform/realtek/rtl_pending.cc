// Slots still to be filled in; each reports failure so callers notice.
#include "platform/realtek/rtl8192_single_band.h"
#include "platform/realtek/rtl_internal.h"
#include "utils/log.h"

namespace {
int NotYet(const char* slot) {
  LogOut(LL_ERR, "%s: not available on this platform yet", slot);
  return -1;
}
}  // namespace

namespace rtl {
void ResetClientList() {}
std::optional<ClientRecord> FindClientCopy(const char*, const char*) {
  return std::nullopt;
}
}  // namespace rtl

int Rtl8192GetInterfaceStats(uint8_t*, InterfaceStatsRecord*) {
  return NotYet(__func__);
}
int Rtl8192GetWlanHostDataUsageStats(const char*, uint8_t*, DataUsageRecord*) {
  return NotYet(__func__);
}
int Rtl8192GetEthHostDataUsageStats(uint8_t*, DataUsageRecord*) {
  return NotYet(__func__);
}
int Rtl8192GetSystemStats(SystemStatsRecord*) {
  return NotYet(__func__);
}
int Rtl8192GetPONStats(PonStatsRecord*) {
  return NotYet(__func__);
}
int Rtl8192GetEthStats(uint8_t*, EthPortRecord*) {
  return NotYet(__func__);
}
int Rtl8192JournalInit() {
  return NotYet(__func__);
}
int Rtl8192GetJournalRecord(JournalRecord*) {
  return NotYet(__func__);
}
int Rtl8192GetClientUpdate(ClientRecord*) {
  return NotYet(__func__);
}
int Rtl8192FirmwareValidate(const char*, const char*) {
  return NotYet(__func__);
}
int Rtl8192FirmwareUpgrade(FirmwareUpgradeCallback) {
  return NotYet(__func__);
}
int Rtl8192GetNeighorAPDetails(NeighborApRecord**, const char*, uint32_t*, uint32_t*) {
  return NotYet(__func__);
}
int Rtl8192OptimizeWifi(const char*, uint8_t*, uint8_t*, uint32_t*) {
  return NotYet(__func__);
}
