// The ipset commands as the kernel reads them: header, protocol version, set name, the nested
// data with the address and the timeout, each in the byte order the kernel checks.
#include "dns/ipset/ipset_message.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter/ipset/ip_set.h>
#include <linux/netfilter/nfnetlink.h>

#include <cstring>
#include <vector>

namespace zc::dns {
namespace {

IpsetEntry Entry(const char* set, const char* addr, uint32_t timeout) {
  IpsetEntry e;
  e.set = set;
  e.family = std::strchr(addr, ':') ? AF_INET6 : AF_INET;
  EXPECT_EQ(inet_pton(e.family, addr, e.addr), 1);
  e.timeout = timeout;
  return e;
}

TEST(IpsetMessage, AddIpv4WithTimeoutIsLaidOutForTheKernel) {
  alignas(nlmsghdr) uint8_t buf[kIpsetMessageMax];
  size_t n = BuildIpsetMessage(IpsetCommand::kAdd, Entry("zc4", "192.0.2.1", 600), 7, buf);
  const std::vector<uint8_t> expected = {
      // netlink header: length 60, type ipset subsystem (6) << 8 | add (9), request, seq 7
      0x3c, 0x00, 0x00, 0x00, 0x09, 0x06, 0x01, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x00,
      // netfilter header: family inet, version 0, resource 0
      0x02, 0x00, 0x00, 0x00,
      // protocol 6 (u8, padded)
      0x05, 0x00, 0x01, 0x00, 0x06, 0x00, 0x00, 0x00,
      // set name "zc4" with its NUL
      0x08, 0x00, 0x02, 0x00, 'z', 'c', '4', 0x00,
      // data (nested, 24 bytes)
      0x18, 0x00, 0x07, 0x80,
      //   ip (nested, 12 bytes) holding the IPv4 address in network order
      0x0c, 0x00, 0x01, 0x80, 0x08, 0x00, 0x01, 0x40, 0xc0, 0x00, 0x02, 0x01,
      //   timeout 600 s, network order
      0x08, 0x00, 0x06, 0x40, 0x00, 0x00, 0x02, 0x58};
  ASSERT_EQ(n, expected.size());
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + n), expected);
}

// Walks a message the way the kernel does and collects what it would see.
struct Parsed {
  uint16_t type = 0;
  uint8_t family = 0;
  uint8_t protocol = 0;
  std::string set;
  int addr_type = 0;
  std::vector<uint8_t> addr;
  bool has_timeout = false;
  uint32_t timeout = 0;
  bool nested_ok = true;
  bool net_order_ok = true;
};

std::vector<const nlattr*> Nested(const nlattr* nest) {
  std::vector<const nlattr*> out;
  const char* end = reinterpret_cast<const char*>(nest) + nest->nla_len;
  for (const auto* a = static_cast<const nlattr*>(mnl_attr_get_payload(nest));
       mnl_attr_ok(a, static_cast<int>(end - reinterpret_cast<const char*>(a)));
       a = mnl_attr_next(a)) {
    out.push_back(a);
  }
  return out;
}

