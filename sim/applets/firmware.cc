// The dual-bank image writer (fwu_starter.sh) and the configuration backup script.
#include <cstdlib>
#include <sstream>

#include "applets/applets.h"
#include "core/model.h"
#include "core/state.h"
#include "core/tar.h"

namespace zsim {

int AppletFwuStarter(const Args& a) {
  if (a.size() != 3 || (a[0] != "0" && a[0] != "1") || a[2] != "ZUN") {
    Err("fwu_starter: ERROR: usage: fwu_starter.sh BANK IMAGE ZUN\n");
    return 2;
  }
  const std::string& bank = a[0];
  auto image = ReadText(a[1]);
  auto fail = [](const std::string& reason) {
    Out("fwu_starter: ERROR: " + reason + "\n");
    return 1;
  };
  if (!image) return fail("cannot read image " + a[1]);
  Out("fwu_starter: bank " + bank + " image " + a[1] + " (" + std::to_string(image->size()) +
      " bytes)\n");
  auto members = ReadTar(*image);
  if (!members) return fail("image is not a firmware archive");
  if (ConsumeFailure("fwu")) return fail("write failed (injected)");
  if (members->count("sim.flash") && members->at("sim.flash").rfind("fail", 0) == 0) {
    return fail("flash write failed");
  }
  Out("fwu_starter: writing bank " + bank + "\n");
  std::string sha = DigestHex(*image, "SHA256");
  std::string version;
  if (members->count("version")) {
    std::istringstream in(members->at("version"));
    std::getline(in, version);
  }
  if (version.empty()) version = "img-" + sha.substr(0, 8);
  std::string group;
  if (members->count("fwgroup")) {
    std::istringstream in(members->at("fwgroup"));
    std::getline(in, group);
  }
  bool bootable = !(members->count("sim.boot") && members->at("sim.boot").rfind("fail", 0) == 0);
  {
    StateLock lock;
    std::string dir = StatePath("banks/" + bank);
    WriteText(dir + "/version", version + "\n");
    WriteText(dir + "/fwgroup", group + "\n");
    WriteText(dir + "/size", std::to_string(image->size()) + "\n");
    WriteText(dir + "/sha256", sha + "\n");
    WriteText(dir + "/bootable", bootable ? "1\n" : "0\n");
  }
  Out("Successfully updated image to bank " + bank + "\n");
  return 0;
}

int AppletXmlConfig(const Args& a) {
  if (a.size() != 2 || (a[0] != "-s" && a[0] != "-l")) return Unsupported("config_xmlconfig.sh", a);
  if (a[0] == "-s") {
    if (ConsumeFailure("xml.save")) {
      Out("config_xmlconfig: save FAIL (injected)\n");
      return 1;
    }
    KvMap flash = ReadFlash();
    std::string text = "<zunsim-config version=\"1\">\n" + FormatKv(flash) + "</zunsim-config>\n";
    if (!WriteText(a[1], text)) {
      Out("config_xmlconfig: save FAIL (cannot write " + a[1] + ")\n");
      return 1;
    }
    Out("config_xmlconfig: saved " + std::to_string(flash.size()) + " settings to " + a[1] + "\n");
    return 0;
  }
  auto text = ReadText(a[1]);
  if (ConsumeFailure("xml.load")) {
    Out("config_xmlconfig: load FAIL (injected)\n");
    return 1;
  }
  if (!text || text->rfind("<zunsim-config version=\"1\">\n", 0) != 0 ||
      text->find("</zunsim-config>") == std::string::npos) {
    Out("config_xmlconfig: load FAIL (not a configuration file)\n");
    return 1;
  }
  KvMap flash = ParseKv(text->substr(text->find('\n') + 1));
  flash.erase("</zunsim-config>");
  StateLock lock;
  if (!WriteFlash(flash)) {
    Out("config_xmlconfig: load FAIL (cannot write flash)\n");
    return 1;
  }
  Out("config_xmlconfig: loaded " + std::to_string(flash.size()) + " settings\n");
  return 0;
}

}  // namespace zsim
