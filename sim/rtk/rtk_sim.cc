// Stand-in for the closed Realtek platform library (librtk.so) over the simulation's state:
// PON optics, PHY registers, MAC filters, port and WAN counters, host policing and the ARP table
// with its LAN host information.
#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "core/calls.h"
#include "core/model.h"
#include "core/simroot.h"
#include "core/state.h"
#include "platform/realtek/rtk_api.h"

namespace {

using namespace zsim;

constexpr int kMacFilterSlots = 32;

int Done(const char* function, const std::string& args, int rc) {
  LogCall("rtk", function, "[" + args + "]", rc);
  return rc;
}

bool Injected(const char* function) {
  return ConsumeFailure(std::string("rtk.") + function);
}

std::string MacText(const uint8_t* mac) {
  char buf[18];
  std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
                mac[4], mac[5]);
  return buf;
}

bool MacBytes(const std::string& text, uint8_t* mac) {
  std::string plain = PlainMac(text);
  if (plain.empty()) return false;
  for (int i = 0; i < 6; ++i) {
    mac[i] = static_cast<uint8_t>(std::strtoul(plain.substr(i * 2, 2).c_str(), nullptr, 16));
  }
  return true;
}

uint64_t U64(const KvMap& kv, const std::string& key) {
  auto it = kv.find(key);
  return it == kv.end() ? 0 : std::strtoull(it->second.c_str(), nullptr, 10);
}

}  // namespace

