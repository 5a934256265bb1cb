// Wi-Fi and LAN apply, configuration scripts, station re-initialisation and management-server
// settings, against a recording platform table and stand-in router tools on PATH.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "config/config.h"
#include "config/config_internal.h"
#include "platform/device_ops.h"
#include "proto/pb.h"
#include "support/temp_root.h"
#include "utils/kvp.h"
#include "utils/paths.h"
#include "utils/timescale.h"

namespace {

std::mutex gCallsMutex;
std::vector<std::string> gCalls;
int gSsidFails = 0;

void Call(const std::string& text) {
  std::lock_guard lock(gCallsMutex);
  gCalls.push_back(text);
}
std::vector<std::string> Calls() {
  std::lock_guard lock(gCallsMutex);
  return gCalls;
}

int FakeGetWlanInfo(int index, WlanInfoEntry* e) {
  const char* names[] = {"wlan0", "wlan0-vap1", "wlan1", "wlan1-vap1"};
  CopyField(e->ifname, names[index]);
  CopyField(e->ssid, index == 0 ? "Home" : "Other");
  CopyField(e->passphrase, "password0");
  e->active = 1;
  return 0;
}
int FakeDown(const char* i) {
  return Call(std::string("down ") + i), 0;
}
int FakeUp(const char* i) {
  return Call(std::string("up ") + i), 0;
}
int FakeSsid(const char* i, const char* s) {
  Call(std::string("ssid ") + i + " " + s);
  return gSsidFails-- > 0 ? -1 : 0;
}
int FakePass(const char* i, const char* p) {
  return Call(std::string("pass ") + i + " " + p), 0;
}
int FakeLan(LanConfigRecord* r) {
  return Call(std::string("lan ") + r->lanIpAddr + " " + r->dns1 + " " + r->dns3), 0;
}
// Per station: when it was last blocked, and how long after that it was unblocked.
std::map<std::string, std::chrono::steady_clock::time_point> gBlockedAt;
std::map<std::string, std::chrono::steady_clock::duration> gBlockedFor;
int FakeBlock(const char* m) {
  {
    std::lock_guard lock(gCallsMutex);
    gBlockedAt[m] = std::chrono::steady_clock::now();
  }
  return Call(std::string("block ") + m), 0;
}
int FakeDisconnect(const char* m) {
  return Call(std::string("disconnect ") + m), 0;
}
int FakeUnblock(const char* m) {
  {
    std::lock_guard lock(gCallsMutex);
    gBlockedFor[m] = std::chrono::steady_clock::now() - gBlockedAt[m];
  }
  return Call(std::string("unblock ") + m), 0;
}
int FakeAcs(const AcsConfigRecord* a) {
  return Call(std::string("acs ") + a->url + "|" + a->userName + "|" + a->password), 0;
}

class ApplyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = RouterDeviceOps;
    RouterDeviceOps.GetWlanInfo = FakeGetWlanInfo;
    RouterDeviceOps.SetInterfaceDown = FakeDown;
    RouterDeviceOps.SetInterfaceUp = FakeUp;
    RouterDeviceOps.SetWlanSsid = FakeSsid;
    RouterDeviceOps.SetWlanPassPhrase = FakePass;
    RouterDeviceOps.SetLanConfig = FakeLan;
    RouterDeviceOps.BlockStation = FakeBlock;
    RouterDeviceOps.DisconnectStation = FakeDisconnect;
    RouterDeviceOps.UnblockStation = FakeUnblock;
    RouterDeviceOps.UpdateSLAndACS = FakeAcs;
    std::lock_guard lock(gCallsMutex);
    gCalls.clear();
    gSsidFails = 0;
    ResetKVPForTest();
    zc::SetTimeScaleForTest(0.001);
  }
  void TearDown() override {
    RouterDeviceOps = saved_;
    zc::SetTimeScaleForTest(1);
  }
  DeviceOps saved_{};
};

// An SSID/passphrase envelope built from (interface, ssid or null, passphrase or null).
struct WlanEnvelope {
  struct Entry {
    const char* ifname;
    const char* ssid;
    const char* pass;
  };
  explicit WlanEnvelope(const std::vector<Entry>& list) {
    for (const Entry& e : list) {
      auto m = zc::pb::Make<Zun__Config__CHANGESSIDPWD>();
      m.wlan_interface = const_cast<char*>(e.ifname);
      m.ssid = const_cast<char*>(e.ssid);
      m.passphrase = const_cast<char*>(e.pass);
      entries.push_back(m);
    }
    for (auto& e : entries) pointers.push_back(&e);
    msg.transid = const_cast<char*>("w1");
    msg.n_config = pointers.size();
    msg.config = pointers.data();
    envelope.member_case = ZUN__CONFIG__PLATFORMCONFIG__MEMBER__SSIDPWD;
    envelope._ssidpwd = &msg;
  }
  std::vector<Zun__Config__CHANGESSIDPWD> entries;
  std::vector<Zun__Config__CHANGESSIDPWD*> pointers;
  Zun__Config__CHANGESSIDPWDS msg = zc::pb::Make<Zun__Config__CHANGESSIDPWDS>();
  Zun__Config__PLATFORMCONFIG envelope = zc::pb::Make<Zun__Config__PLATFORMCONFIG>();
};

