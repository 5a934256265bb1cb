#include <gtest/gtest.h>

#include <string>

#include "support/temp_root.h"
#include "utils/files.h"
#include "utils/procdiag.h"

namespace {

std::string Lines(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += "line " + std::to_string(i) + "\n";
  return s;
}

TEST(Files, FiftyLineTrimRule) {
  zctest::TempRoot root;
  root.Write("/tmp/zuncore_pid", Lines(51));
  zc::TrimLogFile(root("/tmp/zuncore_pid"));
  EXPECT_EQ(root.Read("/tmp/zuncore_pid"), "");
  root.Write("/tmp/zuncore_pid", Lines(50));
  zc::TrimLogFile(root("/tmp/zuncore_pid"));
  zc::AppendLine(root("/tmp/zuncore_pid"), "new");
  EXPECT_EQ(zc::CountLines(root("/tmp/zuncore_pid")), 51);
  zc::TrimLogFile(root("/tmp/absent"));
  EXPECT_FALSE(root.Exists("/tmp/absent"));
}

TEST(Files, DelimitedLinesGrowTheBuffer) {
  std::string text = std::string(5000, 'a') + "\nb\nlast";
  FILE* f = fmemopen(text.data(), text.size(), "r");
  char* buf = nullptr;
  size_t cap = 0;
  EXPECT_EQ(file_read_line_delim(&buf, &cap, '\n', f), 5001);
  EXPECT_GE(cap, 5003u);
  EXPECT_EQ(file_read_line_delim(&buf, &cap, '\n', f), 2);
  EXPECT_STREQ(buf, "b\n");
  EXPECT_EQ(file_read_line_delim(&buf, &cap, '\n', f), 4);
  EXPECT_STREQ(buf, "last");
  EXPECT_EQ(file_read_line_delim(&buf, &cap, '\n', f), -1);
  free(buf);
  fclose(f);
}

}  // namespace

TEST(Files, OomAdjustmentIsResetInPlace) {
  // A /proc file takes no temporary file and rename: the reset must write it in place. (Only
  // the write itself is checked: lowering a raised value needs a capability a test may lack.)
  EXPECT_NE(zc::WriteFileAtomic("/proc/self/oom_adj", "0\n"), 0);
  ASSERT_EQ(zc::ReadFirstLine("/proc/self/oom_adj").value_or("?"), "0");
  EXPECT_EQ(zc::ResetOomAdj(), 0);
  EXPECT_EQ(zc::ReadFirstLine("/proc/self/oom_adj").value_or("?"), "0");
}
