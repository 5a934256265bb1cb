// The simulated Wi-Fi driver: answers the driver's private requests for wlan* interfaces from
// the simulation's state and passes every other request to the kernel. Linked into the sim build
// of the agent in place of the router's ioctl() seam.
// net/if.h must come before the kernel headers.
#include <net/if.h>

#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <linux/wireless.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>

#include "core/calls.h"
#include "core/mib.h"
#include "core/model.h"
#include "core/state.h"
#include "core/survey.h"
#include "platform/realtek/driver_abi.h"
#include "platform/realtek/driver_request.h"

namespace rtl {
namespace {

using namespace zsim;

int KernelRequest(unsigned long request, void* arg) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int rc = ioctl(fd, request, arg);
  int err = errno;
  close(fd);
  errno = err;
  return rc;
}

std::string Hex(unsigned long v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%lx", v);
  return buf;
}

int Answer(const std::string& ifname, unsigned long request, const std::string& data, int rc,
           int err) {
  LogCall("ioctl", ifname,
          "{\"req\":" + JsonString(Hex(request)) + ",\"data\":" + JsonString(data) + "}", rc);
  if (rc != 0) errno = err;
  return rc;
}

bool Enabled(const std::string& ifname) {
  return ReadText(WifiDir(ifname) + "/enabled").value_or("1").rfind("0", 0) != 0;
}

int GetMib(const std::string& ifname, iwreq* wrq) {
  auto* buf = static_cast<char*>(wrq->u.data.pointer);
  size_t cap = wrq->u.data.length;
  if (!buf || cap == 0) return Answer(ifname, kReqGetMib, "", -1, EINVAL);
  std::string name(buf, strnlen(buf, cap));
  std::vector<uint8_t> value;
  if (!ReadMib(ifname, name, &value) || value.size() > cap) {
    return Answer(ifname, kReqGetMib, name, -1, EINVAL);
  }
  std::memset(buf, 0, cap);
  std::memcpy(buf, value.data(), value.size());
  wrq->u.data.length = static_cast<uint16_t>(value.size());
  return Answer(ifname, kReqGetMib, name, 0, 0);
}

int SetMib(const std::string& ifname, iwreq* wrq) {
  auto* buf = static_cast<const char*>(wrq->u.data.pointer);
  std::string text = buf ? std::string(buf, strnlen(buf, wrq->u.data.length)) : std::string();
  size_t eq = text.find('=');
  int err = 0;
  if (eq == std::string::npos || eq == 0 || ConsumeFailure("drv.setmib", &err)) {
    return Answer(ifname, kReqSetMib, text, -1, EINVAL);
  }
  if (!WriteMib(ifname, text.substr(0, eq), text.substr(eq + 1), false)) {
    return Answer(ifname, kReqSetMib, text, -1, EINVAL);
  }
  return Answer(ifname, kReqSetMib, text, 0, 0);
}

int Disconnect(const std::string& ifname, iwreq* wrq) {
  auto* buf = static_cast<const char*>(wrq->u.data.pointer);
  std::string hex = buf ? std::string(buf, strnlen(buf, wrq->u.data.length)) : std::string();
  std::string mac = PlainMac(hex);
  if (ConsumeFailure("drv.disconnect") || mac.empty()) {
    return Answer(ifname, kReqDisconnectSta, hex, -1, EINVAL);
  }
  bool removed = false;
  {
    StateLock lock;
    for (const char* wlan : kWlanIfs) {
      std::string path = WifiDir(wlan) + "/stations/" + mac;
      if (Exists(path)) {
        RemoveTree(path);
        removed = true;
      }
    }
    if (removed) RenderWlanFiles();
  }
  return Answer(ifname, kReqDisconnectSta, hex, removed ? 0 : -1, EINVAL);
}

int DenyList(const std::string& ifname, unsigned long request, iwreq* wrq) {
  auto* bytes = static_cast<const uint8_t*>(wrq->u.data.pointer);
  if (!bytes || wrq->u.data.length < 6) return Answer(ifname, request, "", -1, EINVAL);
  char mac[18];
  std::snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x", bytes[0], bytes[1], bytes[2],
                bytes[3], bytes[4], bytes[5]);
  StateLock lock;
  std::string path = StatePath("wifi/deny");
  std::istringstream in(ReadText(path).value_or(""));
  std::string line, kept;
  bool present = false;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    if (line == mac) {
      present = true;
      if (request == kReqUnblockSta) continue;
    }
    kept += line + "\n";
  }
  if (request == kReqBlockSta && !present) kept += std::string(mac) + "\n";
  WriteText(path, kept);
  return Answer(ifname, request, mac, 0, 0);
}