TEST_F(ApplyTest, WlanChangeUsesTheRouterInterfaceName) {
  WlanEnvelope w({{"WLAN0-VAP1", "Guest-5", nullptr}, {"wlan9", "x", nullptr}});
  EXPECT_EQ(ConfigWlanParams(&w.envelope), 0);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"down wlan0-vap1", "ssid wlan0-vap1 Guest-5",
                                               "up wlan0-vap1"}));
}

TEST_F(ApplyTest, WlanValuesAreCheckedBeforeAnyChange) {
  const std::string ssid32(32, 's'), ssid33(33, 's'), hex64(64, 'a'), z64(64, 'z');
  struct Case {
    const char* ssid;
    const char* pass;
    bool ok;
  } cases[] = {
      {ssid32.c_str(), nullptr, true},
      {ssid33.c_str(), nullptr, false},
      {"", nullptr, false},
      {"a\tb", nullptr, false},
      {nullptr, "", false},
      {nullptr, "short", false},
      {nullptr, "pass\x01word", false},
      {nullptr, z64.c_str(), false},
      {nullptr, hex64.c_str(), true},
      {nullptr, "12345678", true},
  };
  for (const Case& c : cases) {
    SetUp();
    // The failing entry comes second: the first one must not have been applied either.
    WlanEnvelope w({{"wlan1", "New", nullptr}, {"wlan0", c.ssid, c.pass}});
    EXPECT_EQ(ConfigWlanParams(&w.envelope), c.ok ? 0 : -1) << (c.ssid ? c.ssid : c.pass);
    if (!c.ok) {
      EXPECT_TRUE(Calls().empty());
    }
  }
}

TEST_F(ApplyTest, WlanListBeyondTheLimitIsRefusedAtOnce) {
  std::vector<WlanEnvelope::Entry> list(256, {"wlan0", "New", nullptr});
  WlanEnvelope w(list);
  EXPECT_EQ(ConfigWlanParams(&w.envelope), -1);
  EXPECT_TRUE(Calls().empty());
}

TEST_F(ApplyTest, WlanUnchangedValuesAreSkippedAndFailuresBringTheInterfaceUp) {
  WlanEnvelope same({{"wlan0", "Home", nullptr}, {"wlan0", nullptr, "password0"}});
  EXPECT_EQ(ConfigWlanParams(&same.envelope), 0);
  EXPECT_TRUE(Calls().empty());
  gSsidFails = 1;
  WlanEnvelope w({{"wlan0", "New", "password1"}});
  EXPECT_EQ(ConfigWlanParams(&w.envelope), -1);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"down wlan0", "ssid wlan0 New", "up wlan0"}));
}

struct LanEnvelope {
  LanEnvelope(const char* ip, const char* mask, const char* start, const char* end, const char* gw,
              uint32_t lease) {
    dhcp.lanipaddr = const_cast<char*>(ip);
    dhcp.subnetmask = const_cast<char*>(mask);
    dhcp.startip = const_cast<char*>(start);
    dhcp.endip = const_cast<char*>(end);
    dhcp.landhcpgwip = const_cast<char*>(gw);
    dhcp.leasetime = lease;
    lan.transid = const_cast<char*>("l1");
    lan._landhcpconfig = &dhcp;
    envelope.member_case = ZUN__CONFIG__PLATFORMCONFIG__MEMBER__LANCONFIG;
    envelope._lanconfig = &lan;
  }
  LanEnvelope& Dns(int mode, const char* a, const char* b, const char* c = nullptr) {
    dns.landnsmode = static_cast<Zun__Config__LANDNSCONFIG__DNSMODE>(mode);
    dns.primarydnsserver = const_cast<char*>(a);
    dns.secondarydnsserver = const_cast<char*>(b);
    dns.tertiarydnsserver = const_cast<char*>(c);
    lan._landnsconfig = &dns;
    return *this;
  }
  Zun__Config__LANDHCPCONFIG dhcp = zc::pb::Make<Zun__Config__LANDHCPCONFIG>();
  Zun__Config__LANDNSCONFIG dns = zc::pb::Make<Zun__Config__LANDNSCONFIG>();
  Zun__Config__LANCONFIG lan = zc::pb::Make<Zun__Config__LANCONFIG>();
  Zun__Config__PLATFORMCONFIG envelope = zc::pb::Make<Zun__Config__PLATFORMCONFIG>();
};

