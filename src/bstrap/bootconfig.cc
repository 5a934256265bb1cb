#include "bstrap/bootconfig.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <strings.h>

#include <cstdio>

#include "bstrap/bstrap_keys.h"
#include "utils/files.h"
#include "utils/json.h"
#include "utils/log.h"
#include "utils/paths.h"

const std::array<const char*, kBootstrapKeyCount> bootstrap_config_params = {
    kKeyProvisioningCode,
    kKeyLogicalLocation,
    kKeySubscriberId,
    kKeyConnectionUrl,
    kKeyConnectionTlsEnabled,
    kKeyConnectionMaxRetryCount,
    kKeyConnectionSubject,
    kKeyConnectionJournalSubject,
    kKeyConnectionIdleDeviceSubject,
    kKeyConnectionSuspendedSubject,
    kKeyConnectionExpiredBootstrapUrl,
    kKeyWanConnection,
    kKeyCwmpAcsUrl,
    kKeyCwmpUsername,
    kKeyCwmpPassword,
    kKeyCwmpPeriodicInterval,
    kKeyWanMode,
    kKeyWanIpProtocolMode,
    kKeyWanIpMode,
    kKeyWanNatEnabled,
    kKeyWanVlanEnabled,
    kKeyWanVlanId,
    kKeyWanPriority,
    kKeyWanMtu,
    kKeyWanServiceMode,
    kKeyWanStaticAddress,
    kKeyWanStaticSubnetMask,
    kKeyWanStaticGateway,
    kKeyWanStaticPrimaryDns,
    kKeyWanStaticSecondaryDns,
    kKeyWanPppoeUsername,
    kKeyWanPppoePassword,
    kKeyWanPppoeServiceName,
    kKeyWanPppoeType,
};

namespace {

std::optional<std::string> FindDotted(json_object* root, const std::string& key) {
  json_object* node = root;
  size_t start = 0;
  while (true) {
    size_t dot = key.find('.', start);
    std::string part =
        key.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    json_object* child = nullptr;
    if (!node || !json_object_is_type(node, json_type_object) ||
        !json_object_object_get_ex(node, part.c_str(), &child)) {
      return std::nullopt;
    }
    node = child;
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  if (!node) return std::string("null");
  return std::string(json_object_get_string(node));
}

}  // namespace

std::optional<BootstrapValues> BootstrapAnswerValues(const std::string& body) {
  zc::JsonPtr root = zc::JsonParse(body);
  if (!root) return std::nullopt;
  BootstrapValues values;
  for (int i = 0; i < kBootstrapKeyCount; ++i) {
    values[i] = FindDotted(root.get(), bootstrap_config_params[i]);
  }
  return values;
}

std::optional<std::string> BootstrapAnswerRefusal(const BootstrapValues& values) {
  auto valueOf = [&](const char* key) -> const std::optional<std::string>& {
    for (int i = 0; i < kBootstrapKeyCount; ++i) {
      if (std::string_view(bootstrap_config_params[i]) == key) return values[i];
    }
    static const std::optional<std::string> kNone;
    return kNone;
  };
  for (int i = 0; i < kBootstrapKeyCount; ++i) {
    if (values[i] && !BootConfigValueAcceptable(*values[i])) {
      return std::string("value of ") + bootstrap_config_params[i] + " holds a line break";
    }
  }
  const auto& wan = valueOf(kKeyWanConnection);
  if (!wan ||
      (strcasecmp(wan->c_str(), "MIGRATION") != 0 && strcasecmp(wan->c_str(), "CREATE") != 0)) {
    return std::nullopt;
  }
  for (const char* key : {kKeyCwmpAcsUrl, kKeyCwmpUsername, kKeyCwmpPassword}) {
    const auto& value = valueOf(key);
    if (!value) continue;
    if (value->size() > kAcsValueMax) {
      return std::string("value of ") + key + " is longer than " + std::to_string(kAcsValueMax) +
             " bytes";
    }
    for (char c : *value) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
        return std::string("value of ") + key + " holds a control character";
      }
    }
  }
  return std::nullopt;
}

std::optional<std::string> BootConfigValue(std::string_view text, std::string_view key) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == '=') {
      return std::string(line.substr(key.size() + 1));
    }
    pos = end + 1;
  }
  return std::nullopt;
}

bool BootConfigValueAcceptable(std::string_view value) {
  return value.find_first_of("\r\n") == std::string_view::npos &&
         value.find('\0') == std::string_view::npos;
}

std::string BootConfigWithValue(std::string_view text, std::string_view key,
                                std::string_view value) {
  std::string out;
  bool replaced = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    bool hasNewline = end != std::string_view::npos;
    if (!hasNewline) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    if (!replaced && line.size() > key.size() && line.substr(0, key.size()) == key &&
        line[key.size()] == '=') {
      out.append(key).append("=").append(value);
      replaced = true;
    } else {
      out.append(line);
    }
    if (hasNewline) out.push_back('\n');
    pos = end + 1;
  }
  if (!replaced) {
    if (!out.empty() && out.back() != '\n') out.push_back('\n');
    out.append(key).append("=").append(value).append("\n");
  }
  return out;
}

int UpdateBootConfigValue(std::string_view key, std::string_view value) {
  if (!BootConfigValueAcceptable(value)) return -1;
  std::string path = zc::RootPath(kBootConfigFile);
  auto text = zc::ReadFile(path);
  if (!text) return -1;
  std::string updated = BootConfigWithValue(*text, key, value);
  std::string tmp = path + ".XXXXXX";
  int fd = mkstemp(tmp.data());
  if (fd < 0) return -1;
  bool ok = write(fd, updated.data(), updated.size()) == static_cast<ssize_t>(updated.size()) &&
            fchmod(fd, 0644) == 0 && fsync(fd) == 0;
  ok = (close(fd) == 0) && ok;
  if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
    unlink(tmp.c_str());
    LogOut(LL_ERR, "%s: unable to rewrite %s", "UpdateBootConfigValue", kBootConfigFile);
    return -1;
  }
  return 0;
}
