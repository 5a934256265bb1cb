// Firmware image check and dual-bank flashing: slots FirmwareValidate and FirmwareUpgrade.
#include <strings.h>
#include <sys/stat.h>

#include <cstdlib>
#include <sstream>

#include "platform/realtek/rtl8192_single_band.h"
#include "platform/realtek/rtl_internal.h"
#include "platform/realtek/stats_parse.h"
#include "utils/files.h"
#include "utils/log.h"
#include "utils/paths.h"
#include "utils/timescale.h"

namespace {

constexpr const char* kImage = "/tmp/new_fw.download";
constexpr const char* kWriter = "/etc/scripts/fwu_starter.sh";
constexpr const char* kFwGroupFile = "/etc/launcher/fwgroup";
constexpr long long kImageSizeLimit = 20000000;
constexpr size_t kFwGroupMax = 63;
constexpr std::chrono::seconds kFlashSettle{3};
constexpr std::chrono::minutes kWriterTimeout{15};

const char* ChecksumTool(const char* type) {
  if (!type) return nullptr;
  if (strcasecmp(type, "MD5") == 0) return "md5sum";
  if (strcasecmp(type, "SHA224") == 0) return "sha224sum";
  if (strcasecmp(type, "SHA256") == 0) return "sha256sum";
  return nullptr;
}

// MemFree + Buffers in kB; -1 when /proc/meminfo is unreadable.
long long AvailableMemoryKb() {
  auto text = rtl::ReadRouterFile("/proc/meminfo", 4095);
  return text ? rtl::AvailableMemoryKb(*text) : -1;
}

}  // namespace

