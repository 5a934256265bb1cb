// Firmware during provisioning: an update the cloud requires is downloaded, checked, flashed into
// the other bank and booted; failed downloads and failed checks fall back to the running firmware
// and sign on; every step is reported and acknowledged.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <thread>

#include "e2e/e2e_lab.h"
#include "support/nats_fixture.h"
#include "support/netns.h"
#include "support/requires.h"

namespace e2e {
namespace {

class E2eFirmware : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!zctest::InPrivateNetwork()) ZC_MISSING() << "needs a private network namespace";
  }
};

constexpr char kMac[] = "02:5A:00:00:00:01";

// "type status retry error" of every firmware report, in order.
std::vector<std::string> Reports(Lab& lab, const std::string& since = "0") {
  std::vector<std::string> out;
  JsonPtr r = Distinct(lab.Records("subject=zt.fw.result&since=" + since));
  for (size_t i = 0; i < Lab::Size(r); ++i) {
    json_object* d = Lab::Decoded(r, i);
    out.push_back(Text(d, "type") + " " + Text(d, "status") + " " + Text(d, "retry_attempt") + " " +
                  Text(d, "error_code"));
  }
  return out;
}

// A provisioned router whose running firmware the cloud wants replaced by a.img (2.2.0).
bool OfferRequiredUpdate(Lab& lab, const std::string& imageOptions = "") {
  lab.agent().WriteBootConfig(lab.natsUrl(), "zt.fw.validate");
  Image image = lab.MakeImage("a.img", "2.2.0", imageOptions);
  return lab.ServeImage(image, "/fw/a.img") && lab.RequireUpdate(image, "/fw/a.img", "2.2.0");
}

std::string Since(Lab& lab) {
  return std::to_string(lab.cloud().LastSeq());
}

// One provisioning run of the agent on the prefetch path, until it has signed on again.
void RunUntilSignedOn(Lab& lab, size_t signons) {
  zctest::AgentRun& agent = lab.agent();
  agent.Start();
  ASSERT_TRUE(lab.WaitRecords("subject=zt.signon", signons, kLong)) << agent.Output();
  auto done = [&] { return lab.CountLog("ZUNCORE_SUBMODULE_INIT_DONE") >= signons; };
  ASSERT_TRUE(zctest::WaitFor(done, kLong)) << agent.Output();
}

void Restart(Lab& lab) {
  lab.agent().Signal(SIGTERM);
  ASSERT_TRUE(lab.agent().WaitExit(kShort));
}