Parsed Parse(const uint8_t* buf, size_t n) {
  Parsed p;
  const auto* nlh = reinterpret_cast<const nlmsghdr*>(buf);
  EXPECT_EQ(nlh->nlmsg_len, n);
  EXPECT_EQ(n % 4, 0u);
  p.type = nlh->nlmsg_type;
  const auto* nfg = static_cast<const nfgenmsg*>(mnl_nlmsg_get_payload(nlh));
  p.family = nfg->nfgen_family;
  const char* tail = static_cast<const char*>(mnl_nlmsg_get_payload_tail(nlh));
  for (const auto* attr =
           static_cast<const nlattr*>(mnl_nlmsg_get_payload_offset(nlh, sizeof(nfgenmsg)));
       mnl_attr_ok(attr, static_cast<int>(tail - reinterpret_cast<const char*>(attr)));
       attr = mnl_attr_next(attr)) {
    switch (mnl_attr_get_type(attr)) {
      case IPSET_ATTR_PROTOCOL:
        p.protocol = mnl_attr_get_u8(attr);
        break;
      case IPSET_ATTR_SETNAME:
        p.set = mnl_attr_get_str(attr);
        break;
      case IPSET_ATTR_DATA: {
        p.nested_ok = p.nested_ok && (attr->nla_type & NLA_F_NESTED);
        for (const nlattr* inner : Nested(attr)) {
          if (mnl_attr_get_type(inner) == IPSET_ATTR_IP) {
            p.nested_ok = p.nested_ok && (inner->nla_type & NLA_F_NESTED);
            for (const nlattr* a : Nested(inner)) {
              p.addr_type = mnl_attr_get_type(a);
              p.net_order_ok = p.net_order_ok && (a->nla_type & NLA_F_NET_BYTEORDER);
              const auto* bytes = static_cast<const uint8_t*>(mnl_attr_get_payload(a));
              p.addr.assign(bytes, bytes + mnl_attr_get_payload_len(a));
            }
          } else if (mnl_attr_get_type(inner) == IPSET_ATTR_TIMEOUT) {
            p.has_timeout = true;
            p.net_order_ok = p.net_order_ok && (inner->nla_type & NLA_F_NET_BYTEORDER);
            p.timeout = ntohl(mnl_attr_get_u32(inner));
          }
        }
        break;
      }
      default:
        ADD_FAILURE() << "unexpected attribute " << mnl_attr_get_type(attr);
    }
  }
  return p;
}

TEST(IpsetMessage, Ipv6DeleteNamesAndTimeouts) {
  alignas(nlmsghdr) uint8_t buf[kIpsetMessageMax];
  // IPv6, no timeout: the set's own default applies, so no timeout attribute at all.
  size_t n = BuildIpsetMessage(IpsetCommand::kAdd, Entry("v6set", "2001:db8::1", 0), 1, buf);
  ASSERT_GT(n, 0u);
  Parsed p = Parse(buf, n);
  EXPECT_EQ(p.type, (NFNL_SUBSYS_IPSET << 8) | IPSET_CMD_ADD);
  EXPECT_EQ(p.family, AF_INET6);
  EXPECT_EQ(p.protocol, kIpsetProtocol);
  EXPECT_EQ(p.set, "v6set");
  EXPECT_EQ(p.addr_type, IPSET_ATTR_IPADDR_IPV6);
  uint8_t want[16];
  inet_pton(AF_INET6, "2001:db8::1", want);
  EXPECT_EQ(p.addr, std::vector<uint8_t>(want, want + 16));
  EXPECT_FALSE(p.has_timeout);
  EXPECT_TRUE(p.nested_ok);
  EXPECT_TRUE(p.net_order_ok);

  // Delete; a name of the longest allowed length; a timeout above the kernel's limit is capped.
  std::string longest(kIpsetMaxName, 's');
  n = BuildIpsetMessage(IpsetCommand::kDelete, Entry(longest.c_str(), "198.51.100.7", 4000000000u),
                        2, buf);
  ASSERT_GT(n, 0u);
  p = Parse(buf, n);
  EXPECT_EQ(p.type, (NFNL_SUBSYS_IPSET << 8) | IPSET_CMD_DEL);
  EXPECT_EQ(p.set, longest);
  EXPECT_EQ(p.addr_type, IPSET_ATTR_IPADDR_IPV4);
  EXPECT_EQ(p.addr, (std::vector<uint8_t>{198, 51, 100, 7}));
  EXPECT_TRUE(p.has_timeout);
  EXPECT_EQ(p.timeout, kIpsetMaxTimeout);

  // What the kernel would refuse is never built.
  std::string too_long(kIpsetMaxName + 1, 's');
  EXPECT_EQ(BuildIpsetMessage(IpsetCommand::kAdd, Entry(too_long.c_str(), "192.0.2.1", 0), 3, buf),
            0u);
  EXPECT_EQ(BuildIpsetMessage(IpsetCommand::kAdd, Entry("", "192.0.2.1", 0), 3, buf), 0u);
  IpsetEntry bad = Entry("s", "192.0.2.1", 0);
  bad.family = AF_UNIX;
  EXPECT_EQ(BuildIpsetMessage(IpsetCommand::kAdd, bad, 3, buf), 0u);
}

}  // namespace
}  // namespace zc::dns
