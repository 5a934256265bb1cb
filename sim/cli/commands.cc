// zunsim commands that inspect and edit the models.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/cli.h"
#include "core/calls.h"
#include "core/model.h"
#include "core/simroot.h"
#include "core/state.h"

namespace zsim {
namespace {

const char kUsage[] =
    "usage: zunsim COMMAND ...\n"
    "  init [--force] [--agent PATH]     fresh router tree under $ZUNCORE_ROOT\n"
    "  flash get|set|del|all ...          edit the flash settings\n"
    "  nv get|set|del|all ...             edit the boot environment\n"
    "  knob NAME [VALUE]                  read or set a simulation knob\n"
    "  fail POINT [--times N] [--errno E] | fail --clear\n"
    "  show flash|nv|led|rules|wifi|banks|rtk|calls [--since SEQ]\n"
    "  wifi IF ... | radio --channel N | scan --busy N --polls N | acs --result N\n"
    "  sta add|set|del IF MAC ... | ap add|del|clear ... | client add|del NAME ...\n"
    "  neigh IP --state S | traffic ... | pon K=V... | sys K=V... | port P up|down\n"
    "  mkimage OUT --version V ... | syslog TEXT | lab up|down|status|exec ... | launcher\n"
    "  netns-exec [--] CMD ...            run CMD in a private network namespace with the\n"
    "                                     router's interfaces (eth0, br0, nas0_0, wlan0...)\n"
    "  help                               this text (needs no router root)\n"
    "Every command except init, netns-exec and help needs ZUNCORE_ROOT (a root made by init).\n"
    "The cloud simulator of a lab or demo answers its control calls on the Unix socket\n"
    "DIR/control.sock from any shell: curl --unix-socket DIR/control.sock "
    "http://cloudsim/v1/records\n";

int Usage() {
  Err(kUsage);
  return 2;
}

int Help() {
  Out(kUsage);
  return 0;
}

// Edits a key=value model directly (flash.db or nv.env).
int EditKv(const std::string& file, const std::string& what, const Args& a) {
  std::string path = StatePath(file);
  if (a.size() == 2 && a[0] == "get") {
    KvMap kv = ReadKv(path);
    auto it = kv.find(a[1]);
    if (it == kv.end()) return 1;
    Out(it->second + "\n");
    return 0;
  }
  if (a.size() == 3 && a[0] == "set") {
    if (!ValidValue(a[2])) return 1;
    StateLock lock;
    KvMap kv = ReadKv(path);
    kv[a[1]] = a[2];
    return WriteKv(path, kv) ? 0 : 1;
  }
  if (a.size() == 2 && a[0] == "del") {
    StateLock lock;
    KvMap kv = ReadKv(path);
    kv.erase(a[1]);
    return WriteKv(path, kv) ? 0 : 1;
  }
  if (a.size() == 1 && a[0] == "all") {
    Out(FormatKv(ReadKv(path)));
    return 0;
  }
  Err("usage: zunsim " + what + " get NAME | set NAME VALUE | del NAME | all\n");
  return 2;
}

std::string DumpFile(const std::string& title, const std::string& path) {
  return "== " + title + "\n" + ReadText(path).value_or("(none)\n");
}

}  // namespace

int CmdFlash(const Args& a) {
  return EditKv("flash.db", "flash", a);
}
int CmdNv(const Args& a) {
  return EditKv("nv.env", "nv", a);
}

int CmdKnob(const Args& a) {
  if (a.size() == 1) {
    Out(Knob(a[0]) + "\n");
    return 0;
  }
  if (a.size() == 2 && ValidValue(a[1])) return SetKnob(a[0], a[1]) ? 0 : 1;
  Err("usage: zunsim knob NAME [VALUE]\n");
  return 2;
}

int CmdFail(const Args& a) {
  if (a.size() == 1 && a[0] == "--clear") {
    for (const char* ifname : kWlanIfs) {
      RemoveTree(StatePath(std::string("missing.") + ifname));
    }
    bool ok = ClearFailures();
    RenderAll();
    return ok ? 0 : 1;
  }
  if (a.empty() || a[0].empty() || a[0][0] == '-') {
    Err("usage: zunsim fail POINT [--times N] [--errno E] | fail --clear\n");
    return 2;
  }
  int times = 1, err = EIO;
  for (size_t i = 1; i + 1 < a.size(); i += 2) {
    if (a[i] == "--times") {
      times = std::atoi(a[i + 1].c_str());
    } else if (a[i] == "--errno") {
      err = std::atoi(a[i + 1].c_str());
    } else {
      return CmdFail({});
    }
  }
  const std::string& point = a[0];
  // proc.IF.missing is a state, not a countable failure: the interface's /proc folder goes away.
  if (point.rfind("proc.", 0) == 0 && point.ends_with(".missing")) {
    std::string ifname = point.substr(5, point.size() - 5 - 8);
    if (!IsWlanIf(ifname)) return 1;
    WriteText(StatePath("missing." + ifname), "1\n");
    RenderAll();
    return 0;
  }
  return AddFailure(point, times, err) ? 0 : 1;
}

int CmdShow(const Args& a) {
  if (a.empty()) return Usage();
  const std::string& what = a[0];
  if (what == "calls") {
    long since = 0;
    if (a.size() == 3 && a[1] == "--since") since = std::atol(a[2].c_str());
    std::string out;
    for (const auto& c : ReadCalls(since)) {
      out += std::to_string(c.seq) + " " + c.kind + " " + c.name + " " + c.json +
             " rc=" + std::to_string(c.rc) + "\n";
    }
    Out(out);
    return 0;
  }
  if (what == "flash") return CmdFlash({"all"});
  if (what == "nv") return CmdNv({"all"});
  if (what == "led") {
    Out(ReadText(StatePath("led")).value_or(""));
    return 0;
  }
  if (what == "rules") {
    Out(DumpFile("ebtables macfilter_r", StatePath("ebtables/macfilter_r")) +
        DumpFile("iptables nat macfilter_r", StatePath("iptables/nat.macfilter_r")) +
        DumpFile("rtk macfilter", StatePath("rtk/macfilter")));
    return 0;
  }
  if (what == "wifi") {
    std::string out = DumpFile("radio", StatePath("wifi/radio")) +
                      DumpFile("deny", StatePath("wifi/deny")) +
                      DumpFile("neighbour APs", StatePath("wifi/aps"));
    for (const char* ifname : kWlanIfs) {
      std::string dir = WifiDir(ifname);
      out += DumpFile(std::string(ifname) + " enabled", dir + "/enabled") +
             DumpFile(std::string(ifname) + " mib", dir + "/mib") +
             DumpFile(std::string(ifname) + " stats", dir + "/stats");
      for (const auto& mac : ListDir(dir + "/stations")) {
        out += DumpFile(std::string(ifname) + " station " + mac, dir + "/stations/" + mac);
      }
    }
    Out(out);
    return 0;
  }
  if (what == "banks") {
    std::string out = "active " + ReadKv(StatePath("nv.env"))["sw_active"] + "\n";
    for (const char* b : {"0", "1"}) {
      for (const char* f : {"version", "fwgroup", "size", "sha256", "bootable"}) {
        out += std::string("bank ") + b + " " + f + " " +
               ReadText(StatePath(std::string("banks/") + b + "/" + f)).value_or("\n");
      }
    }
    Out(out);
    return 0;
  }
  if (what == "rtk") {
    std::string out;
    for (const char* f :
         {"pon", "phy", "macfilter", "ports", "wan", "hostpolice", "hosttraffic", "arp"}) {
      out += DumpFile(std::string("rtk ") + f, StatePath(std::string("rtk/") + f));
    }
    Out(out);
    return 0;
  }
  return Usage();
}

int CliMain(const Args& args) {
  if (args.empty()) return Usage();
  const std::string& cmd = args[0];
  Args rest(args.begin() + 1, args.end());
  if (cmd == "help" || cmd == "--help" || cmd == "-h") return Help();
  if (cmd == "init") return CmdInit(rest);
  if (cmd == "__netns-inner") return CmdNetnsInner(rest);
  if (cmd == "__poke") return CmdPoke(rest);
  if (cmd == "__world") {
    EnforceGuard("zunsim world");
    return CmdWorld(rest);
  }
  if (cmd == "netns-exec") return CmdNetnsExec(rest);
  EnforceGuard("zunsim");
  if (cmd == "flash") return CmdFlash(rest);
  if (cmd == "nv") return CmdNv(rest);
  if (cmd == "knob") return CmdKnob(rest);
  if (cmd == "fail") return CmdFail(rest);
  if (cmd == "show") return CmdShow(rest);
  static const std::pair<const char*, int (*)(const Args&)> kCommands[] = {
      {"wifi", CmdWifi},       {"radio", CmdRadio}, {"scan", CmdScan},
      {"acs", CmdAcs},         {"sta", CmdSta},     {"ap", CmdAp},
      {"traffic", CmdTraffic}, {"pon", CmdPon},     {"sys", CmdSys},
      {"client", CmdClient},   {"neigh", CmdNeigh}, {"port", CmdPort},
      {"mkimage", CmdMkimage}, {"wan", CmdWan},     {"host", CmdHost},
      {"syslog", CmdSyslog},   {"lab", CmdLab},     {"launcher", CmdLauncher}};
  for (const auto& [name, fn] : kCommands) {
    if (cmd == name) return fn(rest);
  }
  return Usage();
}

}  // namespace zsim
