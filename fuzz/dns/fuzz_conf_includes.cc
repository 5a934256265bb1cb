// Option files with conf-file includes under a temporary root: the input is up to four files
// separated by a line "--" (the main option file, then a.conf, sub/b.conf, /tmp/c.conf). The
// root also holds a directory, a link to the host's "/" and a link to a file outside the root
// that names a server no file inside names: whatever the includes say, that file is never read,
// and the same files load the same way twice.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "dns/engine/dns_conf.h"
#include "utils/log.h"
#include "utils/paths.h"

namespace {

std::string gDir;      // the root
std::string gOutside;  // beside the root, never to be read
constexpr char kOutsideServer[] = "198.51.100.77";
const char* const kFiles[] = {"/etc/zun/zundns.conf", "/etc/zun/a.conf", "/etc/zun/sub/b.conf",
                              "/tmp/c.conf"};

void Write(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

bool ReadsOutside(const zc::dns::DnsConf& conf) {
  for (const auto& s : conf.upstream.servers) {
    if (s.host == kOutsideServer) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_loglevel.store(LL_CRIT + 1);
  char tmpl[] = "/tmp/zc-fuzz-include-XXXXXX";
  std::string base = mkdtemp(tmpl);
  gDir = base + "/root";
  gOutside = base + "/outside";
  std::filesystem::create_directories(gDir + "/etc/zun/sub");
  std::filesystem::create_directories(gDir + "/etc/zun/dir");
  std::filesystem::create_directories(gDir + "/tmp");
  std::filesystem::create_directories(gOutside);
  Write(gOutside + "/secret.conf", std::string("server ") + kOutsideServer + "\n");
  std::error_code ec;
  std::filesystem::create_symlink("/", gDir + "/etc/zun/host", ec);
  std::filesystem::create_symlink(gOutside + "/secret.conf", gDir + "/etc/zun/secret.conf", ec);
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(gDir).parent_path(), ignored);
  });
  setenv("ZUNCORE_ROOT", gDir.c_str(), 1);
  zc::ReloadRootFromEnv();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 64 * 1024) return 0;
  std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> parts(std::size(kFiles));
  size_t n = 0, start = 0;
  while (n < parts.size()) {
    size_t end = text.find("\n--\n", start);
    parts[n++] = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (end == std::string::npos) break;
    start = end + 4;
  }
  for (size_t i = 0; i < parts.size(); ++i) Write(gDir + kFiles[i], parts[i]);

  zc::dns::DnsConf conf;
  std::string error;
  bool ok = zc::dns::LoadDnsConf(kFiles[0], &conf, &error);
  if (ok != error.empty()) abort();
  // Unless the input names that server itself (quotes and backslashes aside).
  std::string bare;
  for (char c : text) {
    if (c != '"' && c != '\\') bare.push_back(c);
  }
  if (bare.find(kOutsideServer) == std::string::npos && ReadsOutside(conf)) abort();
  zc::dns::DnsConf again;
  std::string error2;
  if (zc::dns::LoadDnsConf(kFiles[0], &again, &error2) != ok || error2 != error ||
      again.upstream.servers.size() != conf.upstream.servers.size() ||
      again.binds.size() != conf.binds.size())
    abort();
  return 0;
}
