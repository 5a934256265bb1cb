// DHCP lease files: only names of the allowed form are ever answered.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "dns/codec/dns_name.h"
#include "dns/engine/dns_hosts.h"
#include "utils/log.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_loglevel.store(LL_CRIT + 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 64 * 1024) return 0;
  std::string text(reinterpret_cast<const char*>(data), size);
  zc::dns::HostsTable table;
  table.LoadLeaseText(text, "lan");
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string expiry, mac, ip, name;
    if (!(fields >> expiry >> mac >> ip >> name)) continue;
    if (table.Find(dns_name_lower(name)) && !zc::dns::AcceptableLeaseName(name, "lan")) {
      // Another line may have added the same lower-cased name legitimately.
      bool legit = false;
      std::istringstream again(text);
      std::string other;
      while (std::getline(again, other)) {
        std::istringstream f2(other);
        std::string e2, m2, i2, n2;
        if ((f2 >> e2 >> m2 >> i2 >> n2) && dns_name_lower(n2) == dns_name_lower(name) &&
            zc::dns::AcceptableLeaseName(n2, "lan"))
          legit = true;
      }
      if (!legit) abort();
    }
  }
  return 0;
}
