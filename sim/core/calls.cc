#include "core/calls.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "core/simroot.h"
#include "core/state.h"

namespace zsim {

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04x", c);
          out += esc;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

std::string JsonArray(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out += ',';
    out += JsonString(items[i]);
  }
  out += ']';
  return out;
}

void LogCall(const std::string& kind, const std::string& name, const std::string& json, int rc) {
  std::string logDir = P("/sim/log");
  MakeDirs(logDir);
  int fd = open((logDir + "/calls.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
  }
  std::string seqPath = logDir + "/calls.seq";
  long seq = 1;
  if (auto text = ReadText(seqPath)) seq = std::strtol(text->c_str(), nullptr, 10) + 1;
  // Not through rename: the seq file is only ever touched under the calls.log lock.
  int sfd = open(seqPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (sfd >= 0) {
    std::string s = std::to_string(seq) + "\n";
    (void)!write(sfd, s.data(), s.size());
    close(sfd);
  }
  std::string line = std::to_string(seq) + " " + std::to_string(NowMs()) + " " +
                     std::to_string(getpid()) + " " + kind + " " + name + " " + json +
                     " rc=" + std::to_string(rc) + "\n";
  (void)!write(fd, line.data(), line.size());
  flock(fd, LOCK_UN);
  close(fd);
}

bool ParseCallLine(const std::string& line, CallRecord* out) {
  std::istringstream in(line);
  CallRecord r;
  if (!(in >> r.seq >> r.ms >> r.pid >> r.kind >> r.name)) return false;
  size_t rcPos = line.rfind(" rc=");
  if (rcPos == std::string::npos) return false;
  std::streamoff off = in.tellg();
  if (off < 0) return false;
  size_t start = static_cast<size_t>(off);
  while (start < line.size() && line[start] == ' ') ++start;
  if (rcPos < start) return false;
  r.json = line.substr(start, rcPos - start);
  r.rc = std::atoi(line.c_str() + rcPos + 4);
  *out = std::move(r);
  return true;
}

std::vector<CallRecord> ReadCalls(long sinceSeq) {
  std::vector<CallRecord> calls;
  auto text = ReadText(P("/sim/log/calls.log"));
  if (!text) return calls;
  std::istringstream in(*text);
  std::string line;
  while (std::getline(in, line)) {
    CallRecord r;
    if (ParseCallLine(line, &r) && r.seq > sinceSeq) calls.push_back(std::move(r));
  }
  return calls;
}

}  // namespace zsim
