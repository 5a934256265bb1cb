// The router build's driver seam: each request on its own datagram socket.
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/realtek/driver_request.h"

namespace rtl {

int DriverRequest(unsigned long request, void* arg) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int rc = ioctl(fd, request, arg);
  int err = errno;
  close(fd);
  errno = err;
  return rc;
}

}  // namespace rtl
