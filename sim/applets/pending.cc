// Stand-ins not yet simulated: they refuse every call so tests notice.
#include "applets/applets.h"

namespace zsim {

int AppletFwuStarter(const Args& a) {
  return Unsupported("fwu_starter.sh", a);
}
int AppletXmlConfig(const Args& a) {
  return Unsupported("config_xmlconfig.sh", a);
}
int AppletPing(const Args& a) {
  return Unsupported("ping", a);
}
int AppletTraceroute(const Args& a) {
  return Unsupported("traceroute", a);
}
int AppletReboot(const Args& a) {
  return Unsupported("reboot", a);
}
int AppletZunsimd(const Args& a) {
  return Unsupported("zunsimd", a);
}
int AppletLauncher(const Args& a) {
  return Unsupported("zunlauncher", a);
}

}  // namespace zsim
