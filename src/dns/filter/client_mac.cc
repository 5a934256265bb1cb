#include "dns/filter/client_mac.h"

#include <arpa/inet.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "dns/filter/filter_keys.h"
#include "utils/kvp.h"
#include "utils/log.h"

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
