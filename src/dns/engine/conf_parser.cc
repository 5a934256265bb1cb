#include "dns/engine/conf_parser.h"

#include <cctype>
#include <charconv>
#include <cstdint>

#include "dns/engine/dns_conf.h"

namespace zc::dns {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

}  // namespace

bool LooksLikeDirectiveName(std::string_view key) {
  if (key.empty() || key.size() > kMaxConfKey) return false;
  for (char c : key) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
  }
  return true;
}

LineKind SplitConfLine(std::string_view line, ConfLine* out, std::string* error) {
  if (line.size() > kMaxConfLine) {
    *error = "line longer than 1023 characters";
    return LineKind::kError;
  }
  size_t i = 0;
  while (i < line.size() && IsBlank(line[i])) i++;
  if (i == line.size() || line[i] == '#') return LineKind::kSkip;
  size_t key_start = i;
  while (i < line.size() && !IsBlank(line[i])) i++;
  out->key.assign(line.substr(key_start, i - key_start));
  out->args.clear();
  if (out->key.size() > kMaxConfKey) {
    *error = "key longer than 63 characters";
    return LineKind::kError;
  }
  std::string current;
  bool in_word = false;
  bool quoted = false;
  for (; i < line.size(); i++) {
    char c = line[i];
    if (c == '\\') {
      if (i + 1 >= line.size()) {
        *error = "backslash at the end of the line";
        return LineKind::kError;
      }
      current.push_back(line[++i]);
      in_word = true;
    } else if (c == '"') {
      quoted = !quoted;
      in_word = true;
    } else if (IsBlank(c) && !quoted) {
      if (in_word) out->args.push_back(std::move(current));
      current.clear();
      in_word = false;
    } else {
      current.push_back(c);
      in_word = true;
    }
  }
  if (quoted) {
    *error = "unterminated quote";
    return LineKind::kError;
  }
  if (in_word) out->args.push_back(std::move(current));
  if (out->args.empty()) {
    *error = LooksLikeDirectiveName(out->key) ? "no value for " + out->key
                                              : std::string("not an option line");
    return LineKind::kError;
  }
  return LineKind::kDirective;
}

bool ParseOptions(const std::vector<std::string>& args, std::span<const OptionSpec> specs,
                  ParsedOptions* out, std::string* error) {
  out->positional.clear();
  out->options.clear();
  for (size_t i = 0; i < args.size(); i++) {
    const std::string& a = args[i];
    if (a.size() < 2 || a[0] != '-' || (a.size() == 2 && a[1] == '-')) {
      out->positional.push_back(a);
      continue;
    }
    std::string_view name = std::string_view(a).substr(a[1] == '-' ? 2 : 1);
    std::string value;
    bool has_inline = false;
    size_t eq = name.find('=');
    if (eq != std::string_view::npos) {
      value.assign(name.substr(eq + 1));
      name = name.substr(0, eq);
      has_inline = true;
    }
    const OptionSpec* match = nullptr;
    for (const OptionSpec& s : specs) {
      if (s.name == name) match = &s;
    }
    if (!match) {
      *error = "unknown option -" + std::string(name);
      return false;
    }
    if (match->has_value && !has_inline) {
      if (i + 1 >= args.size()) {
        *error = "option -" + std::string(name) + " needs a value";
        return false;
      }
      value = args[++i];
    } else if (!match->has_value && has_inline) {
      *error = "option -" + std::string(name) + " takes no value";
      return false;
    }
    out->options.emplace_back(std::string(name), std::move(value));
  }
  return true;
}

bool ParseConfInt(std::string_view text, int64_t min, int64_t max, int64_t* value) {
  int64_t v = 0;
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || p != text.data() + text.size() || v < min || v > max) return false;
  *value = v;
  return true;
}

bool ParseConfSize(std::string_view text, int64_t min, int64_t max, int64_t* value) {
  int64_t mult = 1;
  if (!text.empty()) {
    switch (std::tolower(static_cast<unsigned char>(text.back()))) {
      case 'k':
        mult = 1024;
        break;
      case 'm':
        mult = 1024 * 1024;
        break;
      case 'g':
        mult = 1024 * 1024 * 1024;
        break;
      default:
        break;
    }
    if (mult != 1) text.remove_suffix(1);
  }
  int64_t v = 0;
  if (!ParseConfInt(text, 0, INT64_MAX / (1024 * 1024 * 1024), &v)) return false;
  v *= mult;
  if (v < min || v > max) return false;
  *value = v;
  return true;
}

}  // namespace zc::dns
