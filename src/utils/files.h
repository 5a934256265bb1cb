// Small state files: whole-line appends, atomic rewrites, the 50-line trim rule.
//
// Paths given here are already mapped under the root (callers pass RootPath(...)).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zc {

// Line count above which a log file is emptied before the next append.
inline constexpr int kLogFileMaxLines = 50;

// Appends text with O_APPEND in one write (creating the file 0644). 0 or -1.
int AppendToFile(const std::string& path, std::string_view text);
// Appends text plus a newline.
int AppendLine(const std::string& path, std::string_view line);
// Replaces the file's content through a temporary file and rename. 0 or -1.
int WriteFileAtomic(const std::string& path, std::string_view content);
// Resets the calling process's out-of-memory adjustment to 0 (long-lived worker threads call it
// when they start). Written in place: /proc files take no temporary file and rename. 0 or -1.
int ResetOomAdj();
// Creates or truncates the file to empty. 0 or -1.
int TruncateFile(const std::string& path);
// Empties the file when it holds more than maxLines lines (a missing file is left alone).
void TrimLogFile(const std::string& path, int maxLines = kLogFileMaxLines);
// Number of lines (a last line without newline counts); -1 when the file cannot be read.
long CountLines(const std::string& path);
std::optional<std::string> ReadFile(const std::string& path, size_t maxBytes = 1 << 20);
// First line without its newline, cut to maxChars characters.
std::optional<std::string> ReadFirstLine(const std::string& path, size_t maxChars = 4096);
bool FileExists(const std::string& path);
// Removes a file; a missing file is not an error. 0 or -1.
int RemoveFile(const std::string& path);
// Creates the parent directories of a path (0755).
int MakeParentDirs(const std::string& path);

}  // namespace zc
