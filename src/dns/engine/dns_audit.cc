#include "dns/engine/dns_audit.h"

#include <sys/time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "utils/log.h"

namespace zc::dns {

bool AuditLog::Open(const std::string& real_path, int64_t max_size, int max_files) {
  if (LogFileWriter::Open(real_path, max_size, max_files)) return true;
  LogOut(LL_ERR, "AuditLog::Open: %s: %s", real_path.c_str(), std::strerror(errno));
  LogOut(LL_ERR, "init audit failed.");
  return false;
}

std::string AuditLog::FormatLine(const std::string& client, const std::string& domain,
                                 long elapsed_ms, int qtype, const std::string& result) {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  struct tm tmv {};
  time_t secs = tv.tv_sec;
  localtime_r(&secs, &tmv);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "[%.4d-%.2d-%.2d %.2d:%.2d:%.2d,%.3d]", tmv.tm_year + 1900,
                tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec,
                static_cast<int>(tv.tv_usec / 1000));
  std::string line = stamp;
  line += " " + client + " query " + domain + ", time " + std::to_string(elapsed_ms) + "ms, type " +
          std::to_string(qtype) + ", result " + result;
  return line;
}

}  // namespace zc::dns
