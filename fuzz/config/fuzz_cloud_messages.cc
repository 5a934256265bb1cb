// What the agent does with a message from the cloud, per subject, short of acting on the router:
//   byte 0 % 3 == 0  a command subject's PLATFORMCONFIG: the NUL-text refusal, the answer's
//                    transaction id, every member's checks (LAN, Wi-Fi, diagnostics target,
//                    command values) and the profile store for DNSPROFILE / DNSPROFILE_DEL;
//   byte 0 % 3 == 1  the sign-on answer: its DNS profiles re-encoded and stored as at sign-on;
//   byte 0 % 3 == 2  a URL pattern and a host name (first '\n' splits them): the store's quick
//                    rejection by the pattern's required literal never disagrees with the regex.
// Platform calls are stand-ins and answers go nowhere; files stay in a temporary root.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "config/config_internal.h"
#include "config/profileutils.h"
#include "platform/device_ops.h"
#include "proto/pb.h"
#include "utils/log.h"
#include "utils/paths.h"
#include "utils/validate.h"

namespace {

std::string gDir;

void CheckUrlPattern(const char* pattern, const char* host) {
  auto compiled = UrlPattern::Compile(pattern);
  if (!compiled) return;
  std::string lower(host);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (compiled->Matches(host) != compiled->Matches(host, lower)) __builtin_trap();
}

void CheckMembers(const Zun__Config__PLATFORMCONFIG& e) {
  switch (e.member_case) {
    case ZUN__CONFIG__PLATFORMCONFIG__MEMBER__CMD:
      if (e._cmd->data) {
        std::string value;
        for (const char* key : {"url:", "uname:", "pwd:"}) ExtractValue(e._cmd->data, key, &value);
        DiagnosticTargetAcceptable(e._cmd->data);
      }
      break;
    case ZUN__CONFIG__PLATFORMCONFIG__MEMBER__SSIDPWD:
      for (size_t i = 0; i < e._ssidpwd->n_config; ++i) {
        const auto* entry = e._ssidpwd->config[i];
        if (entry->ssid) SsidAcceptable(entry->ssid);
        if (entry->passphrase) PassphraseAcceptable(entry->passphrase);
      }
      break;
    case ZUN__CONFIG__PLATFORMCONFIG__MEMBER__LANCONFIG:
      ValidateConfigLanParams(&e);
      break;
    case ZUN__CONFIG__PLATFORMCONFIG__MEMBER__DNSPROFILE:
      UpdateProfile(e._dnsprofile);
      for (size_t i = 0; i < e._dnsprofile->n_urlentry; ++i) {
        const auto* entry = e._dnsprofile->urlentry[i];
        if (entry->url) CheckUrlPattern(entry->url, e._dnsprofile->transid);
      }
      break;
    case ZUN__CONFIG__PLATFORMCONFIG__MEMBER__DELDNSPROFILE:
      DeleteProfile(e._deldnsprofile);
      break;
    default:
      break;
  }
}

void CommandSubject(const uint8_t* data, size_t size) {
  auto envelope = zc::pb::Unpack<Zun__Config__PLATFORMCONFIG>(data, size);
  if (!envelope) return;
  if (ConfigPayloadHasNulText(data, size)) return;  // refused before any member is looked at
  CheckMembers(*envelope);
}

void SignOnAnswer(const uint8_t* data, size_t size) {
  auto response = zc::pb::Unpack<Zun__Signon__SignOnResponse>(data, size);
  if (!response) return;
  for (size_t i = 0; i < response->n_dns_profile; ++i) {
    std::vector<uint8_t> bytes = zc::pb::Pack(*response->dns_profile[i]);
    auto profile = zc::pb::Unpack<Zun__Config__DNSPROFILE>(bytes.data(), bytes.size());
    if (profile) UpdateProfile(profile.get());
  }
}

void PatternAndHost(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  size_t split = text.find('\n');
  if (split == std::string::npos || text.find('\0') != std::string::npos) return;
  CheckUrlPattern(text.substr(0, split).c_str(), text.c_str() + split + 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_loglevel.store(LL_CRIT + 1);
  char tmpl[] = "/tmp/zc-fuzz-cloud-XXXXXX";
  gDir = mkdtemp(tmpl);
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(gDir, ec);
  });
  setenv("ZUNCORE_ROOT", gDir.c_str(), 1);
  setenv("ZUNCORE_TIME_SCALE", "0.0001", 1);  // the station re-initialisation pause
  zc::ReloadRootFromEnv();
  std::filesystem::create_directories(gDir + "/tmp");
  RouterDeviceOps.BlockStation = [](const char*) { return 0; };
  RouterDeviceOps.DisconnectStation = [](const char*) { return 0; };
  RouterDeviceOps.UnblockStation = [](const char*) { return 0; };
  RouterDeviceOps.PauseClient = [](const char*, int32_t* index) {
    *index = 1;
    return 0;
  };
  RouterDeviceOps.PlayClient = [](const char*, int32_t) { return 0; };
  zc::profiles::SetAnswerSink([](const char*, const char*) {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 64 * 1024) return 0;
  switch (data[0] % 3) {
    case 0:
      CommandSubject(data + 1, size - 1);
      break;
    case 1:
      SignOnAnswer(data + 1, size - 1);
      break;
    default:
      PatternAndHost(data + 1, size - 1);
      break;
  }
  zc::profiles::ResetForTest();
  return 0;
}
