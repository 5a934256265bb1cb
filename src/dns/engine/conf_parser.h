// The option-file syntax: lines split into a key and arguments (double quotes group words, a
// backslash takes the next character literally), and "-name value" options after the
// positional arguments. Pure functions, no global state.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zc::dns {

struct ConfLine {
  std::string key;
  std::vector<std::string> args;
};

enum class LineKind { kSkip, kDirective, kError };

// Splits one line (without its end). Empty lines and "#" comments give kSkip; a key without
// anything after it, a line over 1023 bytes, a key over 63 characters or an open quote give
// kError with *error.
LineKind SplitConfLine(std::string_view line, ConfLine* out, std::string* error);

// Whether a line's first word could be an option's name (letters, digits, '-', '_'): only such
// a word is repeated in messages, never a line of some other file.
bool LooksLikeDirectiveName(std::string_view key);

struct OptionSpec {
  std::string_view name;
  bool has_value;
};

struct ParsedOptions {
  std::vector<std::string> positional;
  std::vector<std::pair<std::string, std::string>> options;  // in order, repeats kept
};

// Separates positional arguments from options: "-name", "--name", "-name value", "-name=value".
// An unknown option or a missing value fails with *error.
bool ParseOptions(const std::vector<std::string>& args, std::span<const OptionSpec> specs,
                  ParsedOptions* out, std::string* error);

// Integer and size parsers of the directive table.
bool ParseConfInt(std::string_view text, int64_t min, int64_t max, int64_t* value);
// A size with an optional k/m/g suffix (case ignored).
bool ParseConfSize(std::string_view text, int64_t min, int64_t max, int64_t* value);

}  // namespace zc::dns
