// Option files: the whole directive table, includes (bounded depth, cycles), every value parser.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "dns/engine/dns_conf.h"
#include "utils/log.h"
#include "utils/paths.h"

namespace {
std::string gDir;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_loglevel.store(LL_CRIT + 1);
  char tmpl[] = "/tmp/zc-fuzz-conf-XXXXXX";
  gDir = mkdtemp(tmpl);
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(gDir, ec);
  });
  setenv("ZUNCORE_ROOT", gDir.c_str(), 1);
  zc::ReloadRootFromEnv();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 64 * 1024) return 0;
  std::string text(reinterpret_cast<const char*>(data), size);
  {
    std::ofstream out(gDir + "/zundns.conf", std::ios::binary | std::ios::trunc);
    out << text;
  }
  zc::dns::DnsConf conf;
  std::string error;
  zc::dns::LoadDnsConf("/zundns.conf", &conf, &error);
  for (const auto& s : conf.upstream.servers) {
    if (!s.spki_pin.empty() && s.spki_pin.size() != 32) abort();
  }
  if (conf.ecs_v4.set && conf.ecs_v4.value.source_prefix > 32) abort();
  if (conf.binds.size() > zc::dns::kMaxBinds) abort();
  // Parsing the same text twice gives the same result.
  zc::dns::DnsConf again;
  std::string error2;
  zc::dns::LoadDnsConfText(gDir + "/zundns.conf", text, &again, &error2);
  if (again.binds.size() != conf.binds.size() ||
      again.upstream.servers.size() != conf.upstream.servers.size())
    abort();
  return 0;
}