TEST_F(ApplyTest, LanValidationKeepsTheRouterReachable) {
  auto valid = [] {
    return LanEnvelope("192.168.1.1", "255.255.255.0", "192.168.1.100", "192.168.1.200",
                       "192.168.1.1", 86400);
  };
  auto check = [](LanEnvelope&& e) { return ValidateConfigLanParams(&e.envelope); };
  EXPECT_EQ(check(valid()), 0);
  EXPECT_EQ(check(std::move(valid().Dns(2, nullptr, nullptr))), 0);
  EXPECT_EQ(check(std::move(valid().Dns(1, "8.8.8.8", "1.1.1.1", "9.9.9.9"))), 0);
  EXPECT_EQ(check(std::move(valid().Dns(1, "8.8.8.8", nullptr))), -1);
  EXPECT_EQ(check(std::move(valid().Dns(1, "8.8.8.8", "1.1.1.1", "x"))), -1);
  EXPECT_EQ(check(std::move(valid().Dns(7, "8.8.8.8", "1.1.1.1"))), -1);
  EXPECT_EQ(check(LanEnvelope("10.0.0.1", "255.255.0.0", "10.0.5.1", "10.0.9.9", "10.0.0.1", 60)),
            0);
  // Lease 0, a non-contiguous mask, a pool or gateway outside the subnet, a pool backwards.
  const char* bad[][6] = {
      {"192.168.1.1", "255.0.255.0", "192.168.1.100", "192.168.1.200", "192.168.1.1", "1"},
      {"192.168.1.1", "255.255.255.0", "192.168.2.100", "192.168.2.200", "192.168.1.1", "1"},
      {"192.168.1.1", "255.255.255.0", "192.168.1.100", "192.168.1.200", "10.0.0.1", "1"},
      {"192.168.1.1", "255.255.255.0", "192.168.1.200", "192.168.1.100", "192.168.1.1", "1"},
      {"192.168.1.1", "255.255.255.0", "192.168.1.100", "192.168.1.200", "192.168.1.1", "0"},
      {"192.168.1.1", "255.255.255.0", "192.168.1.100", "192.168.1.300", "192.168.1.1", "1"},
  };
  for (const auto& b : bad) {
    LanEnvelope e(b[0], b[1], b[2], b[3], b[4], static_cast<uint32_t>(atoi(b[5])));
    EXPECT_EQ(ValidateConfigLanParams(&e.envelope), -1) << b[1] << " " << b[2] << " " << b[4];
    EXPECT_EQ(ConfigLan(&e.envelope), -1);
  }
  EXPECT_TRUE(Calls().empty());
  LanEnvelope good = valid();
  good.Dns(1, "8.8.8.8", "1.1.1.1");
  EXPECT_EQ(ConfigLan(&good.envelope), 0);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"lan 192.168.1.1 8.8.8.8 "}));
}

TEST_F(ApplyTest, StationReInitUsesOneWorkerForManyStations) {
  gBlockedAt.clear();
  gBlockedFor.clear();
  for (int i = 0; i < 300; ++i) {
    char mac[18];
    snprintf(mac, sizeof mac, "02:00:00:00:%02x:%02x", i / 256, i % 256);
    StationReInitOnProfileChange(mac);
    EXPECT_LE(StationReInitThreadsForTest(), 1);
  }
  // The same station again while it waits: not unblocked before its new pause is over.
  StationReInitOnProfileChange("02:00:00:00:00:07");
  StationReInitDrainForTest();
  EXPECT_EQ(StationReInitThreadsForTest(), 0);
  size_t disconnects = 0;
  for (const std::string& c : Calls()) disconnects += c.rfind("disconnect ", 0) == 0;
  EXPECT_GE(disconnects, 300u);
  std::lock_guard lock(gCallsMutex);
  EXPECT_EQ(gBlockedFor.size(), 300u);
  for (const auto& [mac, held] : gBlockedFor) {
    EXPECT_GE(held, zc::Scaled(kStationReInitWait)) << mac;
  }
}

