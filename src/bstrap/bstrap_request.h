// The bootstrap request body (the router's description) and the WAN creation record built from
// the answer.
#pragma once

#include <cstdint>

#include "utils/json.h"

struct WanConfigRecord {
  char mode[32];
  char ipProtocolMode[32];
  char ipMode[32];
  uint8_t natEnabled;
  uint8_t vlanEnabled;
  int32_t vlanId;
  int32_t priority;
  int32_t mtu;
  char serviceMode[32];
  char externalIpAddress[32];
  char subnetMask[32];
  char defaultGateway[32];
  char primaryDns[32];
  char secondaryDns[32];
  char pppoeUserName[64];
  char pppoePassword[64];
  char pppType[64];
};

// The JSON body of the bootstrap request; null (logged) when the Wi-Fi settings cannot be read.
// Ends the process when the platform, WAN or WAN interface details are unavailable.
zc::JsonPtr BuildBootstrapRequestBody();
// The WAN creation record from the stored "wanConfig." keys, with their defaults.
WanConfigRecord BuildWanConfigRecord();

const char* WlanBandName(uint32_t band);
const char* WlanEncryptionName(uint32_t encryption);
const char* WlanSecurityName(uint32_t security);
