// The bootstrap answer is cloud JSON that ends up, key by key, as lines of the boot
// configuration file. Whatever the answer holds, a stored value must read back exactly and must
// not disturb any other key's line.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "bstrap/bootconfig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string body(reinterpret_cast<const char*>(data), size);
  auto values = BootstrapAnswerValues(body);
  if (!values) return 0;
  std::string file;
  for (int i = 0; i < kBootstrapKeyCount; ++i) {
    const auto& value = (*values)[i];
    if (!value || !BootConfigValueAcceptable(*value)) continue;
    file = BootConfigWithValue(file, bootstrap_config_params[i], *value);
  }
  for (int i = 0; i < kBootstrapKeyCount; ++i) {
    const auto& value = (*values)[i];
    auto stored = BootConfigValue(file, bootstrap_config_params[i]);
    bool expected = value && BootConfigValueAcceptable(*value);
    if (expected != stored.has_value() || (expected && *stored != *value)) std::abort();
  }
  return 0;
}
