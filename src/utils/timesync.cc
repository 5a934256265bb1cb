#include "utils/timesync.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "utils/curl_handles.h"
#include "utils/endpoints.h"
#include "utils/sysguard.h"
#include "utils/timescale.h"

namespace {

size_t CollectBody(char* data, size_t size, size_t nmemb, void* user) {
  auto* body = static_cast<std::string*>(user);
  size_t n = size * nmemb;
  size_t room = kTimeSyncBodyMax - 1 > body->size() ? kTimeSyncBodyMax - 1 - body->size() : 0;
  body->append(data, std::min(room, n));
  return n;
}

}  // namespace

long ParseTimeServiceBody(const char* body) {
  int y, mo, d, h, mi, s;
  if (sscanf(body, "%04d-%02d-%02dT%02d:%02d:%02d", &y, &mo, &d, &h, &mi, &s) != 6) return -1;
  struct tm tmv {};
  tmv.tm_year = y - 1900;
  tmv.tm_mon = mo - 1;
  tmv.tm_mday = d;
  tmv.tm_hour = h;
  tmv.tm_min = mi;
  tmv.tm_sec = s;
  tmv.tm_isdst = 0;
  time_t t = mktime(&tmv);
  return t == static_cast<time_t>(-1) ? -1 : static_cast<long>(t);
}

int xsettimeofday() {
  zc::curl::EasyPtr curl(curl_easy_init());
  if (!curl) return -1;
  std::string body;
  std::string url = zc::TimeServiceUrl();
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT_MS,
                   static_cast<long>(zc::Scaled(kTimeSyncConnectTimeout).count()));
  curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT_MS,
                   static_cast<long>(zc::Scaled(kTimeSyncTotalTimeout).count()));
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, CollectBody);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &body);
  CURLcode rc = curl_easy_perform(curl.get());
  if (rc != CURLE_OK) {
    fprintf(stderr, "curl_easy_perform() failed: %s\n", curl_easy_strerror(rc));
    return -1;
  }
  printf("time_str %s\n", body.c_str());
  long secs = ParseTimeServiceBody(body.c_str());
  if (secs < 0) return -1;
  timeval tv{};
  tv.tv_sec = secs;
  if (PlatformSetClock(&tv) != 0) return -1;
  printf("System time set successfully\n");
  return 0;
}