int Rtl8192FirmwareValidate(const char* checksumType, const char* checksum) {
  std::string image = zc::RootPath(kImage);
  struct stat st {};
  // An image whose size cannot be read is not checked further: it is never flashed.
  if (stat(image.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    LogOut(LL_ERR, "%s: Error in getting fw image size", __func__);
    return FW_ERR_IMAGE_SIZE_CHECK_FAILURE;
  }
  long long size = static_cast<long long>(st.st_size);
  LogOut(LL_INFO, "new FW_IMAGE SIZE = %lldbytes", size);
  if (size >= kImageSizeLimit) {
    LogOut(LL_ERR, "%s",
           "fw image size is greater than safe limit, do not upgrade with this image!!!\n"
           "Aborting sysupgrade!!!");
    return FW_ERR_IMAGE_SIZE_CHECK_FAILURE;
  }
  LogOut(LL_INFO, "%s: FW_Size Passed", __func__);

  long long available = AvailableMemoryKb();
  if (available < 0) {
    LogOut(LL_ERR, "%s: Fail to get sys mem info", __func__);
    return FW_ERR_LOW_RAM;
  }
  if (static_cast<double>(available) < 1.2 * static_cast<double>(size >> 10)) {
    LogOut(LL_ERR, "%s",
           "system memory is inuse too high, sysupgrade will start after a reboot!!!");
    return FW_ERR_LOW_RAM;
  }
  LogOut(LL_INFO, "%s", "system memory inuse is low, sysupgrade possible");
  LogOut(LL_INFO, "%s: RAM check Passed", __func__);

  const char* tool = ChecksumTool(checksumType);
  if (!tool || !checksum || !*checksum) return FW_ERR_CHECKSUM_FAIL;
  // A checksum that could not be computed is a failed check: an unverified image is never
  // flashed.
  ExecResult sum = rtl::RunTool({tool, image});
  std::string generated = rtl::FirstToken(sum.output);
  if (sum.status != 0 || generated.empty()) {
    LogOut(LL_ERR, "%s", "checksum popen FAILED!!!");
    LogOut(LL_ERR, "%s: %s failed (status %d)", __func__, tool, sum.status);
    return FW_ERR_CHECKSUM_FAIL;
  }
  if (strcasecmp(generated.c_str(), checksum) != 0) {
    LogOut(LL_ERR, "%s Checksum FAIL -generated %s recv %s ", __func__, generated.c_str(),
           checksum);
    return FW_ERR_CHECKSUM_FAIL;
  }
  LogOut(LL_INFO, "%s Checksum PASS -generated %s recv %s ", __func__, generated.c_str(), checksum);
  LogOut(LL_INFO, "%s: Checksum Passed", __func__);

  std::string groupFile = zc::RootPath(kFwGroupFile);
  if (!zc::FileExists(groupFile)) {
    LogOut(LL_INFO, "%s zun fwGroup not exist:%s,so skiping fwGroup validation", __func__,
           kFwGroupFile);
    return 0;
  }
  auto running = zc::ReadFirstLine(groupFile, kFwGroupMax);
  if (!running) {
    LogOut(LL_INFO, "%s zun fwGroup open fail:%s,so skiping fwGroup validation", __func__,
           kFwGroupFile);
    return 0;
  }
  LogOut(LL_INFO, "zun fwGroup:%s", running->c_str());
  std::string imageGroup = rtl::RunTool({"tar", "-xf", image, "fwgroup", "-O"}).output;
  if (!imageGroup.empty()) imageGroup.pop_back();
  if (imageGroup.empty()) {
    LogOut(LL_INFO, "%s: Empty fwGroup, so skiping fwGroup validation", __func__);
    return 0;
  }
  if (imageGroup != *running) {
    LogOut(LL_ERR, "%s: fwGroup Failed", __func__);
    return FW_ERR_PRODUCT_MISMATCH;
  }
  LogOut(LL_INFO, "%s: fwGroup Passed", __func__);
  return 0;
}

int Rtl8192FirmwareUpgrade(FirmwareUpgradeCallback callback) {
  auto done = [&](int code) {
    if (callback) callback(code);
    return 0;
  };
  ExecResult active = rtl::RunTool({"nv", "getenv", "sw_active"});
  std::string line = rtl::Trim(rtl::FirstLine(active.output));
  LogOut(LL_INFO, "%s: nv getenv %s", __func__, line.c_str());
  int bank = -1;
  if (line.empty() || std::sscanf(line.c_str(), "sw_active=%d", &bank) != 1 ||
      (bank != 0 && bank != 1)) {
    LogOut(LL_ERR, "%s: sysupgrade FAILED!!! [no active bank]", __func__);
    return done(FW_ERR_GENERIC_FAILURE);
  }
  std::string target = std::to_string(1 - bank);
  std::vector<std::string> argv = {zc::RootPath(kWriter), target, zc::RootPath(kImage), "ZUN"};
  LogOut(LL_INFO, "%s: Starting sysupgrade now", __func__);
  LogOut(LL_INFO, "%s: FW_FLASH_CMD:%s %s %s %s", __func__, argv[0].c_str(), argv[1].c_str(),
         argv[2].c_str(), argv[3].c_str());
  ExecResult writer = RunArgv(argv, kWriterTimeout);
  if (writer.status < 0 && writer.output.empty()) {
    LogOut(LL_ERR, "%s: sysupgrade FAILED!!! [failed to run sysupgrade]", __func__);
    return done(FW_ERR_GENERIC_FAILURE);
  }
  std::istringstream out(writer.output);
  std::string l;
  while (std::getline(out, l)) {
    LogOut(LL_INFO, "%s", l.c_str());
    if (l.find("Successfully updated image") == std::string::npos) continue;
    LogOut(LL_INFO, "%s: sysupgrade PASSED!!!", __func__);
    zc::SleepScaled(kFlashSettle);
    if (rtl::RunTool({"nv", "setenv", "sw_tryactive", target}).status != 0) {
      LogOut(LL_ERR, "%s: nv setenv sw_tryactive %s failed", __func__, target.c_str());
      return done(FW_ERR_GENERIC_FAILURE);
    }
    return done(0);
  }
  LogOut(LL_ERR, "%s: sysupgrade FAILED!!!", __func__);
  return done(FW_ERR_GENERIC_FAILURE);
}
