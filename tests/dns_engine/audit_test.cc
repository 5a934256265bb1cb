// The audit log's file handling: it writes only to a regular file of its own, never through a
// link planted at its path.
#include "dns/engine/dns_audit.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace zc::dns {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class AuditFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zc-audit-XXXXXX";
    dir_ = mkdtemp(tmpl);
    victim_ = dir_ + "/victim";
    std::ofstream(victim_) << "precious\n";
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string dir_, victim_;
};

TEST_F(AuditFile, LinksAndOtherFilesAtThePathAreRefused) {
  // A link planted before the start: the log is not opened, the target stays as it was.
  std::string linked = dir_ + "/linked.log";
  fs::create_symlink(victim_, linked);
  {
    AuditLog log;
    EXPECT_FALSE(log.Open(linked, 0, 2));
    log.Write("[x] 192.0.2.1 query a.test, time 1ms, type 1, result 192.0.2.9");
  }
  EXPECT_EQ(ReadAll(victim_), "precious\n");

  // A directory at the path is refused too.
  fs::create_directories(dir_ + "/dir.log");
  AuditLog dir_log;
  EXPECT_FALSE(dir_log.Open(dir_ + "/dir.log", 0, 2));

  // A fresh file is created for the engine alone; a link that replaces it later is not
  // followed by the writer.
  std::string path = dir_ + "/audit.log";
  {
    AuditLog log;
    ASSERT_TRUE(log.Open(path, 0, 2));
    log.Write("first");
    log.Close();
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(ReadAll(path), "first\n");
  }
  {
    AuditLog log;
    ASSERT_TRUE(log.Open(path, 0, 2));
    fs::remove(path);
    fs::create_symlink(victim_, path);
    log.Write("second");
    log.Close();
  }
  EXPECT_EQ(ReadAll(victim_), "precious\n");
}

}  // namespace
}  // namespace zc::dns
