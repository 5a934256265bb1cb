#include "telemetry/telemetry_build.h"

namespace zc::telemetry {
namespace {

using report::Arena;
using report::Field;

// Closed schema enums: a value the schema does not know goes out as its undefined member.
template <typename E>
E Enum(uint32_t value, uint32_t max) {
  return static_cast<E>(value <= max ? value : 0);
}

Zun__Telemetry__APInfo* ApInfo(Arena& arena, const PassData& p) {
  auto* ap = arena.New<Zun__Telemetry__APInfo>();
  ap->uptime = p.system.uptime;
  ap->mem = arena.New<Zun__Telemetry__APInfo__MEMStats>();
  ap->mem->total = p.system.memTotal;
  ap->mem->free = p.system.memFree;
  ap->cpu = arena.New<Zun__Telemetry__APInfo__CPUStats>();
  ap->cpu->cpucount = p.system.cpuCount;
  ap->cpu->cpupercentage = p.system.cpuPercentage;
  ap->ponstats = arena.New<Zun__Telemetry__APInfo__PONStats>();
  ap->ponstats->vendorname = arena.Str(Field(p.pon.vendorName));
  ap->ponstats->serialnumber = arena.Str(Field(p.pon.serialNumber));
  ap->ponstats->partnumber = arena.Str(Field(p.pon.partNumber));
  ap->ponstats->temperature = p.pon.temperature;
  ap->ponstats->voltage = p.pon.voltage;
  ap->ponstats->biascurrent = p.pon.biasCurrent;
  ap->ponstats->txpower = p.pon.txPower;
  ap->ponstats->rxpower = p.pon.rxPower;

  ap->n_ifstats = p.interfaces.size();
  ap->ifstats = arena.Array<Zun__Telemetry__APInfo__InterfaceStats>(p.interfaces.size());
  for (size_t i = 0; i < p.interfaces.size(); ++i) {
    const auto& e = p.interfaces[i];
    auto* s = arena.New<Zun__Telemetry__APInfo__InterfaceStats>();
    s->conntype = Enum<Zun__Telemetry__APInfo__ConnectionType>(e.connType, 7);
    s->connname = arena.Str(e.connName);
    s->rxbytes = e.deltaRx;
    s->txbytes = e.deltaTx;
    ap->ifstats[i] = s;
  }
  ap->n_datausage = p.clients.size();
  ap->datausage = arena.Array<Zun__Telemetry__APInfo__DataUsageStats>(p.clients.size());
  for (size_t i = 0; i < p.clients.size(); ++i) {
    const auto& e = p.clients[i];
    auto* s = arena.New<Zun__Telemetry__APInfo__DataUsageStats>();
    s->cmac = arena.Str(e.key);
    s->ip = arena.Str(e.ip);
    s->conntype = Enum<Zun__Telemetry__APInfo__ConnectionType>(e.connType, 7);
    s->connname = arena.Str(e.connName);
    // The client's view: what the router sent is what the client received.
    s->rxbytes = e.deltaTx;
    s->txbytes = e.deltaRx;
    ap->datausage[i] = s;
  }
  return ap;
}

Zun__Telemetry__Wlan__AssocResult__STASTATS* StaStats(Arena& arena, uint64_t packets,
                                                      uint64_t bytes, int32_t rate, int32_t mcs) {
  auto* s = arena.New<Zun__Telemetry__Wlan__AssocResult__STASTATS>();
  s->packets = packets;
  s->totalbytes = bytes;
  s->rate = rate;
  s->mcs = mcs;
  return s;
}

Zun__Telemetry__Wlan* Wlan(Arena& arena, const WlanInfoEntry& e) {
  auto* w = arena.New<Zun__Telemetry__Wlan>();
  w->ssid = arena.Str(Field(e.ssid));
  w->bssid = arena.Str(Field(e.bssid));
  w->hidden = e.hidden != 0;
  w->guest = e.guest != 0;
  w->band = Enum<Zun__Telemetry__Wlan__WlanFrequencyBand>(e.band, 2);
  w->encryption = Enum<Zun__Telemetry__Wlan__WlanEncryptionMode>(e.encryption, 3);
  w->security = Enum<Zun__Telemetry__Wlan__WlanSecurityMode>(e.security, 11);
  w->country = arena.Str(Field(e.country));
  w->mode = Enum<Zun__Telemetry__Wlan__WlanOperMode>(e.mode, 8);
  w->operatingstandard = Enum<Zun__Telemetry__Wlan__WlanlOperStd>(e.standard, 11);
  w->operatingchannelwidth = Enum<Zun__Telemetry__Wlan__WlanlOperChannelWidth>(e.channelWidth, 6);
  w->operatingchannel = e.channel;
  w->transmitpower = e.txPower;
  w->sgi = e.sgi != 0;
  w->beaconperiod = e.beaconInterval;
  // Counter k of the entry is field k + 1 of the traffic message.
  auto* stats = arena.New<Zun__Telemetry__Wlan__SSIDTrafficStats>();
  const ProtobufCMessageDescriptor& d = zun__telemetry__wlan__ssidtraffic_stats__descriptor;
  for (int k = 0; k < kWlanCounterCount; ++k) {
    const ProtobufCFieldDescriptor* f =
        protobuf_c_message_descriptor_get_field(&d, static_cast<unsigned>(k + 1));
    if (!f) continue;
    auto* base = reinterpret_cast<char*>(stats);
    *reinterpret_cast<uint64_t*>(base + f->offset) = e.counters[k];
    if (f->label == PROTOBUF_C_LABEL_OPTIONAL) {
      *reinterpret_cast<protobuf_c_boolean*>(base + f->quantifier_offset) = 1;
    }
  }
  w->ssidstat = stats;
  uint32_t n = e.stations ? e.stationCount : 0;
  w->n_assocresults = n;
  w->assocresults = arena.Array<Zun__Telemetry__Wlan__AssocResult>(n);
  for (uint32_t i = 0; i < n; ++i) {
    const StationRecord& st = *e.stations[i];
    auto* a = arena.New<Zun__Telemetry__Wlan__AssocResult>();
    a->cmac = arena.Str(Field(st.mac));
    a->ip = arena.Str(Field(st.ip));
    a->snr = st.snr;
    a->rssi = st.rssi;
    a->tx = StaStats(arena, st.txPackets, st.txBytes, st.txRate, st.txMcs);
    a->rx = StaStats(arena, st.rxPackets, st.rxBytes, st.rxRate, st.rxMcs);
    a->connected_duration = st.connectedSeconds;
    a->expired_time = st.expiredTime;
    w->assocresults[i] = a;
  }
  w->ifname = arena.Str(Field(e.ifname));
  w->has_active = 1;
  w->active = e.active != 0;
  return w;
}

Zun__Telemetry__Ethernet* Port(Arena& arena, const EthPortRecord& port) {
  auto* eth = arena.New<Zun__Telemetry__Ethernet>();
  eth->portid = port.portId;
  eth->vlanid = port.vlanId;
  eth->ethstate = Enum<Zun__Telemetry__Ethernet__EthLinkState>(port.linkState, 2);
  eth->ethspeed = Enum<Zun__Telemetry__Ethernet__EthSpeed>(port.speed, 5);
  eth->ethmode = Enum<Zun__Telemetry__Ethernet__EthMode>(port.duplex, 3);
  size_t n = 0;
  for (const EthClientRecord* c = port.clients; c; c = c->next) ++n;
  eth->n_ethclients = n;
  eth->ethclients = arena.Array<Zun__Telemetry__Ethernet__EthClient>(n);
  size_t i = 0;
  for (const EthClientRecord* c = port.clients; c; c = c->next, ++i) {
    auto* ec = arena.New<Zun__Telemetry__Ethernet__EthClient>();
    ec->cmac = arena.Str(Field(c->mac));
    ec->ip = arena.Str(Field(c->ip));
    ec->connectedduration = 0;
    eth->ethclients[i] = ec;
  }
  return eth;
}

}  // namespace

std::vector<uint8_t> PackTelemetry(const report::Identity& id, const PassData& p) {
  Arena arena;
  auto t = zc::pb::Make<Zun__Telemetry__Telemetry>();
  t.timestamp = arena.Str(id.timestamp);
  t.deviceid = arena.Str(id.deviceId);
  t.dll = arena.Str(id.dll);
  t.subscriberid = arena.Str(id.subscriberId);
  if (p.userData) t.userdata = arena.Str(*p.userData);
  t.apinfo = ApInfo(arena, p);

  size_t active = 0;
  for (const auto& e : p.wlan) active += e.active ? 1 : 0;
  t.n_wlans = active;
  t.wlans = arena.Array<Zun__Telemetry__Wlan>(active);
  size_t w = 0;
  for (const auto& e : p.wlan) {
    if (e.active) t.wlans[w++] = Wlan(arena, e);
  }

  size_t ports = std::min<size_t>(p.portCount, kEthPortCount);
  t.n_ethports = ports;
  t.ethports = arena.Array<Zun__Telemetry__Ethernet>(ports);
  for (size_t i = 0; i < ports; ++i) t.ethports[i] = Port(arena, p.ports[i]);

  auto* filter = arena.New<Zun__Telemetry__ContentFilterStats>();
  size_t blocked = std::min(p.blocked.size(), kMaxFilterStatsPerMessage);
  filter->n_fstats = blocked;
  filter->fstats = arena.Array<Zun__Telemetry__ContentFilterStats__FilterStats>(blocked);
  for (size_t i = 0; i < blocked; ++i) {
    const UrlContentFilter& b = p.blocked[i];
    auto* f = arena.New<Zun__Telemetry__ContentFilterStats__FilterStats>();
    f->cmac = arena.Str(b.cmac);
    f->url = arena.Str(b.url);
    f->time = arena.Str(b.time);
    f->reason =
        Enum<Zun__Telemetry__ContentFilterStats__BlockedReason>(static_cast<uint32_t>(b.reason), 5);
    f->categoryid = b.category_id;
    f->appname = arena.Str(b.app_name);
    filter->fstats[i] = f;
  }
  t.filterstats = filter;
  return zc::pb::Pack(t);
}

}  // namespace zc::telemetry
