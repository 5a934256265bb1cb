// The closed Realtek platform library as this backend calls it. The router build links the
// vendor library; the simulated router links a stand-in with the same declarations. Records hold
// only what the backend reads or writes; porting must check them against the vendor headers.
#pragma once

#include <cstdint>

extern "C" {

// Opaque transceiver reading buffer.
typedef struct {
  uint8_t raw[128];
} rtk_transceiver_data_t;

// Reading types of the PON transceiver.
enum {
  RTK_TRANSCEIVER_VENDOR_NAME = 0,
  RTK_TRANSCEIVER_SERIAL = 1,
  RTK_TRANSCEIVER_TEMPERATURE = 2,
  RTK_TRANSCEIVER_VOLTAGE = 3,
  RTK_TRANSCEIVER_BIAS_CURRENT = 4,
  RTK_TRANSCEIVER_TX_POWER = 5,
  RTK_TRANSCEIVER_RX_POWER = 6,
};
// Text capacity for _get_data_by_type.
#define RTK_TRANSCEIVER_TEXT_LEN 64

int rtk_ponmac_transceiver_get(int type, rtk_transceiver_data_t* buf);
int _get_data_by_type(int type, rtk_transceiver_data_t* buf, char* text);

int rtk_port_phyReg_get(uint32_t port, uint32_t page, uint32_t reg, uint32_t* value);
int rtk_port_phyReg_set(uint32_t port, uint32_t page, uint32_t reg, uint32_t value);

typedef struct {
  uint8_t mac[6];
  uint8_t reserved[26];
} rtk_rg_macFilterEntry_t;
int rtk_rg_macFilter_add(rtk_rg_macFilterEntry_t* entry, int* index);
int rtk_rg_macFilter_del(int index);

typedef struct {
  uint64_t ifInOctets;
  uint64_t ifOutOctets;
} rtk_rg_port_mib_info_t;
int rtk_rg_portMibInfo_get(int port, rtk_rg_port_mib_info_t* mib);

// Port 2 counters: 0 received octets, 5 sent octets of the WAN.
int rtk_stat_port_get(uint32_t port, uint32_t counter, uint64_t* value);

typedef struct {
  uint8_t macAddr[6];
  uint8_t ingressLimitEnable;
  uint8_t egressLimitEnable;
  uint32_t reserved[2];
} rtk_rg_hostPoliceControl_t;
int rtk_rg_hostPoliceControl_get(rtk_rg_hostPoliceControl_t* control, int slot);
int rtk_rg_hostPoliceControl_set(rtk_rg_hostPoliceControl_t* control, int slot);
int rtk_stat_logCtrl_set(int slot, int rx, int tx);

typedef struct {
  uint64_t rx;
  uint64_t tx;
} rtk_rg_hostPoliceLogging_t;
int rtk_rg_hostPoliceLogging_get(rtk_rg_hostPoliceLogging_t* log, int slot);

typedef struct {
  uint32_t dev_type;
  uint32_t brand;
  uint32_t model;
  uint32_t os;
} rtk_rg_lanNetInfo_t;
typedef struct {
  uint32_t ipv4;  // host byte order
  uint8_t mac[6];
  int32_t lease;  // negative: static address
  rtk_rg_lanNetInfo_t lanNetInfo;
} rtk_rg_arpInfo_t;
// First valid entry with index >= *index; *index is set to it. -1 when none.
int rtk_rg_arpEntry_find(rtk_rg_arpInfo_t* info, int* index);

// Host-policing slots of the platform.
#define RTK_HOST_POLICE_SLOTS 8
}
