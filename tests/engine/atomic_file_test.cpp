#include "persist/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstring>

#include "hit_records.h"

namespace findlark {
namespace {

TEST(WriteFileAtomically, AFailedWriteLeavesTheOldFileAndNoTemporary) {
  testing::TempDir dir;
  const std::string file = dir.File("page.html");
  testing::Spit(file, "old page");
  // A file size limit makes the write fail even for root.
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = 16;
  auto* previous = std::signal(SIGXFSZ, SIG_IGN);
  ::setrlimit(RLIMIT_FSIZE, &small);
  std::string error;
  const bool ok = WriteFileAtomically(file, std::string(4096, 'n'), &error);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, std::strerror(EFBIG));
  EXPECT_EQ(testing::Slurp(file), "old page");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 1);

  ASSERT_EQ(::mkfifo(dir.File("fifo").c_str(), 0644), 0);  // never replaced by a plain file
  EXPECT_FALSE(WriteFileAtomically(dir.File("fifo"), "x", &error));
  EXPECT_TRUE(std::filesystem::is_fifo(dir.File("fifo")));
}

TEST(WriteFileAtomically, ReplacesTheFileALinkPointsTo) {
  testing::TempDir dir;
  testing::Spit(dir.File("real.ini"), "old");
  ASSERT_EQ(::symlink("real.ini", dir.File("link.ini").c_str()), 0);
  ASSERT_TRUE(WriteFileAtomically(dir.File("link.ini"), "new"));
  EXPECT_EQ(testing::Slurp(dir.File("real.ini")), "new");
  EXPECT_TRUE(std::filesystem::is_symlink(dir.File("link.ini")));
}

}  // namespace
}  // namespace findlark
