#include "utils/procdiag.h"

#include <dirent.h>
#include <sys/resource.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "utils/log.h"

namespace {
constexpr size_t kLineInitialCapacity = 4096;
}

int DumpProcFdMax() {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return -1;
  return static_cast<int>(rl.rlim_cur);
}

int DumpProcFdCount(int pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/fd/";
  DIR* dir = opendir(path.c_str());
  if (!dir) return -1;
  int count = 0;
  while (readdir(dir)) ++count;
  closedir(dir);
  return count;
}

void DumpPocMemStatus(int pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/status";
  FILE* f = fopen(path.c_str(), "re");
  if (!f) return;
  int rss = 0, hwm = 0, size = 0, peak = 0;
  char word[1024];
  while (fscanf(f, "%1023s", word) == 1) {
    int* target = nullptr;
    if (!strcmp(word, "VmRSS:"))
      target = &rss;
    else if (!strcmp(word, "VmHWM:"))
      target = &hwm;
    else if (!strcmp(word, "VmSize:"))
      target = &size;
    else if (!strcmp(word, "VmPeak:"))
      target = &peak;
    if (target && fscanf(f, " %d", target) != 1) *target = 0;
  }
  fclose(f);
  LogOut(LL_INFO,
         "zuncore PID:%d mem-info currResidentMem:%dkB peakResidentMem:%dkB currVirtMem:%dkB "
         "peakVirtMem:%dkB",
         pid, rss, hwm, size, peak);
}

ssize_t file_read_line_delim(char** buffer, size_t* capacity, int delimiter, FILE* stream) {
  if (!buffer || !capacity || !stream) return -1;
  if (!*buffer || *capacity == 0) {
    char* fresh = static_cast<char*>(realloc(*buffer, kLineInitialCapacity));
    if (!fresh) return -1;
    *buffer = fresh;
    *capacity = kLineInitialCapacity;
  }
  size_t count = 0;
  for (;;) {
    if (*capacity - count < 3) {
      size_t grown = *capacity * 2;
      char* fresh = static_cast<char*>(realloc(*buffer, grown));
      if (!fresh) return -1;
      *buffer = fresh;
      *capacity = grown;
    }
    int c = fgetc(stream);
    if (c == EOF) {
      if (ferror(stream)) return -1;
      (*buffer)[count] = '\0';
      return count ? static_cast<ssize_t>(count) : -1;
    }
    (*buffer)[count++] = static_cast<char>(c);
    if (c == delimiter) {
      (*buffer)[count] = '\0';
      return static_cast<ssize_t>(count);
    }
  }
}
