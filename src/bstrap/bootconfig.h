// The boot configuration file: one "key=value" line per bootstrap key, written by bootstrap and
// read by the prefetch of later starts. Pure text functions plus the file operations on it.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

inline constexpr const char* kBootConfigFile = "/etc/config/zunbootconfig";
inline constexpr const char* kExpiredBootstrapUrlFile = "/etc/config/zunexpdbootstrapurl";

inline constexpr int kBootstrapKeyCount = 34;
// Index of the only key the prefetch does not require.
inline constexpr int kIdleDeviceSubjectIndex = 8;
extern const std::array<const char*, kBootstrapKeyCount> bootstrap_config_params;

// The values of the boot configuration keys in a bootstrap answer, by key index: the leaf of
// each dotted key in text form (JSON null as "null"), nothing where a part is missing or an
// inner part is not an object. Nothing at all when the answer is not JSON.
using BootstrapValues = std::array<std::optional<std::string>, kBootstrapKeyCount>;
std::optional<BootstrapValues> BootstrapAnswerValues(const std::string& body);
// Longest management-server value the router's flash keeps (255 bytes and the terminator).
inline constexpr size_t kAcsValueMax = 255;
// Why an answer must be refused as a whole, naming the key, or nothing when it may be applied.
// Checked before anything is written, so a refused answer leaves no boot configuration and no
// flash write behind: a value with a line break (it cannot stand on one line of the file), and,
// when the answer asks for a WAN migration or creation, a management-server value the flash would
// refuse or cut (a control character, or more than kAcsValueMax bytes).
std::optional<std::string> BootstrapAnswerRefusal(const BootstrapValues& values);
// The value of key in the file text: the rest of the first line that starts with "key=".
std::optional<std::string> BootConfigValue(std::string_view text, std::string_view key);
// True when a value can be stored on one line of the file.
bool BootConfigValueAcceptable(std::string_view value);
// The text with the value of key replaced (the line added when absent); other lines unchanged.
std::string BootConfigWithValue(std::string_view text, std::string_view key,
                                std::string_view value);
// Rewrites one key of the boot configuration file atomically (temporary file in the same
// folder, fsync, rename). 0 or -1.
int UpdateBootConfigValue(std::string_view key, std::string_view value);
