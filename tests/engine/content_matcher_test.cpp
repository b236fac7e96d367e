#include "search/content_matcher.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "test_tree.h"

namespace findlark {
namespace {

using testing::TestTree;

std::string Match(const TestTree& tree, const std::string& content, const std::string& query) {
  tree.Write("f.txt", content);
  return MatchContent(tree.Path("f.txt"), QueryMatcher(query));
}

TEST(ContentMatcher, ReturnsTheFirstMatchingLineAsRead) {
  TestTree tree;
  struct Case {
    std::string content;
    std::string query;
    std::string line;
  };
  const Case cases[] = {
      {"first line\nHello World\nworld again\n", "world", "Hello World"},
      {"a\r\nThe Match\r\nz\r\n", "match", "The Match"},
      {"no end of line: FOUND", "found", "no end of line: FOUND"},
      {"lone\rCR Kept\n", "cr", "lone\rCR Kept"},
      {"", "x", ""},
      {"nothing here\n", "absent", ""},
      {"split ac\nross lines\n", "across", ""},
      {"before\x1A"
       "after target\n",
       "target", ""},
      {"target\x1A", "target", "target"},
      {std::string("bin\0ary ta\0rget\nTarget two\n", 27), "target", "Target two"},
      {"L'ÉTÉ est là\n", "été", "L'ÉTÉ est là"},
      {"\xE2\x84\xAA"
       "elvin\nkelvin\n",
       "kelvin", "kelvin"},
      {"line\nwith\nquery\n", "h\nq", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Match(tree, c.content, c.query), c.line) << c.content;
  }
}

TEST(ContentMatcher, FindsMatchesAcrossChunkEdges) {
  TestTree tree;
  constexpr size_t kChunk = 256 * 1024;
  // The query straddles the edge at every possible split, on a line that began far before.
  for (size_t shift = 1; shift < 8; ++shift) {
    for (const std::string query : {"needle", "nÉédle"}) {
      const std::string shown = query == "needle" ? "NEEDLE" : "NÉÉDLE";
      const std::string line = std::string(100, 'z') + shown + "yy";
      const std::string content = std::string(kChunk - shift - 101, 'p') + "\n" + line + "\nlast\n";
      EXPECT_EQ(Match(tree, content, FoldCase(query)), line) << shift << query;
    }
  }
}

TEST(ContentMatcher, CutsAVeryLongLineAtACharacterBoundary) {
  TestTree tree;
  // 3 MB without a line feed, two-byte characters throughout, the match at the very end.
  std::string content;
  content.reserve(3 << 20);
  content += "x";
  while (content.size() < (3u << 20)) content += "é";
  content += "TAIL";
  const std::string line = Match(tree, content, "tail");
  ASSERT_GT(line.size(), kMaxMatchLine - 4);
  ASSERT_LE(line.size(), kMaxMatchLine);
  EXPECT_EQ(line, content.substr(0, line.size()));
  EXPECT_NE(static_cast<unsigned char>(line.back()), 0xC3);
}

TEST(ContentMatcher, NeverOpensFifosDevicesOrUnexpectedLinks) {
  TestTree tree;
  tree.Mkfifo("pipe.txt");
  // Nobody writes to the FIFO: opening it for reading without O_NONBLOCK would hang here.
  EXPECT_EQ(MatchContent(tree.Path("pipe.txt"), QueryMatcher("x")), "");
  const int dir = open(tree.root().c_str(), O_RDONLY | O_DIRECTORY);
  EXPECT_EQ(MatchContentAt(dir, "pipe.txt", QueryMatcher("x"), nullptr, false), "");
  EXPECT_EQ(MatchContentAt(dir, "pipe.txt", QueryMatcher("x"), nullptr, true), "");
  // A link is followed only when the caller says the entry is one.
  tree.Write("real.txt", "the target\n");
  tree.Symlink("real.txt", "link.txt");
  EXPECT_EQ(MatchContentAt(dir, "link.txt", QueryMatcher("target"), nullptr, true), "the target");
  EXPECT_EQ(MatchContentAt(dir, "link.txt", QueryMatcher("target"), nullptr, false), "");
  close(dir);
  EXPECT_EQ(MatchContent("/dev/zero", QueryMatcher("x")), "");
  EXPECT_EQ(MatchContent(tree.Path("missing"), QueryMatcher("x")), "");
  EXPECT_EQ(MatchContent(tree.root(), QueryMatcher("x")), "");
}

TEST(ContentMatcher, HugeFileWithoutLineFeedStopsAndStaysSmall) {
  TestTree tree;
  const std::string path = tree.Path("huge.txt");
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, off_t{3} << 30), 0);  // 3 GB of holes: zero bytes, no line feed
  close(fd);

  std::atomic<bool> stop{false};
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stop = true;
  });
  const std::string line = MatchContent(path, QueryMatcher("absent"), &stop);
  stopper.join();
  EXPECT_EQ(line, "");
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  EXPECT_LT(usage.ru_maxrss, 512L * 1024);  // KiB: a whole-line buffer would pass this at once

  std::atomic<bool> already{true};
  EXPECT_EQ(Match(tree, "the target\n", "target"), "the target");
  EXPECT_EQ(MatchContent(tree.Path("f.txt"), QueryMatcher("target"), &already), "");
}

}  // namespace
}  // namespace findlark