int SurveyRequest(const std::string& ifname, iwreq* wrq) {
  auto* buf = static_cast<uint8_t*>(wrq->u.data.pointer);
  if (!buf || wrq->u.data.length < 1) return Answer(ifname, kReqSurveyRequest, "", -1, EINVAL);
  if (!Enabled("wlan0")) return Answer(ifname, kReqSurveyRequest, "", -1, ENETDOWN);
  int err = EIO;
  if (ConsumeFailure("drv.scan.request", &err)) {
    return Answer(ifname, kReqSurveyRequest, "", -1, err ? err : EIO);
  }
  buf[0] = SurveyRequestAnswer();
  return Answer(ifname, kReqSurveyRequest, std::to_string(buf[0]), 0, 0);
}

int SurveyResult(const std::string& ifname, iwreq* wrq) {
  auto* buf = static_cast<uint8_t*>(wrq->u.data.pointer);
  size_t cap = wrq->u.data.length;
  if (!buf || cap < 1) return Answer(ifname, kReqSurveyResult, "", -1, EINVAL);
  int err = EIO;
  if (ConsumeFailure("drv.scan.result", &err)) {
    return Answer(ifname, kReqSurveyResult, "", -1, err ? err : EIO);
  }
  size_t count = FillSurveyResult(buf, cap);
  return Answer(ifname, kReqSurveyResult, std::to_string(count), 0, 0);
}

int AutoChannel(const std::string& ifname) {
  int err = EIO;
  if (ConsumeFailure("drv.acs", &err)) return Answer(ifname, kReqAutoChannel, "", -1, err);
  int channel = SelectAutoChannel();
  SetRadioChannel(channel);
  return Answer(ifname, kReqAutoChannel, std::to_string(channel), 0, 0);
}

bool InList(const std::string& list, const std::string& name) {
  std::stringstream in(list);
  std::string item;
  while (std::getline(in, item, ',')) {
    if (item == name) return true;
  }
  return false;
}

}  // namespace

int DriverRequest(unsigned long request, void* arg) {
  if (!arg) {
    errno = EFAULT;
    return -1;
  }
  char name[IFNAMSIZ + 1] = {};
  std::memcpy(name, arg, IFNAMSIZ);
  std::string ifname = name;
  bool wlan = ifname.rfind("wlan", 0) == 0;
  auto* wrq = static_cast<iwreq*>(arg);
  if (wlan) {
    switch (request) {
      case kReqGetMib:
        return GetMib(ifname, wrq);
      case kReqSetMib:
        return SetMib(ifname, wrq);
      case kReqCheckIf:
        std::snprintf(wrq->u.name, sizeof wrq->u.name, "IEEE 802.11bgn");
        return Answer(ifname, request, "", 0, 0);
      default:
        break;
    }
    if (ifname == "wlan0") {
      switch (request) {
        case kReqDisconnectSta:
          return Disconnect(ifname, wrq);
        case kReqBlockSta:
        case kReqUnblockSta:
          return DenyList(ifname, request, wrq);
        case kReqSurveyRequest:
          return SurveyRequest(ifname, wrq);
        case kReqSurveyResult:
          return SurveyResult(ifname, wrq);
        case kReqAutoChannel:
          return AutoChannel(ifname);
        default:
          break;
      }
    }
  }
  if (request == SIOCGIFHWADDR && InList(Knob("net.zero_mac_ifs"), ifname)) {
    auto* ifr = static_cast<ifreq*>(arg);
    std::memset(ifr->ifr_hwaddr.sa_data, 0, sizeof ifr->ifr_hwaddr.sa_data);
    ifr->ifr_hwaddr.sa_family = 1;
    return 0;
  }
  int rc = KernelRequest(request, arg);
  if (rc == 0 && request == SIOCETHTOOL && Knob("port." + ifname + ".duplex") == "half") {
    auto* ifr = static_cast<ifreq*>(arg);
    auto* cmd = reinterpret_cast<ethtool_cmd*>(ifr->ifr_data);
    if (cmd && cmd->cmd == ETHTOOL_GSET) cmd->duplex = DUPLEX_HALF;
  }
  return rc;
}

}  // namespace rtl
