// Handlers of the option-file directives that take more than one value: listeners, upstream
// servers, domain rules, IP rules, client subnets, forced SOA types, the log level.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "dns/engine/dns_conf.h"

namespace zc::dns {

using ConfArgs = std::vector<std::string>;

bool AddBind(DnsConf& c, const ConfArgs& args, Transport transport, std::string* error);
bool AddServer(DnsConf& c, const ConfArgs& args, UpstreamType type, std::string* error);
// "/domain/value" directives: address, nameserver, ipset.
bool DomainDirective(DnsConf& c, const ConfArgs& args, bool (*apply)(std::string_view, DomainRule*),
                     const char* what, std::string* error);
bool DomainRulesDirective(DnsConf& c, const ConfArgs& args, std::string* error);
bool IpRuleDirective(DnsConf& c, const ConfArgs& args, uint32_t flag, std::string* error);
bool EcsDirective(DnsConf& c, const ConfArgs& args, std::string* error);
bool ForceQtypeSoa(DnsConf& c, const ConfArgs& args, std::string* error);
bool LogLevelDirective(DnsConf& c, const ConfArgs& args, std::string* error);

}  // namespace zc::dns
