#include "main/version.h"

#include <ares.h>
#include <curl/curl.h>
#include <event2/event.h>
#include <json-c/json.h>
#include <nats/nats.h>
#include <openssl/crypto.h>
#include <protobuf-c/protobuf-c.h>

#include "utils/files.h"
#include "utils/log.h"
#include "utils/paths.h"

void VersionDump() {
  const char* tag = "VersionDump";
  LogOut(LL_INFO, "%s zuncore         :%s", tag, kZuncoreVersion);
  LogOut(LL_INFO, "%s nats            :%s", tag, nats_GetVersion());
  LogOut(LL_INFO, "%s protobuf-c      :%s", tag, protobuf_c_version());
  LogOut(LL_INFO, "%s json-c          :%s", tag, json_c_version());
  LogOut(LL_INFO, "%s openssl         :%s", tag, OpenSSL_version(OPENSSL_VERSION));
  LogOut(LL_INFO, "%s c-ares          :%s", tag, ares_version(nullptr));
  LogOut(LL_INFO, "%s libevent        :%s", tag, event_get_version());
  LogOut(LL_INFO, "%s libcurl         :%s", tag, curl_version());
  auto launcher = zc::ReadFirstLine(zc::RootPath("/etc/launcher/version"), 63);
  if (launcher && !launcher->empty()) {
    LogOut(LL_INFO, "%s launcher        :%s", tag, launcher->c_str());
  }
}