TEST_F(E2eFirmware, RequiredUpdateDownloadsSlowlyFlashesTheOtherBankAndBootsIt) {
  LabOptions o;
  o.scale = 0.01;  // eight router minutes of download take 4.8 s
  Lab lab(o);
  ASSERT_TRUE(lab.ok()) << lab.error();
  lab.agent().WriteBootConfig(lab.natsUrl(), "zt.fw.validate");
  Image image = lab.MakeImage("v220.img", "2.2.0", "--size 262144");
  // Eight minutes of router time for the download: longer than the first health report.
  ASSERT_TRUE(lab.ServeImage(image, "/fw/v220.img", "\"duration_ms\": 480000"));
  ASSERT_TRUE(lab.RequireUpdate(image, "/fw/v220.img", "2.2.0"));
  lab.StartLauncher();
  ASSERT_TRUE(lab.WaitRecords("subject=zt.fw.validate"));
  ASSERT_TRUE(lab.Put("/v1/fwvalidate", "{}"));  // the new firmware is up to date

  ASSERT_TRUE(lab.agent().WaitFor("boot 2: bank 1 version 2.2.0 (tryactive)", kLong,
                                  "/sim/log/launcher.log"))
      << lab.agent().Read("/sim/log/launcher.log");
  ASSERT_TRUE(lab.WaitRecords("subject=zt.fw.validate", 2, kLong));
  JsonPtr validations = Distinct(lab.Records("subject=zt.fw.validate"));
  EXPECT_EQ(Text(Lab::Decoded(validations, 0), "version"), "2.1.9");
  EXPECT_EQ(Text(Lab::Decoded(validations, 1), "version"), "2.2.0");
  auto done = [&] { return lab.CountLog("ZUNCORE_SUBMODULE_INIT_DONE") >= 1; };
  ASSERT_TRUE(zctest::WaitFor(done, kLong)) << lab.agent().Output();

  EXPECT_EQ(Reports(lab), (std::vector<std::string>{"DOWNLOAD SUCCESS <absent> <absent>",
                                                    "UPDATE SUCCESS <absent> <absent>"}));
  JsonPtr reports = Distinct(lab.Records("subject=zt.fw.result"));
  EXPECT_EQ(Text(Lab::Decoded(reports, 0), "transid"), std::string("fw-t1.") + kMac);
  EXPECT_EQ(Text(Lab::Decoded(reports, 1), "version"), "2.2.0");
  JsonPtr ends = lab.Records("kind=http.end&match=outcome=complete");
  ASSERT_EQ(Lab::Size(ends), 1u);
  EXPECT_EQ(Text(json_object_array_get_idx(ends.get(), 0), "sent"), std::to_string(image.size));
  // The health report ran during the download and did not end the process.
  std::string out = lab.agent().Output();
  size_t health = out.find("Zuncore Task Health ---> START");
  ASSERT_NE(health, std::string::npos);
  EXPECT_LT(health, out.find("Download Status:success"));
  EXPECT_EQ(out.find("is not running"), std::string::npos);
  EXPECT_EQ(lab.ExitReasons(),
            (std::vector<std::string>{"FirmwareUpgradeResult: Rebooting the device"}));
  std::string calls = lab.agent().Read("/sim/log/calls.log");
  EXPECT_NE(calls.find("[\"1\",\"" + lab.agent().root() + "/tmp/new_fw.download\",\"ZUN\"]"),
            std::string::npos);
  EXPECT_NE(calls.find("[\"setenv\",\"sw_tryactive\",\"1\"]"), std::string::npos);
  EXPECT_EQ(lab.agent().Read("/sim/state/banks/1/version"), "2.2.0\n");
}

TEST_F(E2eFirmware, FailedDownloadsAreRetriedThenTheRunningFirmwareSignsOn) {
  Lab lab;
  ASSERT_TRUE(lab.ok()) << lab.error();
  lab.agent().WriteBootConfig(lab.natsUrl(), "zt.fw.validate");
  Image image = lab.MakeImage("a.img", "2.2.0");
  // Cut short after a 200, stalled after the headers, refused, failing: four attempts.
  ASSERT_TRUE(lab.Put("/v1/http/routes", R"([
      {"path": "/fw/a.img", "times": 1, "file": ")" +
                                             image.path + R"(", "close_after": 1000},
      {"path": "/fw/a.img", "times": 1, "file": ")" +
                                             image.path + R"(", "stall_after": 0},
      {"path": "/fw/a.img", "times": 1, "status": 404},
      {"path": "/fw/a.img", "status": 503}])"));
  ASSERT_TRUE(lab.RequireUpdate(image, "/fw/a.img", "2.2.0"));
  RunUntilSignedOn(lab, 1);
  EXPECT_EQ(lab.Count("kind=http&match=path=/fw/a.img"), 4u);
  EXPECT_EQ(Reports(lab),
            (std::vector<std::string>{
                "DOWNLOAD FAILURE 1 GENERIC_FAILURE", "DOWNLOAD FAILURE 2 GENERIC_FAILURE",
                "DOWNLOAD FAILURE 3 GENERIC_FAILURE", "DOWNLOAD FAILURE 4 FALLBACK"}));
  EXPECT_EQ(lab.CountLog("FW download max retry attempt exceeded:3"), 1u);
  EXPECT_FALSE(lab.agent().Exists("/tmp/new_fw.download"));
  EXPECT_EQ(lab.agent().Read("/sim/state/banks/1/version"), "2.1.8\n");

  // An update without a URL is a download that falls back at once; the flag is released.
  Restart(lab);
  std::string since = Since(lab);
  ASSERT_TRUE(lab.Put("/v1/fwvalidate",
                      R"({"force_update": true, "update": {"url": "", "checksum_type": "MD5",
                          "checksum": ")" +
                          image.md5 + R"(", "version": "2.2.0"}})"));
  RunUntilSignedOn(lab, 2);
  EXPECT_EQ(Reports(lab, since), (std::vector<std::string>{"DOWNLOAD FAILURE 0 FALLBACK"}));

  // Nor is anything fetched from outside the web.
  Restart(lab);
  since = Since(lab);
  ASSERT_TRUE(lab.Put("/v1/fwvalidate",
                      R"({"force_update": true, "update": {"url": "file:///etc/passwd",
                          "checksum_type": "MD5", "checksum": ")" +
                          image.md5 + R"(", "version": "2.2.0"}})"));
  RunUntilSignedOn(lab, 3);
  EXPECT_EQ(Reports(lab, since), (std::vector<std::string>{"DOWNLOAD FAILURE 0 FALLBACK"}));
  EXPECT_EQ(lab.CountLog("firmware.url is not an http(s) URL: file:///etc/passwd"), 1u);
  EXPECT_FALSE(lab.agent().Exists("/tmp/new_fw.download"));
  EXPECT_EQ(lab.Count("kind=http&match=path=/fw/a.img"), 4u);
  EXPECT_TRUE(lab.agent().Running());
}

