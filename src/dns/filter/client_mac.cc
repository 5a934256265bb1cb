#include "dns/filter/client_mac.h"

#include <arpa/inet.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "dns/filter/filter_keys.h"
#include "utils/files.h"
#include "utils/kvp.h"
#include "utils/log.h"
#include "utils/paths.h"

std::string ArpTableMac(std::string_view text, std::string_view ip, std::string_view device) {
  std::istringstream in{std::string(text)};
  std::string line;
  std::getline(in, line);  // the heading
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string address, type, flags, mac, mask, dev;
    if (!(fields >> address >> type >> flags >> mac >> mask >> dev)) continue;
    if (address != ip || dev != device) continue;
    unsigned long f = std::strtoul(flags.c_str(), nullptr, 16);
    if (!(f & ATF_COM) || mac.size() != 17) return kUnknownMac;
    for (char& c : mac) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return mac;
  }
  return kUnknownMac;
}

std::string ClientMacOf(const sockaddr_storage& client) {
  if (client.ss_family != AF_INET) return kUnknownMac;
  const auto& in = reinterpret_cast<const sockaddr_in&>(client);
  if (in.sin_addr.s_addr == 0) return kUnknownMac;
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return kUnknownMac;
  arpreq req{};
  auto* pa = reinterpret_cast<sockaddr_in*>(&req.arp_pa);
  pa->sin_family = AF_INET;
  pa->sin_addr = in.sin_addr;
  std::strncpy(req.arp_dev, kLanBridge, sizeof req.arp_dev - 1);
  int rc = ioctl(fd, SIOCGARP, &req);
  int err = errno;
  close(fd);
  char ip[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &in.sin_addr, ip, sizeof ip);
  if (rc != 0 && err != ENXIO) {
    // The request itself was refused, not the address: the table as the kernel prints it.
    std::string mac = ArpTableMac(zc::ReadFile(zc::RootPath("/proc/net/arp"), 1 << 20).value_or(""),
                                  ip, kLanBridge);
    if (mac != kUnknownMac) return mac;
  }
  if (rc != 0 || !(req.arp_flags & ATF_COM)) {
    if (GetStringKVPOr(zc::filterkeys::kLoopbackIpv4, "") != ip) {
      LogOut(LL_DEBUG, "arp_req: SIOCGARP for IP %s failed: %s", ip,
             rc != 0 ? strerror(err) : "incomplete");
    }
    return kUnknownMac;
  }
  const auto* b = reinterpret_cast<const unsigned char*>(req.arp_ha.sa_data);
  char mac[18];
  snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1], b[2], b[3], b[4], b[5]);
  return mac;
}
