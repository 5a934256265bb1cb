// Bridge and NAT filter stand-ins for the MAC drop rules of paused clients, and ifconfig.
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>

#include "applets/applets.h"
#include "core/model.h"
#include "core/simroot.h"
#include "core/state.h"

namespace zsim {
namespace {

constexpr const char* kChain = "macfilter_r";

// Only the colon form the real tools accept: six groups of two hex digits.
bool ColonMacValid(const std::string& mac) {
  if (mac.size() != 17) return false;
  for (size_t i = 0; i < mac.size(); ++i) {
    if (i % 3 == 2 ? mac[i] != ':' : !std::isxdigit(static_cast<unsigned char>(mac[i]))) {
      return false;
    }
  }
  return true;
}

std::string Lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

struct Chain {
  std::string policy = "ACCEPT";
  std::vector<std::string> rules;  // top first
};

Chain LoadChain(const std::string& path) {
  Chain chain;
  auto text = ReadText(path);
  if (!text) return chain;
  std::istringstream in(*text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("policy ", 0) == 0) {
      chain.policy = line.substr(7);
    } else if (!line.empty()) {
      chain.rules.push_back(line);
    }
  }
  return chain;
}

bool SaveChain(const std::string& path, const Chain& chain) {
  std::string text = "policy " + chain.policy + "\n";
  for (const auto& r : chain.rules) text += r + "\n";
  return WriteText(path, text);
}

// Insert, delete or list one MAC drop rule; rule is the stored text of the rule.
int EditChain(const std::string& tool, const std::string& path, char op, const std::string& rule) {
  StateLock lock;
  Chain chain = LoadChain(path);
  if (op == 'I') {
    chain.rules.insert(chain.rules.begin(), rule);
  } else {
    auto it = std::find(chain.rules.begin(), chain.rules.end(), rule);
    if (it == chain.rules.end()) {
      Err(tool + ": Bad rule (does a matching rule exist in that chain?).\n");
      return 1;
    }
    chain.rules.erase(it);
  }
  return SaveChain(path, chain) ? 0 : 1;
}

int ListChain(const std::string& path) {
  Chain chain = LoadChain(path);
  std::string out = "Bridge chain: " + std::string(kChain) +
                    ", entries: " + std::to_string(chain.rules.size()) +
                    ", policy: " + chain.policy + "\n";
  for (const auto& r : chain.rules) out += r + "\n";
  Out(out);
  return 0;
}

int SetIfFlags(const std::string& ifname, bool up) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 1;
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, ifname.c_str(), IFNAMSIZ - 1);
  int rc = 1;
  if (ioctl(fd, SIOCGIFFLAGS, &ifr) == 0) {
    if (up) {
      ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
    } else {
      ifr.ifr_flags = static_cast<short>(ifr.ifr_flags & ~IFF_UP);
    }
    rc = ioctl(fd, SIOCSIFFLAGS, &ifr) == 0 ? 0 : 1;
  }
  close(fd);
  return rc;
}

}  // namespace

int AppletEbtables(const Args& a) {
  std::string path = StatePath(std::string("ebtables/") + kChain);
  if (a.size() == 3 && a[0] == "-P" && a[1] == kChain &&
      (a[2] == "ACCEPT" || a[2] == "DROP" || a[2] == "RETURN")) {
    if (ConsumeFailure("ebtables")) return 1;
    StateLock lock;
    Chain chain = LoadChain(path);
    chain.policy = a[2];
    return SaveChain(path, chain) ? 0 : 1;
  }
  if (a.size() == 6 && (a[0] == "-I" || a[0] == "-D") && a[1] == kChain && a[2] == "-s" &&
      a[4] == "-j" && a[5] == "DROP") {
    if (!ColonMacValid(a[3])) {
      Err("ebtables: Problem with the specified source mac '" + a[3] + "'\n");
      return 1;
    }
    if (ConsumeFailure("ebtables")) return 1;
    return EditChain("ebtables", path, a[0][1], "-s " + Lower(a[3]) + " -j DROP");
  }
  if (a.size() == 2 && a[0] == "-L" && a[1] == kChain) return ListChain(path);
  return Unsupported("ebtables", a);
}

int AppletIptables(const Args& a) {
  std::string path = StatePath(std::string("iptables/nat.") + kChain);
  if (a.size() == 10 && a[0] == "-t" && a[1] == "nat" && (a[2] == "-I" || a[2] == "-D") &&
      a[3] == kChain && a[4] == "-m" && a[5] == "mac" && a[6] == "--mac-source" && a[8] == "-j" &&
      a[9] == "DROP") {
    if (!ColonMacValid(a[7])) {
      Err("iptables v1.8.9 (legacy): Bad mac address \"" + a[7] + "\"\n");
      return 2;
    }
    if (ConsumeFailure("iptables")) return 1;
    return EditChain("iptables", path, a[2][1], "-m mac --mac-source " + Lower(a[7]) + " -j DROP");
  }
  if (a.size() == 4 && a[0] == "-t" && a[1] == "nat" && a[2] == "-L" && a[3] == kChain) {
    return ListChain(path);
  }
  return Unsupported("iptables", a);
}

int AppletIfconfig(const Args& a) {
  if (a.size() == 2 && (a[1] == "up" || a[1] == "down")) {
    if (!InRouterNetns()) {
      Err("ifconfig: refusing to change interfaces outside the router namespace\n");
      return kOutsideLabExit;
    }
    if (if_nametoindex(a[0].c_str()) == 0) {
      Err("ifconfig: " + a[0] + ": error fetching interface information: Device not found\n");
      return 1;
    }
    int rc = SetIfFlags(a[0], a[1] == "up");
    if (rc == 0 && IsWlanIf(a[0])) {
      StateLock lock;
      WriteText(WifiDir(a[0]) + "/enabled", a[1] == "up" ? "1\n" : "0\n");
    }
    return rc;
  }
  return Unsupported("ifconfig", a);
}

}  // namespace zsim
