// Minimal ustar archives: firmware images of the simulated router.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace zsim {

using TarMembers = std::map<std::string, std::string>;

// Regular-file members in name order; a size of `padding` bytes adds a member "rootfs".
std::string MakeTar(const TarMembers& members);
// The regular-file members; nothing when the text is not a ustar archive.
std::optional<TarMembers> ReadTar(const std::string& archive);

// Hex digests of a text.
std::string DigestHex(const std::string& data, const char* algorithm);

}  // namespace zsim
