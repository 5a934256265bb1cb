// System log socket: slots JournalInit and GetJournalRecord.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/realtek/journal_parse.h"
#include "platform/realtek/rtl8192_single_band.h"
#include "utils/files.h"
#include "utils/log.h"
#include "utils/monitor.h"
#include "utils/paths.h"
#include "utils/timescale.h"

namespace {

constexpr const char* kSyslogSocket = "/dev/log";
constexpr size_t kDatagramMax = 511;

std::atomic<int> gJournalFd{-1};

}  // namespace

int Rtl8192JournalInit() {
  std::string path = zc::RootPath(kSyslogSocket);
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) {
    LogOut(LL_ERR, "%s: Unable to bind the unix socket to %s", __func__, path.c_str());
    return -1;
  }
  zc::RemoveFile(path);
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    LogOut(LL_ERR, "%s: unable to create the udp socket", __func__);
    return -1;
  }
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size());
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    LogOut(LL_ERR, "%s: Unable to bind the unix socket to %s", __func__, path.c_str());
    close(fd);
    return -1;
  }
  chmod(path.c_str(), 0666);
  int old = gJournalFd.exchange(fd);
  if (old >= 0) close(old);
  return 0;
}

int Rtl8192GetJournalRecord(JournalRecord* record) {
  if (!record) return -1;
  for (;;) {
    int fd = gJournalFd.load();
    if (fd < 0) return -1;
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(zc::Scaled(kMonitorSlice).count()));
    if (ready == 0) return kJournalNoRecord;
    if (ready < 0 && errno == EINTR) continue;
    char buf[kDatagramMax + 1];
    ssize_t n = recv(fd, buf, kDatagramMax, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n < 0) {
      if (errno == EINTR) continue;
      LogOut(LL_ERR, "JournalThread: Unable to read from the socket file :%s",
             std::strerror(errno));
      return -1;
    }
    if (rtl::ParseSyslogDatagram(std::string_view(buf, static_cast<size_t>(n)), record)) return 0;
  }
}