TEST_F(E2eFirmware, ImagesThatFailTheirChecksFallBackWithoutFlashing) {
  Lab lab;
  ASSERT_TRUE(lab.ok()) << lab.error();
  zctest::AgentRun& agent = lab.agent();
  agent.WriteBootConfig(lab.natsUrl(), "zt.fw.validate");
  Image image = lab.MakeImage("a.img", "2.2.0");
  ASSERT_TRUE(lab.ServeImage(image, "/fw/a.img"));
  // Cloud text in the version reaches files and tools only as data.
  const std::string version = "2.2.0$(touch " + agent.root() + "/pwned)`reboot`";
  Image wrong = image;
  wrong.md5 = "0123456789abcdef0123456789abcdef";
  ASSERT_TRUE(lab.RequireUpdate(wrong, "/fw/a.img", version));

  // A wrong checksum: checked again before each of the two re-flashes, then the fallback.
  const std::vector<std::string> checksumFailures = {
      "DOWNLOAD SUCCESS <absent> <absent>", "UPDATE FAILURE 0 CHECKSUM_FAIL",
      "UPDATE FAILURE 1 CHECKSUM_FAIL", "UPDATE FAILURE 2 CHECKSUM_FAIL",
      "UPDATE FAILURE 3 FALLBACK"};
  RunUntilSignedOn(lab, 1);
  EXPECT_EQ(Reports(lab), checksumFailures);
  EXPECT_EQ(Text(Lab::Decoded(Distinct(lab.Records("subject=zt.fw.result")), 0), "version"),
            version);
  EXPECT_FALSE(agent.Exists("/pwned"));

  // A checksum tool that cannot produce a sum: the image is never flashed either.
  Restart(lab);
  std::string since = Since(lab);
  ASSERT_TRUE(lab.RequireUpdate(image, "/fw/a.img", "2.2.0"));
  agent.Write("/bin/md5sum", "#!/bin/sh\nexit 1\n");
  chmod(agent.Path("/bin/md5sum").c_str(), 0755);
  RunUntilSignedOn(lab, 2);
  EXPECT_EQ(Reports(lab, since), checksumFailures);
  std::remove(agent.Path("/bin/md5sum").c_str());

  // An active bank the boot environment cannot name: the writer is never started.
  Restart(lab);
  since = Since(lab);
  agent.Zunsim("nv set sw_active 7");
  RunUntilSignedOn(lab, 3);
  EXPECT_EQ(Reports(lab, since),
            (std::vector<std::string>{
                "DOWNLOAD SUCCESS <absent> <absent>", "UPDATE FAILURE 0 GENERIC_FAILURE",
                "UPDATE FAILURE 1 GENERIC_FAILURE", "UPDATE FAILURE 2 GENERIC_FAILURE",
                "UPDATE FAILURE 3 FALLBACK"}));
  EXPECT_EQ(agent.Read("/sim/log/calls.log").find("fwu_starter"), std::string::npos);
  EXPECT_EQ(agent.Read("/sim/state/banks/1/version"), "2.1.8\n");
  EXPECT_FALSE(agent.Exists("/tmp/new_fw.download"));

  EXPECT_TRUE(agent.Running());
}