TEST_F(ApplyTest, MultimodeValuesAreTakenFromItemStartsAndBoundedInLength) {
  SetStringKVP("nats.publishSubject.configResponse", "zt.configresp");
  std::vector<std::string> answers;
  SetConfigPublisherForTest(
      [&](const std::string&, const void* d, size_t n, const std::vector<ConfigHeader>&) {
        auto r = zc::pb::Unpack<Zun__Config__CONFIGRESP>(d, n);
        answers.push_back(r ? r->err_msg : "?");
        return 0;
      });
  auto run = [](const std::string& data) {
    auto cmd = zc::pb::Make<Zun__Config__COMMANDS>();
    cmd.transid = const_cast<char*>("m1");
    cmd.command = const_cast<char*>("ENABLE_MULTIMODE");
    cmd.data = const_cast<char*>(data.c_str());
    auto env = zc::pb::Make<Zun__Config__PLATFORMCONFIG>();
    env.member_case = ZUN__CONFIG__PLATFORMCONFIG__MEMBER__CMD;
    env._cmd = &cmd;
    ExecuteCommand(&env);
  };
  run("uname:a,pwd:xurl:y,url:http://acs");
  run("url:http://" + std::string(300, 'u'));
  run("url:only");
  SetConfigPublisherForTest(nullptr);
  EXPECT_EQ(answers, (std::vector<std::string>{"NA", "InvaildConfig", "NA"}));
  EXPECT_EQ(Calls(), (std::vector<std::string>{"acs http://acs|a|xurl:y", "acs only||"}));
}

// Script runs with stand-in backup and shell tools on PATH.
class ScriptTest : public ApplyTest {
 protected:
  void SetUp() override {
    ApplyTest::SetUp();
    root_ = std::make_unique<zctest::TempRoot>();
    zc::ReloadRootFromEnv();
    root_->Write("/bin/config_xmlconfig.sh",
                 "#!/bin/sh\necho \"$1\" >> " + (*root_)("/steps") + "\nif [ -e " +
                     (*root_)("/fail$1") + " ]; then echo 'xml FAIL'; fi\n",
                 true);
    savedPath_ = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", ((*root_)("/bin") + ":" + savedPath_).c_str(), 1);
    SetStringKVP("nats.publishSubject.configResponse", "zt.configresp");
    SetConfigPublisherForTest(
        [this](const std::string&, const void* d, size_t n, const std::vector<ConfigHeader>&) {
          auto r = zc::pb::Unpack<Zun__Config__CONFIGRESP>(d, n);
          std::lock_guard lock(gCallsMutex);
          answers_.push_back(std::string(r->transid) + " " + r->err_msg);
          return 0;
        });
  }
  void TearDown() override {
    SetConfigPublisherForTest(nullptr);
    setenv("PATH", savedPath_.c_str(), 1);
    root_.reset();
    zc::ReloadRootFromEnv();
    ApplyTest::TearDown();
  }
  std::vector<std::string> Answers() {
    ConfigExecDrainForTest();
    std::lock_guard lock(gCallsMutex);
    return answers_;
  }
  std::unique_ptr<zctest::TempRoot> root_;
  std::string savedPath_;
  std::vector<std::string> answers_;
};

TEST_F(ScriptTest, EachRunIsAnsweredOnceWithItsOutcome) {
  ConfigExec("ok", "echo hello");
  ConfigExec("exit", "exit 3");
  ConfigExec("stderr", "echo some error >&2");
  // 255-byte pieces: the keyword straddles the border of the first two.
  ConfigExec("split", "printf '%253sERR' x | tr 'ER' 'er'; printf 'or\\n'");
  EXPECT_EQ(Answers(), (std::vector<std::string>{"ok NA", "exit Config Error",
                                                 "stderr Config Error", "split Config Error"}));
  // Backup, run; then backup and restore for each failed run.
  EXPECT_EQ(root_->Read("/steps"), "-s\n-s\n-l\n-s\n-l\n-s\n-l\n");
  EXPECT_EQ(root_->Read("/tmp/config.sh"), "printf '%253sERR' x | tr 'ER' 'er'; printf 'or\\n'");
}

TEST_F(ScriptTest, FailedBackupStopsBeforeTheScriptAndFailedRestoreIsTheAnswer) {
  root_->Write("/fail-s", "");
  ConfigExec("b", "touch " + (*root_)("/ran"));
  EXPECT_EQ(Answers(), (std::vector<std::string>{"b Backup FAIL"}));
  EXPECT_FALSE(root_->Exists("/ran"));
  std::remove((*root_)("/fail-s").c_str());
  root_->Write("/fail-l", "");
  ConfigExec("r", "exit 1");
  EXPECT_EQ(Answers(), (std::vector<std::string>{"b Backup FAIL", "r Restore FAIL"}));
}

}  // namespace
