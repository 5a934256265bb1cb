#include "utils/timeutil.h"

#include <cstdio>
#include <ctime>
#include <random>

#include "utils/log.h"
#include "utils/uuid.h"

int GetLocalTime(std::string& out) {
  time_t now = time(nullptr);
  struct tm tmv {};
  if (now == static_cast<time_t>(-1) || !localtime_r(&now, &tmv)) {
    printf("Error extracting local time");
    return -1;
  }
  char buf[64];
  snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", tmv.tm_year + 1900, tmv.tm_mon + 1,
           tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
  out = buf;
  return 0;
}

int GetLocalTime(char* out, size_t size) {
  std::string text;
  if (GetLocalTime(text) != 0) return -1;
  snprintf(out, size, "%s", text.c_str());
  return 0;
}

int GetISOTime(std::string& out) {
  timeval tv{};
  if (gettimeofday(&tv, nullptr) != 0) {
    LogOut(LL_ERR, "GetISOTime: Unable to get time of day :%d", -1);
    return -1;
  }
  struct tm tmv {};
  time_t secs = tv.tv_sec;
  gmtime_r(&secs, &tmv);
  char buf[64];
  size_t n = strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tmv);
  snprintf(buf + n, sizeof buf - n, ".%03dZ", static_cast<int>(tv.tv_usec / 1000));
  out = buf;
  return 0;
}

int GetISOTime(char* out, size_t size) {
  std::string text;
  if (GetISOTime(text) != 0) return -1;
  snprintf(out, size, "%s", text.c_str());
  return 0;
}

int GetRandomTimeJitter(int max, int* out) {
  if (!out) return 0;
  if (max <= 1) {
    *out = 1;
    return 0;
  }
  *out = 1 + static_cast<int>(RandomU64() % static_cast<uint64_t>(max));
  return 0;
}

int timeval_subtract(timeval* result, const timeval* x, const timeval* y) {
  long long usec = (static_cast<long long>(x->tv_sec) - y->tv_sec) * 1000000LL +
                   (static_cast<long long>(x->tv_usec) - y->tv_usec);
  long long sec = usec / 1000000LL;
  long long rem = usec % 1000000LL;
  if (rem < 0) {
    rem += 1000000LL;
    --sec;
  }
  result->tv_sec = static_cast<time_t>(sec);
  result->tv_usec = static_cast<suseconds_t>(rem);
  return usec < 0 ? 1 : 0;
}

std::string UtcClockText() {
  time_t now = time(nullptr);
  struct tm tmv {};
  gmtime_r(&now, &tmv);
  char buf[16];
  snprintf(buf, sizeof buf, "%02d:%02d:%02d", tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
  return buf;
}
