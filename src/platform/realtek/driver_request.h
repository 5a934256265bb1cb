// The one function through which the backend issues driver and interface requests.
//
// arg is a struct ifreq or struct iwreq whose interface name is filled in. Each call opens and
// closes its own datagram socket. Returns the request's result: 0, or -1 with errno set. The
// router build issues ioctl(); the simulated router links its own implementation, which answers
// the Wi-Fi driver's private requests from its state and passes the rest to the kernel.
#pragma once

namespace rtl {

int DriverRequest(unsigned long request, void* arg);

}  // namespace rtl