// A writer that fails and takes the image with it: no retry is possible, so the sequence falls
// back at once instead of stopping with the firmware flag held.
TEST_F(E2eFirmware, WriterThatLosesTheImageFallsBackAtOnce) {
  Lab lab;
  ASSERT_TRUE(lab.ok()) << lab.error();
  zctest::AgentRun& agent = lab.agent();
  ASSERT_TRUE(OfferRequiredUpdate(lab));
  std::remove(agent.Path("/etc/scripts/fwu_starter.sh").c_str());
  agent.Write("/etc/scripts/fwu_starter.sh",
              "#!/bin/sh\nrm -f \"$2\"\necho 'fwu_starter: ERROR: image lost'\nexit 1\n");
  chmod(agent.Path("/etc/scripts/fwu_starter.sh").c_str(), 0755);
  RunUntilSignedOn(lab, 1);
  EXPECT_EQ(Reports(lab), (std::vector<std::string>{"DOWNLOAD SUCCESS <absent> <absent>",
                                                    "UPDATE FAILURE 0 GENERIC_FAILURE",
                                                    "UPDATE FAILURE 2 FALLBACK"}));
  EXPECT_EQ(lab.CountLog("image gone, no retry possible"), 1u);
  EXPECT_TRUE(agent.Running());
}

TEST_F(E2eFirmware, LowMemoryRebootsOnlyWhenTheRouterHasBeenUpAWhile) {
  Lab lab;
  ASSERT_TRUE(lab.ok()) << lab.error();
  zctest::AgentRun& agent = lab.agent();
  ASSERT_TRUE(OfferRequiredUpdate(lab, "--size 1048576"));
  agent.Zunsim("sys MemFree=100 Buffers=0 uptime=60");

  // Just booted: a reboot would not free more memory, so the agent keeps its firmware.
  RunUntilSignedOn(lab, 1);
  EXPECT_EQ(Reports(lab), (std::vector<std::string>{"DOWNLOAD SUCCESS <absent> <absent>",
                                                    "UPDATE FAILURE 0 LOW_RAM"}));
  EXPECT_EQ(agent.Read("/sim/log/calls.log").find("guard reboot"), std::string::npos);

  // Up for two hours: the reboot may free memory; the flash is tried after it.
  Restart(lab);
  std::string since = Since(lab);
  agent.Zunsim("sys uptime=7200");
  agent.Start();
  auto status = agent.WaitExit(kLong);
  ASSERT_TRUE(status) << agent.Output();
  EXPECT_EQ(Reports(lab, since), (std::vector<std::string>{"DOWNLOAD SUCCESS <absent> <absent>",
                                                           "UPDATE FAILURE 0 LOW_RAM"}));
  EXPECT_NE(agent.Read("/sim/log/calls.log").find("guard reboot"), std::string::npos);
  EXPECT_EQ(lab.LastExit(), "FirmwareUpgradeResult: Rebooting the device");
}

