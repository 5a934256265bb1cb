// The engine's own log: rotation by size into numbered, compressed files (count limit, content
// readable back), level filtering per thread, and the file handling of the engine started with
// a log file (never through a link, created 0600, under the root).
#include "dns/engine/dns_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "dns/engine/dns_engine.h"
#include "dns/engine/dns_log_writer.h"
#include "support/ports.h"
#include "support/temp_root.h"
#include "support/wait.h"

namespace zc::dns {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Gunzip(const std::string& path) {
  gzFile gz = gzopen(path.c_str(), "rb");
  if (!gz) return "<unreadable>";
  std::string out;
  char buf[4096];
  int n;
  while ((n = gzread(gz, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  gzclose(gz);
  return out;
}

class LogDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zc-dnslog-XXXXXX";
    dir_ = mkdtemp(tmpl);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string dir_;
};

TEST_F(LogDir, RotatesBySizeIntoNumberedCompressedFilesAndKeepsTheNewest) {
  std::string path = dir_ + "/zundns.log";
  // Another log of the same folder whose name starts like this one's: never touched.
  std::ofstream(dir_ + "/zundns-audit.log") << "audit\n";
  std::ofstream(dir_ + "/zundns-audit-20200101-000000.log.gz") << "old audit\n";
  LogFileWriter w;
  ASSERT_TRUE(w.Open(path, 200, 3));
  std::vector<std::string> lines;
  for (int i = 0; i < 40; i++) {
    char line[64];
    std::snprintf(line, sizeof line, "line %02d %s", i, std::string(30, 'x').c_str());
    lines.push_back(line);
    w.Write(line);
    w.Flush();  // one batch per line: the size is checked before each
  }
  w.Close();

  // The live file stays within the limit.
  EXPECT_LE(fs::file_size(path), 200u);
  std::vector<std::string> rotated = LogFileWriter::RotatedFiles(path);
  ASSERT_EQ(rotated.size(), 3u);  // the count limit
  // Within one second the names are numbered; all are compressed and oldest come first.
  std::regex name(R"(zundns-\d{8}-\d{6}(-\d+)?\.log\.gz)");
  for (const std::string& f : rotated) {
    EXPECT_TRUE(std::regex_match(fs::path(f).filename().string(), name)) << f;
    struct stat st {};
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << f;
  }
  // What is kept, read back in order, is the tail of what was written, with nothing lost in
  // between and no compressed file larger than the limit.
  std::string kept;
  for (const std::string& f : rotated) {
    std::string text = Gunzip(f);
    EXPECT_LE(text.size(), 200u);
    EXPECT_FALSE(text.empty());
    kept += text;
  }
  kept += ReadAll(path);
  std::string all;
  for (const std::string& l : lines) all += l + "\n";
  ASSERT_GT(kept.size(), 400u);
  EXPECT_EQ(all.substr(all.size() - kept.size()), kept);
  EXPECT_EQ(ReadAll(dir_ + "/zundns-audit.log"), "audit\n");
  EXPECT_TRUE(fs::exists(dir_ + "/zundns-audit-20200101-000000.log.gz"));

  // A count of 0 keeps no old file at all; a size of 0 never rotates.
  LogFileWriter none;
  ASSERT_TRUE(none.Open(dir_ + "/none.log", 50, 0));
  for (int i = 0; i < 5; i++) {
    none.Write(std::string(40, 'n'));
    none.Flush();
  }
  none.Close();
  EXPECT_TRUE(LogFileWriter::RotatedFiles(dir_ + "/none.log").empty());
  LogFileWriter unlimited;
  ASSERT_TRUE(unlimited.Open(dir_ + "/all.log", 0, 2));
  for (int i = 0; i < 5; i++) {
    unlimited.Write(std::string(40, 'a'));
    unlimited.Flush();
  }
  unlimited.Close();
  EXPECT_EQ(fs::file_size(dir_ + "/all.log"), 5u * 41);
}

TEST_F(LogDir, RotatedNameTakesTheNextNumberWhenTaken) {
  std::string path = dir_ + "/x.log";
  time_t when = 1700000000;
  std::string first = LogFileWriter::RotatedName(path, when);
  std::ofstream(first + ".gz") << "";
  std::string second = LogFileWriter::RotatedName(path, when);
  std::ofstream(second) << "";
  std::string third = LogFileWriter::RotatedName(path, when);
  EXPECT_EQ(second.substr(0, second.size() - 4) + "", first.substr(0, first.size() - 4) + "-1");
  EXPECT_EQ(third.substr(0, third.size() - 4), first.substr(0, first.size() - 4) + "-2");
  EXPECT_TRUE(third.ends_with(".log"));
}

TEST_F(LogDir, LevelsFilterPerThreadWhateverTheProcessLevel) {
  std::string path = dir_ + "/engine.log";
  auto log = std::make_shared<EngineLog>(LL_WARN);
  ASSERT_TRUE(log->Open(path, 0, 2));
  int saved = g_loglevel.load();
  g_loglevel.store(LL_CRIT);  // the process's own outputs show almost nothing
  {
    LogTapScope scope(log);
    LogOut(LL_INFO, "below the engine level");
    LogOut(LL_WARN, "warning %d", 1);
    LogOut(LL_ERR, "error with a\nnewline\n");
    // A thread the engine starts carries the log along; any other thread does not.
    std::thread carried([tap = LogThreadTap()] {
      LogSetThreadTap(tap);
      LogOut(LL_ERR, "from a carried thread");
    });
    carried.join();
    std::thread other([] { LogOut(LL_ERR, "from another thread"); });
    other.join();
    log->set_level(LL_DEBUG);  // debug lines too, though the process shows none
    LogOut(LL_DEBUG, "debug detail");
  }
  LogOut(LL_ERR, "after the scope");
  g_loglevel.store(saved);
  log->Close();
  std::string text = ReadAll(path);
  EXPECT_EQ(text.find("below the engine level"), std::string::npos);
  EXPECT_NE(text.find("][ WARN] warning 1\n"), std::string::npos) << text;
  EXPECT_NE(text.find("][ERROR] error with a\\nnewline\n"), std::string::npos) << text;
  EXPECT_NE(text.find("from a carried thread"), std::string::npos);
  EXPECT_EQ(text.find("from another thread"), std::string::npos);
  EXPECT_NE(text.find("][DEBUG] debug detail"), std::string::npos);
  EXPECT_EQ(text.find("after the scope"), std::string::npos);
  std::regex line(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2},\d{3}\]\[[ A-Z]{5,6}\] .*)");
  std::istringstream in(text);
  std::string l;
  while (std::getline(in, l)) EXPECT_TRUE(std::regex_match(l, line)) << l;
}

// The engine opens its log under the root, writes its own lines there at its level, and runs on
// when a link is planted at the log's path, leaving the link's target alone.
TEST(EngineLogFile, EngineWritesUnderTheRootAndNeverThroughALink) {
  zctest::TempRoot root;
  int saved = g_loglevel.load();
  g_loglevel.store(LL_CRIT);
  const std::string listen = "bind 127.0.0.1:" + std::to_string(zctest::FreePort()) + "\n";
  root.Write("/tmp/zundns.conf", listen +
                                     "server 127.0.0.1:9\nspeed-check-mode none\n"
                                     "log-level info\nlog-size 100000\nlog-num 2\n");
  {
    DnsEngine engine;
    std::string error;
    ASSERT_TRUE(engine.Start(&error)) << error;
    engine.Stop();
  }
  std::string path = root("/tmp/zundns.log");
  std::string text = ReadAll(path);
  EXPECT_NE(text.find("][ INFO] DnsEngine: listening"), std::string::npos) << text;
  EXPECT_NE(text.find("DnsEngine: loop ended"), std::string::npos) << text;
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // At level error the same run leaves nothing new; a named file is used instead.
  root.Write("/tmp/zundns.conf", listen +
                                     "server 127.0.0.1:9\nspeed-check-mode none\nlog-level error\n"
                                     "log-file /var/log/dns/engine.log\n");
  {
    DnsEngine engine;
    std::string error;
    ASSERT_TRUE(engine.Start(&error)) << error;
    engine.Stop();
  }
  EXPECT_TRUE(fs::exists(root("/var/log/dns/engine.log")));
  EXPECT_EQ(ReadAll(root("/var/log/dns/engine.log")).find("listening"), std::string::npos);

  // A link planted at the path: the engine still starts; the target stays as it was.
  root.Write("/victim", "precious\n");
  fs::remove(path);
  fs::create_symlink(root("/victim"), path);
  root.Write("/tmp/zundns.conf",
             listen + "server 127.0.0.1:9\nspeed-check-mode none\nlog-level debug\n");
  {
    DnsEngine engine;
    std::string error;
    EXPECT_TRUE(engine.Start(&error)) << error;
    engine.Stop();
  }
  EXPECT_EQ(ReadAll(root("/victim")), "precious\n");
  g_loglevel.store(saved);
}

}  // namespace
}  // namespace zc::dns
