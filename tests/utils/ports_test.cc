// Free ports: suites run in parallel on the host's loopback pick through the same function, so a
// port one process holds is never handed to another.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>

#include "utils/ports.h"

namespace {

constexpr int kPicks = 20;

TEST(FreeLoopbackPort, NeverTheSamePortInTwoProcessesAndOutsideTheEphemeralRange) {
  int toParent[2], toChild[2];
  ASSERT_EQ(pipe(toParent), 0);
  ASSERT_EQ(pipe(toChild), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int ports[kPicks];
    for (int& p : ports) p = zc::FreeLoopbackPort();
    (void)!write(toParent[1], ports, sizeof ports);
    char done;
    (void)!read(toChild[0], &done, 1);  // holds its ports until the parent has picked
    _exit(0);
  }
  int theirs[kPicks];
  ASSERT_EQ(read(toParent[0], theirs, sizeof theirs), static_cast<ssize_t>(sizeof theirs));
  std::set<int> taken(theirs, theirs + kPicks);
  std::set<int> mine;
  for (int i = 0; i < kPicks; ++i) mine.insert(zc::FreeLoopbackPort());
  ASSERT_EQ(write(toChild[1], "x", 1), 1);
  int status = 0;
  waitpid(child, &status, 0);

  EXPECT_EQ(taken.size(), static_cast<size_t>(kPicks)) << "one process got a port twice";
  EXPECT_EQ(mine.size(), static_cast<size_t>(kPicks));
  for (int port : mine) {
    EXPECT_FALSE(taken.count(port)) << port << " handed to both processes";
    EXPECT_GE(port, zc::kReservedPortFirst);
    EXPECT_LE(port, zc::kReservedPortLast);
  }
  for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]}) close(fd);
}

}  // namespace