TEST_F(E2eFirmware, ValidationTimeOutsRetryAfterTheBackOffThenRestartFromBootstrap) {
  Lab lab;
  ASSERT_TRUE(lab.ok()) << lab.error();
  zctest::AgentRun& agent = lab.agent();
  agent.WriteBootConfig(lab.natsUrl(), "zt.fw.validate");
  ASSERT_TRUE(lab.Put("/v1/services/fwvalidate", R"({"mode": "drop", "count": 1})"));
  RunUntilSignedOn(lab, 1);
  JsonPtr v = lab.Records("subject=zt.fw.validate");
  ASSERT_EQ(Lab::Size(v), 2u);
  auto at = [&](size_t i) {
    return std::stoll(Text(json_object_array_get_idx(v.get(), i), "agent_ms"));
  };
  // 60 s without an answer, then 120 s of back-off.
  EXPECT_GE(at(1) - at(0), 170000);
  EXPECT_EQ(lab.CountLog("Firmwarevalidate: Response TimedOut!!! retry count:0"), 1u);

  // With one attempt allowed and no answer: the boot configuration goes, the next start
  // bootstraps.
  Restart(lab);
  agent.WriteBootConfig(lab.natsUrl(), "zt.fw.validate", 1);
  ASSERT_TRUE(lab.Put("/v1/services/fwvalidate", R"({"mode": "drop"})"));
  agent.Start();
  ASSERT_TRUE(agent.WaitExit(kLong)) << agent.Output();
  EXPECT_EQ(lab.LastExit(), "Firmwarevalidate fail: reply fail");
  EXPECT_FALSE(agent.Exists("/etc/config/zunbootconfig"));
  EXPECT_EQ(Lab::Size(Distinct(lab.Records("subject=zt.signon"))), 1u);
}

// Assignments pushed to a running agent (the configuration intake hands FIRMWARE over).
TEST_F(E2eFirmware, PassiveAssignmentsReleaseTheFlagAndFlashOnTheirOwnThread) {
  Lab lab;
  ASSERT_TRUE(lab.ok()) << lab.error();
  zctest::AgentRun& agent = lab.agent();
  agent.WriteBootConfig(lab.natsUrl(), "zt.fw.validate");
  RunUntilSignedOn(lab, 1);
  if (!lab.Built("ConfigInit")) GTEST_SKIP() << "the configuration intake is not built yet";
  Image image = lab.MakeImage("b.img", "2.3.0");
  ASSERT_TRUE(lab.ServeImage(image, "/fw/b.img"));

  // No URL: the sequence falls back at once and releases the flag.
  lab.Push("immediateFirmware:0",
           R"({"_fw": {"transid": "f1", "fwurl": "", "md5sum": "00", "version": "2.3.0"}})");
  ASSERT_TRUE(lab.WaitRecords(std::string("type=CONFIGRESP&transid=f1.") + kMac));
  ASSERT_TRUE(lab.WaitRecords("subject=zt.fw.result"));
  EXPECT_EQ(Reports(lab), (std::vector<std::string>{"DOWNLOAD FAILURE 0 FALLBACK"}));

  // A checksum tool that fails: one report, no sign-on, no flash, the flag released again.
  agent.Write("/bin/sha256sum", "#!/bin/sh\nexit 1\n");
  chmod(agent.Path("/bin/sha256sum").c_str(), 0755);
  std::string since = Since(lab);
  lab.Push("immediateFirmware:0", R"({"_fw": {"transid": "f2", "fwurl": ")" +
                                      lab.httpsUrl("/fw/b.img") + R"(", "md5sum": ")" +
                                      image.sha256 +
                                      R"(", "checksumtype": "SHA256", "version": "2.3.0"}})");
  ASSERT_TRUE(lab.WaitRecords("subject=zt.fw.result&since=" + since, 2));
  EXPECT_EQ(Reports(lab, since), (std::vector<std::string>{"DOWNLOAD SUCCESS <absent> <absent>",
                                                           "UPDATE FAILURE 0 CHECKSUM_FAIL"}));
  ASSERT_TRUE(lab.WaitLog("FW Upgrade Mode(FW_UPGRADE_PASSIVE) Failed"));
  std::remove(agent.Path("/bin/sha256sum").c_str());

  // The same version as the running one is ignored; a new one is flashed and rebooted into.
  since = Since(lab);
  lab.Push("immediateFirmware:0",
           R"({"_fw": {"transid": "f3", "fwurl": "x", "md5sum": "00", "version": "2.1.9"}})");
  ASSERT_TRUE(lab.WaitLog("Firmware is uptodate, skip fw upgrade request for 2.1.9"));
  lab.Push("immediateFirmware:0", R"({"_fw": {"transid": "f4", "fwurl": ")" +
                                      lab.httpsUrl("/fw/b.img") + R"(", "md5sum": ")" + image.md5 +
                                      R"(", "version": "2.3.0"}})");
  ASSERT_TRUE(agent.WaitExit(kLong)) << agent.Output();
  EXPECT_EQ(Reports(lab, since), (std::vector<std::string>{"DOWNLOAD SUCCESS <absent> <absent>",
                                                           "UPDATE SUCCESS <absent> <absent>"}));
  EXPECT_EQ(lab.LastExit(), "FirmwareUpgradeResult: Rebooting the device");
  EXPECT_EQ(agent.Read("/sim/state/banks/1/version"), "2.3.0\n");
  EXPECT_EQ(Lab::Size(Distinct(lab.Records("subject=zt.signon"))), 1u);
}

