#include "dns/engine/dns_log.h"

#include <sys/time.h>

#include <cstdio>
#include <ctime>

namespace zc::dns {

namespace {

const char* LevelTag(int level) {
  if (level >= LL_CRIT) return "FATAL";
  if (level >= LL_ERR) return "ERROR";
  if (level >= LL_WARN) return " WARN";
  if (level >= LL_NOTICE) return "NOTICE";
  if (level >= LL_INFO) return " INFO";
  return "DEBUG";
}

}  // namespace

bool EngineLog::Open(const std::string& real_path, int64_t max_size, int max_files) {
  return writer_.Open(real_path, max_size, max_files);
}

std::string EngineLog::FormatLine(int level, const char* message) {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  struct tm tmv {};
  time_t secs = tv.tv_sec;
  localtime_r(&secs, &tmv);
  char stamp[80];
  std::snprintf(stamp, sizeof stamp, "[%.4d-%.2d-%.2d %.2d:%.2d:%.2d,%.3d][%s] ",
                tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min,
                tmv.tm_sec, static_cast<int>(tv.tv_usec / 1000), LevelTag(level));
  std::string text = LogText(message);
  // Messages written for the screen may end in a newline; the file has one line each.
  while (text.size() >= 2 && text.ends_with("\\n")) text.resize(text.size() - 2);
  return stamp + text;
}

void EngineLog::Line(int level, const char* message) {
  writer_.Write(FormatLine(level, message));
}

}  // namespace zc::dns