extern "C" {

int rtk_ponmac_transceiver_get(int type, rtk_transceiver_data_t* buf) {
  if (!buf || Injected(__func__)) return Done(__func__, std::to_string(type), -1);
  KvMap pon = ReadKv(StatePath("rtk/pon"));
  auto it = pon.find(std::to_string(type));
  if (it == pon.end()) return Done(__func__, std::to_string(type), -1);
  std::memset(buf->raw, 0, sizeof buf->raw);
  std::memcpy(buf->raw, it->second.data(), std::min(it->second.size(), sizeof buf->raw - 1));
  return Done(__func__, std::to_string(type), 0);
}

int _get_data_by_type(int type, rtk_transceiver_data_t* buf, char* text) {
  if (!buf || !text || Injected(__func__)) return Done(__func__, std::to_string(type), -1);
  size_t n = strnlen(reinterpret_cast<const char*>(buf->raw), RTK_TRANSCEIVER_TEXT_LEN - 1);
  std::memcpy(text, buf->raw, n);
  text[n] = '\0';
  return Done(__func__, std::to_string(type), 0);
}

int rtk_port_phyReg_get(uint32_t port, uint32_t page, uint32_t reg, uint32_t* value) {
  std::string args = std::to_string(port) + "," + std::to_string(page) + "," + std::to_string(reg);
  if (!value || port > 1 || Injected(__func__)) return Done(__func__, args, -1);
  KvMap phy = ReadKv(StatePath("rtk/phy"));
  *value = static_cast<uint32_t>(U64(phy, std::to_string(port) + "." + std::to_string(reg)));
  return Done(__func__, args, 0);
}

int rtk_port_phyReg_set(uint32_t port, uint32_t page, uint32_t reg, uint32_t value) {
  std::string args = std::to_string(port) + "," + std::to_string(page) + "," + std::to_string(reg) +
                     "," + std::to_string(value);
  if (port > 1 || Injected(__func__)) return Done(__func__, args, -1);
  StateLock lock;
  KvMap phy = ReadKv(StatePath("rtk/phy"));
  phy[std::to_string(port) + "." + std::to_string(reg)] = std::to_string(value);
  return Done(__func__, args, WriteKv(StatePath("rtk/phy"), phy) ? 0 : -1);
}

int rtk_rg_macFilter_add(rtk_rg_macFilterEntry_t* entry, int* index) {
  if (!entry || !index || Injected(__func__)) return Done(__func__, "", -1);
  std::string mac = MacText(entry->mac);
  StateLock lock;
  KvMap filters = ReadKv(StatePath("rtk/macfilter"));
  for (int i = 0; i < kMacFilterSlots; ++i) {
    if (filters.count(std::to_string(i))) continue;
    filters[std::to_string(i)] = mac;
    *index = i;
    bool ok = WriteKv(StatePath("rtk/macfilter"), filters);
    return Done(__func__, JsonString(mac) + "," + std::to_string(i), ok ? 0 : -1);
  }
  return Done(__func__, JsonString(mac), -1);
}

int rtk_rg_macFilter_del(int index) {
  if (Injected(__func__)) return Done(__func__, std::to_string(index), -1);
  StateLock lock;
  KvMap filters = ReadKv(StatePath("rtk/macfilter"));
  if (filters.erase(std::to_string(index)) == 0) return Done(__func__, std::to_string(index), -1);
  return Done(__func__, std::to_string(index),
              WriteKv(StatePath("rtk/macfilter"), filters) ? 0 : -1);
}

int rtk_rg_portMibInfo_get(int port, rtk_rg_port_mib_info_t* mib) {
  if (!mib || port < 0 || port > 1 || Injected(__func__)) {
    return Done(__func__, std::to_string(port), -1);
  }
  KvMap ports = ReadKv(StatePath("rtk/ports"));
  mib->ifInOctets = U64(ports, std::to_string(port) + ".rx");
  mib->ifOutOctets = U64(ports, std::to_string(port) + ".tx");
  return Done(__func__, std::to_string(port), 0);
}

int rtk_stat_port_get(uint32_t port, uint32_t counter, uint64_t* value) {
  std::string args = std::to_string(port) + "," + std::to_string(counter);
  if (!value || port != 2 || (counter != 0 && counter != 5) || Injected(__func__)) {
    return Done(__func__, args, -1);
  }
  KvMap wan = ReadKv(StatePath("rtk/wan"));
  *value = U64(wan, counter == 0 ? "rx" : "tx");
  return Done(__func__, args, 0);
}

int rtk_rg_hostPoliceControl_get(rtk_rg_hostPoliceControl_t* control, int slot) {
  if (!control || slot < 0 || slot >= RTK_HOST_POLICE_SLOTS || Injected(__func__)) {
    return Done(__func__, std::to_string(slot), -1);
  }
  std::memset(control, 0, sizeof *control);
  KvMap police = ReadKv(StatePath("rtk/hostpolice"));
  auto it = police.find("slot" + std::to_string(slot));
  if (it != police.end()) MacBytes(it->second, control->macAddr);
  return Done(__func__, std::to_string(slot), 0);
}

int rtk_rg_hostPoliceControl_set(rtk_rg_hostPoliceControl_t* control, int slot) {
  if (!control || slot < 0 || slot >= RTK_HOST_POLICE_SLOTS || Injected(__func__)) {
    return Done(__func__, std::to_string(slot), -1);
  }
  std::string mac = MacText(control->macAddr);
  StateLock lock;
  KvMap police = ReadKv(StatePath("rtk/hostpolice"));
  std::string key = std::to_string(slot);
  if (mac == "00:00:00:00:00:00") {
    police.erase("slot" + key);
  } else {
    police["slot" + key] = mac;
  }
  police.erase("log" + key);
  bool ok = WriteKv(StatePath("rtk/hostpolice"), police);
  return Done(__func__, JsonString(mac) + "," + key, ok ? 0 : -1);
}

int rtk_stat_logCtrl_set(int slot, int rx, int tx) {
  std::string args = std::to_string(slot) + "," + std::to_string(rx) + "," + std::to_string(tx);
  if (slot < 0 || slot >= RTK_HOST_POLICE_SLOTS || Injected(__func__)) {
    return Done(__func__, args, -1);
  }
  StateLock lock;
  KvMap police = ReadKv(StatePath("rtk/hostpolice"));
  std::string key = std::to_string(slot);
  auto mac = police.find("slot" + key);
  if (rx || tx) {
    // Counting starts now: remember the bytes injected so far for this MAC.
    KvMap traffic = ReadKv(StatePath("rtk/hosttraffic"));
    std::string m = mac == police.end() ? std::string() : mac->second;
    police["log" + key] = "1";
    police["base" + key + ".rx"] = std::to_string(U64(traffic, m + ".rx"));
    police["base" + key + ".tx"] = std::to_string(U64(traffic, m + ".tx"));
  } else {
    police.erase("log" + key);
  }
  return Done(__func__, args, WriteKv(StatePath("rtk/hostpolice"), police) ? 0 : -1);
}

int rtk_rg_hostPoliceLogging_get(rtk_rg_hostPoliceLogging_t* log, int slot) {
  if (!log || slot < 0 || slot >= RTK_HOST_POLICE_SLOTS || Injected(__func__)) {
    return Done(__func__, std::to_string(slot), -1);
  }
  KvMap police = ReadKv(StatePath("rtk/hostpolice"));
  std::string key = std::to_string(slot);
  auto mac = police.find("slot" + key);
  if (mac == police.end() || police["log" + key] != "1") {
    return Done(__func__, std::to_string(slot), -1);
  }
  KvMap traffic = ReadKv(StatePath("rtk/hosttraffic"));
  uint64_t rx = U64(traffic, mac->second + ".rx"), tx = U64(traffic, mac->second + ".tx");
  uint64_t baseRx = U64(police, "base" + key + ".rx"), baseTx = U64(police, "base" + key + ".tx");
  log->rx = rx >= baseRx ? rx - baseRx : 0;
  log->tx = tx >= baseTx ? tx - baseTx : 0;
  return Done(__func__, std::to_string(slot), 0);
}

int rtk_rg_arpEntry_find(rtk_rg_arpInfo_t* info, int* index) {
  if (!info || !index || Injected(__func__)) return Done(__func__, "", -1);
  std::string start = std::to_string(*index);
  bool gathered = ReadText(P("/proc/rg/gather_lanNetInfo")).value_or("0").rfind("1", 0) == 0;
  std::istringstream in(ReadText(StatePath("rtk/arp")).value_or(""));
  std::string line;
  for (int i = 0; std::getline(in, line); ++i) {
    if (i < *index) continue;
    std::istringstream f(line);
    std::string ip, mac;
    long lease = 0;
    uint32_t dev = 0, brand = 0, model = 0, os = 0;
    if (!(f >> ip >> mac >> lease)) continue;
    f >> dev >> brand >> os >> model;  // "IP MAC LEASE DEV BRAND OS MODEL"
    in_addr addr{};
    if (inet_pton(AF_INET, ip.c_str(), &addr) != 1) continue;
    std::memset(info, 0, sizeof *info);
    info->ipv4 = ntohl(addr.s_addr);
    MacBytes(mac, info->mac);
    info->lease = static_cast<int32_t>(lease);
    if (gathered) info->lanNetInfo = {dev, brand, model, os};
    *index = i;
    return Done(__func__, start + "," + std::to_string(i), 0);
  }
  return Done(__func__, start, -1);
}

}  // extern "C"