// Two assignments at once on two command subjects (each delivered on its own thread), both
// images slow enough that the second lands while the first downloads: one sequence runs, with
// every field from one assignment (a mixed one fails its checksum); the other is answered and
// not taken.
TEST_F(E2eFirmware, TwoAssignmentsAtOnceRunOneSequenceWithOneAssignmentsFields) {
  Lab lab;
  ASSERT_TRUE(lab.ok()) << lab.error();
  zctest::AgentRun& agent = lab.agent();
  agent.WriteBootConfig(lab.natsUrl(), "zt.fw.validate");
  RunUntilSignedOn(lab, 1);
  Image a = lab.MakeImage("a.img", "2.3.0");
  Image b = lab.MakeImage("b.img", "2.4.0", "--size 131072");
  // A router minute per image: 2.4 s of real time.
  auto route = [&](const Image& image, const std::string& path) {
    return "{\"path\": \"" + path + "\", \"listener\": \"https\", \"file\": \"" + image.path +
           "\", \"duration_ms\": 60000}";
  };
  ASSERT_TRUE(
      lab.Put("/v1/http/routes", "[" + route(a, "/fw/a.img") + ", " + route(b, "/fw/b.img") + "]"));
  auto assignment = [&](const std::string& transid, const Image& image, const std::string& path,
                        const std::string& version) {
    return R"({"_fw": {"transid": ")" + transid + R"(", "fwurl": ")" + lab.httpsUrl(path) +
           R"(", "md5sum": ")" + image.md5 + R"(", "version": ")" + version + R"("}})";
  };
  std::string since = Since(lab);
  std::thread other(
      [&] { lab.Push("stableFirmware:0", assignment("fa", a, "/fw/a.img", "2.3.0")); });
  lab.Push("immediateFirmware:0", assignment("fb", b, "/fw/b.img", "2.4.0"));
  other.join();

  ASSERT_TRUE(lab.WaitRecords(std::string("type=CONFIGRESP&transid=fa.") + kMac));
  ASSERT_TRUE(lab.WaitRecords(std::string("type=CONFIGRESP&transid=fb.") + kMac));
  ASSERT_TRUE(agent.WaitExit(kLong)) << agent.Output();
  EXPECT_EQ(lab.LastExit(), "FirmwareUpgradeResult: Rebooting the device");
  EXPECT_EQ(lab.CountLog("FW_PROGRESS set, assignment"), 1u) << agent.Output();
  EXPECT_EQ(Reports(lab, since), (std::vector<std::string>{"DOWNLOAD SUCCESS <absent> <absent>",
                                                           "UPDATE SUCCESS <absent> <absent>"}));
  std::string flashed = agent.Read("/sim/state/banks/1/version");
  ASSERT_TRUE(flashed == "2.3.0\n" || flashed == "2.4.0\n") << flashed;
  std::string transid = std::string(flashed == "2.3.0\n" ? "fa." : "fb.") + kMac;
  JsonPtr reports = Distinct(lab.Records("subject=zt.fw.result&since=" + since));
  for (size_t i = 0; i < Lab::Size(reports); ++i) {
    json_object* d = Lab::Decoded(reports, i);
    EXPECT_EQ(Text(d, "version") + "\n", flashed);
    EXPECT_EQ(Text(d, "transid"), transid);
  }
}

}  // namespace
}  // namespace e2e
