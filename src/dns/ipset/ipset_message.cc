#include "dns/ipset/ipset_message.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter/ipset/ip_set.h>
#include <linux/netfilter/ipset/ip_set_hash.h>
#include <linux/netfilter/nfnetlink.h>

#include <cstring>

namespace zc::dns {

size_t BuildIpsetMessage(IpsetCommand command, const IpsetEntry& entry, uint32_t seq, void* buf) {
  if (entry.set.empty() || entry.set.size() > kIpsetMaxName) return 0;
  if (entry.family != AF_INET && entry.family != AF_INET6) return 0;
  std::memset(buf, 0, kIpsetMessageMax);
  nlmsghdr* nlh = mnl_nlmsg_put_header(buf);
  uint16_t cmd = command == IpsetCommand::kAdd ? IPSET_CMD_ADD : IPSET_CMD_DEL;
  nlh->nlmsg_type = static_cast<uint16_t>((NFNL_SUBSYS_IPSET << 8) | cmd);
  // No NLM_F_ACK: the kernel answers only failures. No NLM_F_EXCL: adding an address that is
  // already in the set succeeds and renews its timeout.
  nlh->nlmsg_flags = NLM_F_REQUEST;
  nlh->nlmsg_seq = seq;
  auto* nfg = static_cast<nfgenmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(nfgenmsg)));
  nfg->nfgen_family = static_cast<uint8_t>(entry.family);
  nfg->version = NFNETLINK_V0;
  nfg->res_id = htons(0);
  mnl_attr_put_u8(nlh, IPSET_ATTR_PROTOCOL, kIpsetProtocol);
  mnl_attr_put_strz(nlh, IPSET_ATTR_SETNAME, entry.set.c_str());
  nlattr* data = mnl_attr_nest_start(nlh, IPSET_ATTR_DATA);
  nlattr* ip = mnl_attr_nest_start(nlh, IPSET_ATTR_IP);
  // Addresses and the timeout travel in network order and say so in the attribute type.
  if (entry.family == AF_INET) {
    mnl_attr_put(nlh, IPSET_ATTR_IPADDR_IPV4 | NLA_F_NET_BYTEORDER, 4, entry.addr);
  } else {
    mnl_attr_put(nlh, IPSET_ATTR_IPADDR_IPV6 | NLA_F_NET_BYTEORDER, 16, entry.addr);
  }
  mnl_attr_nest_end(nlh, ip);
  if (entry.timeout > 0) {
    uint32_t t = entry.timeout > kIpsetMaxTimeout ? kIpsetMaxTimeout : entry.timeout;
    mnl_attr_put_u32(nlh, IPSET_ATTR_TIMEOUT | NLA_F_NET_BYTEORDER, htonl(t));
  }
  mnl_attr_nest_end(nlh, data);
  return nlh->nlmsg_len;
}

std::string IpsetAddressText(const IpsetEntry& entry) {
  char text[INET6_ADDRSTRLEN] = "?";
  inet_ntop(entry.family, entry.addr, text, sizeof text);
  return text;
}

std::string IpsetErrorText(int error) {
  switch (error) {
    case IPSET_ERR_PROTOCOL:
      return "message refused (protocol, or an address of the other family)";
    case IPSET_ERR_TYPE_MISMATCH:
      return "set type does not match the address";
    case IPSET_ERR_INVALID_FAMILY:
      return "address family does not match the set";
    case IPSET_ERR_TIMEOUT:
      return "set was created without timeout support";
    case IPSET_ERR_IPADDR_IPV4:
      return "set does not hold IPv4 addresses";
    case IPSET_ERR_IPADDR_IPV6:
      return "set does not hold IPv6 addresses";
    case IPSET_ERR_HASH_FULL:
      return "set is full";
    case ENOENT:
      return "no such set";
    case EPERM:
      return "not permitted (needs CAP_NET_ADMIN)";
    default:
      if (error >= IPSET_ERR_PRIVATE) return "ipset error " + std::to_string(error);
      return std::strerror(error);
  }
}

}  // namespace zc::dns
