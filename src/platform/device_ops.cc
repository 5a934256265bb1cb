#include "platform/device_ops.h"

#include "platform/realtek/rtl8192_single_band.h"

DeviceOps RouterDeviceOps{};

int InitDeviceOps(DeviceOps* table) {
  if (!table) return -1;
  Rtl8192FillDeviceOps(table);
  return 0;
}
