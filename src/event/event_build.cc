#include "event/event_build.h"

#include <arpa/inet.h>

#include <cstring>

namespace zc::event {
namespace {

using report::Arena;
using report::Field;

constexpr uint32_t kMaxWanProto = 8;

template <size_t N>
bool SameText(const char (&a)[N], const char (&b)[N]) {
  return Field(a) == Field(b);
}

Zun__Event__APEvent Header(Arena& arena, const report::Identity& id) {
  auto ev = zc::pb::Make<Zun__Event__APEvent>();
  ev.timestamp = arena.Str(id.timestamp);
  ev.deviceid = arena.Str(id.deviceId);
  ev.dll = arena.Str(id.dll);
  ev.subscriberid = arena.Str(id.subscriberId);
  return ev;
}

Zun__Event__WANInfo* Wan(Arena& arena, const WanStatusRecord& wan,
                         const std::vector<WanInterfaceRecord>& interfaces) {
  auto* w = arena.New<Zun__Event__WANInfo>();
  w->proto = static_cast<Zun__Event__WANInfo__WanProto>(wan.proto > kMaxWanProto ? 0 : wan.proto);
  w->wanipv4 = arena.Str(Field(wan.wanIpv4));
  w->wanipv6 = arena.Str(Field(wan.wanIpv6));
  w->publicipv4 = arena.Str(Field(wan.publicIpv4));
  w->publicipv6 = arena.Str(Field(wan.publicIpv6));
  w->pppoeusername = arena.Str(Field(wan.pppoeUserName));
  w->n_waninterface = interfaces.size();
  w->waninterface = arena.Array<Zun__Event__WanInterface>(interfaces.size());
  for (size_t i = 0; i < interfaces.size(); ++i) {
    auto* wi = arena.New<Zun__Event__WanInterface>();
    wi->mac = arena.Str(Field(interfaces[i].mac));
    wi->ip = arena.Str(Field(interfaces[i].ipv4));
    wi->intname = arena.Str(Field(interfaces[i].ifname));
    w->waninterface[i] = wi;
  }
  return w;
}

Zun__Event__WLANInfo* Wlan(Arena& arena, const WifiBaselines& wifi) {
  auto* w = arena.New<Zun__Event__WLANInfo>();
  w->n_update = wifi.size();
  w->update = arena.Array<Zun__Event__WiFiUpdate>(wifi.size());
  for (size_t i = 0; i < wifi.size(); ++i) {
    auto* u = arena.New<Zun__Event__WiFiUpdate>();
    u->ssid = arena.Str(wifi[i].ssid);
    u->password = arena.Str(wifi[i].password);
    u->ifname = arena.Str(wifi[i].ifname);
    u->active = wifi[i].active;
    w->update[i] = u;
  }
  return w;
}

Zun__Event__LANInfo* Lan(Arena& arena, const LanConfigRecord& lan) {
  auto* l = arena.New<Zun__Event__LANInfo>();
  l->transid = arena.Str("config_test");
  auto* dhcp = arena.New<Zun__Event__LANDhcpInfo>();
  dhcp->lanipaddr = arena.Str(Field(lan.lanIpAddr));
  dhcp->subnetmask = arena.Str(Field(lan.subnetMask));
  dhcp->startip = arena.Str(Field(lan.dhcpPoolStart));
  dhcp->endip = arena.Str(Field(lan.dhcpPoolEnd));
  dhcp->landhcpgwip = arena.Str(Field(lan.dhcpGateway));
  dhcp->leasetime = lan.leaseTime;
  l->landhcpinfo = dhcp;
  auto* dns = arena.New<Zun__Event__LANDnsInfo>();
  // Closed enum: a mode the schema does not know goes out as undefined rather than unpackable.
  dns->landnsmode =
      static_cast<Zun__Event__LANDnsInfo__DnsMode>(lan.dnsMode <= 2 ? lan.dnsMode : 0);
  if (lan.dnsMode == 1) {
    dns->primarydnsserver = arena.Str(Field(lan.dns1));
    dns->secondarydnsserver = arena.Str(Field(lan.dns2));
    dns->tertiarydnsserver = arena.Str(Field(lan.dns3));
  }
  l->landnsinfo = dns;
  return l;
}

Zun__Event__SysInfo* Sys(Arena& arena, const PlatformInfoRecord& p) {
  auto* s = arena.New<Zun__Event__SysInfo>();
  s->hardware = arena.Str(Field(p.hardware));
  s->hardwareversion = arena.Str(Field(p.hardwareVersion));
  s->softwareversion = arena.Str(Field(p.softwareVersion));
  s->softwarebuildtime = arena.Str(Field(p.softwareBuildTime));
  s->voipstackname = arena.Str(Field(p.voipStackName));
  s->modelname = arena.Str(Field(p.modelName));
  s->serialnumber = arena.Str(Field(p.serialNumber));
  s->manufacturer = arena.Str(Field(p.manufacturer));
  s->processorspeed = arena.Str(Field(p.processorSpeed));
  s->bootloaderversion = arena.Str(Field(p.bootloaderVersion));
  s->lastrebootreason = arena.Str(Field(p.lastRebootReason));
  s->ponmode = arena.Str(Field(p.ponMode));
  return s;
}

}  // namespace

WifiBaseline BaselineOf(const WlanInfoEntry& entry) {
  WifiBaseline b;
  b.ifname = Field(entry.ifname);
  b.ssid = Field(entry.ssid);
  b.password = Field(entry.passphrase);
  b.active = entry.active != 0;
  return b;
}

bool WanChanged(const WanStatusRecord& a, const WanStatusRecord& b) {
  return !SameText(a.ifname, b.ifname) || !SameText(a.mac, b.mac) ||
         !SameText(a.wanIpv4, b.wanIpv4) || !SameText(a.wanIpv6, b.wanIpv6) ||
         !SameText(a.publicIpv4, b.publicIpv4) || !SameText(a.pppoeUserName, b.pppoeUserName) ||
         !SameText(a.publicIpv6, b.publicIpv6) || a.proto != b.proto;
}

bool LanChanged(const LanConfigRecord& a, const LanConfigRecord& b) {
  return a.dnsMode != b.dnsMode || !SameText(a.dns1, b.dns1) || !SameText(a.dns2, b.dns2) ||
         !SameText(a.dns3, b.dns3) || !SameText(a.lanIpAddr, b.lanIpAddr) ||
         !SameText(a.subnetMask, b.subnetMask) || !SameText(a.dhcpPoolStart, b.dhcpPoolStart) ||
         !SameText(a.dhcpPoolEnd, b.dhcpPoolEnd) || !SameText(a.dhcpGateway, b.dhcpGateway) ||
         a.leaseTime != b.leaseTime;
}

void ApplyPublicIp(WanStatusRecord& wan, const std::optional<std::string>& clientIp) {
  CopyField(wan.publicIpv4, "NA");
  CopyField(wan.publicIpv6, "NA");
  if (!clientIp) return;
  unsigned char buf[sizeof(in6_addr)];
  if (inet_pton(AF_INET, clientIp->c_str(), buf) == 1) {
    CopyField(wan.publicIpv4, clientIp->c_str());
  } else if (inet_pton(AF_INET6, clientIp->c_str(), buf) == 1) {
    CopyField(wan.publicIpv6, clientIp->c_str());
  }
}

std::vector<uint8_t> PackClientEvent(const report::Identity& id, const ClientRecord& c) {
  Arena arena;
  auto ev = Header(arena, id);
  auto* ci = arena.New<Zun__Event__ClientInfo>();
  ci->type = static_cast<Zun__Event__ClientInfo__IPAssignmentType>(
      c.ipAssignment <= 2 ? c.ipAssignment : 0);
  ci->expiry = arena.Str("new");
  ci->cmac = arena.Str(Field(c.mac));
  ci->ip = arena.Str(Field(c.ip));
  ci->hostname = arena.Str(Field(c.hostName));
  ci->has_conntype = 1;
  ci->conntype = static_cast<Zun__Event__ClientInfo__ConnectionType>(
      c.connectionType <= 2 ? c.connectionType : 0);
  ci->has_ostype = 1;
  ci->ostype = static_cast<Zun__Event__ClientInfo__OS>(c.osType <= 6 ? c.osType : 0);
  ci->has_devicetype = 1;
  ci->devicetype =
      static_cast<Zun__Event__ClientInfo__Device>(c.deviceType <= 2 ? c.deviceType : 0);
  ev.payload_case = ZUN__EVENT__APEVENT__PAYLOAD_CLIENT_INFO;
  ev.clientinfo = ci;
  return zc::pb::Pack(ev);
}

std::vector<uint8_t> PackWanEvent(const report::Identity& id, const WanStatusRecord& wan,
                                  const std::vector<WanInterfaceRecord>& interfaces) {
  Arena arena;
  auto ev = Header(arena, id);
  ev.payload_case = ZUN__EVENT__APEVENT__PAYLOAD_WAN_INFO;
  ev.waninfo = Wan(arena, wan, interfaces);
  return zc::pb::Pack(ev);
}

std::vector<uint8_t> PackWlanEvent(const report::Identity& id, const WifiBaselines& wifi) {
  Arena arena;
  auto ev = Header(arena, id);
  ev.payload_case = ZUN__EVENT__APEVENT__PAYLOAD_WLAN_INFO;
  ev.wlaninfo = Wlan(arena, wifi);
  return zc::pb::Pack(ev);
}

std::vector<uint8_t> PackLanEvent(const report::Identity& id, const LanConfigRecord& lan) {
  Arena arena;
  auto ev = Header(arena, id);
  ev.payload_case = ZUN__EVENT__APEVENT__PAYLOAD_LANINFO;
  ev.laninfo = Lan(arena, lan);
  return zc::pb::Pack(ev);
}

std::vector<uint8_t> PackReconcile(const report::Identity& id, const PlatformInfoRecord& platform,
                                   const WanStatusRecord& wan,
                                   const std::vector<WanInterfaceRecord>& interfaces,
                                   const WifiBaselines& wifi, const LanConfigRecord& lan) {
  Arena arena;
  auto ev = Header(arena, id);
  auto* r = arena.New<Zun__Event__Reconcile>();
  r->sysinfo = Sys(arena, platform);
  r->waninfo = Wan(arena, wan, interfaces);
  r->wlaninfo = Wlan(arena, wifi);
  r->laninfo = Lan(arena, lan);
  ev.payload_case = ZUN__EVENT__APEVENT__PAYLOAD_RECONCILE;
  ev.reconcile = r;
  return zc::pb::Pack(ev);
}

}  // namespace zc::event
