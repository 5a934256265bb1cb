// A LAN client in its own network namespace, cabled to one of the router's bridge ports: its
// queries reach the agent's DNS engine on br0 through real ARP, as a phone's would.
#pragma once

#include <string>
#include <vector>

#include "support/dns_peers.h"

namespace zctest {

class LanClient {
 public:
  // port: a router port whose far end "p-<port>" is free (eth0.2, eth0.3, wlan0...).
  LanClient(std::string port, std::string mac, std::string ip);
  ~LanClient();
  LanClient(const LanClient&) = delete;
  LanClient& operator=(const LanClient&) = delete;

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  // Runs a command inside the client's namespace; its standard output.
  std::string Run(const std::vector<std::string>& argv) const;
  // The A answers of a query to the router (dig +short), one per line, trimmed.
  std::string DigA(const std::string& name, const std::string& server = "192.168.1.1") const;
  // A process inside the client's namespace (for nsenter -t).
  pid_t pid() const { return holder_.pid(); }

 private:
  std::string port_;
  ChildProcess holder_;  // keeps the namespace alive; stopped by pid
  std::string error_;
};

}  // namespace zctest
