// Categories, case folding and the content matcher: the rules every hit goes through.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <locale.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <filesystem>
#include <sstream>
#include <thread>

#include "cases.h"
#include "search/categories.h"
#include "search/content_matcher.h"
#include "search/file_batch.h"
#include "test_tree.h"
#include "test_walk.h"

namespace findlark {
namespace {

TEST(Categories, NameGivesExtensionTitleAndCategory) {
  for (const auto& c : testing::Cases("entry_names.tsv", 5)) {
    SCOPED_TRACE(c[0]);
    EXPECT_EQ(ExtensionOf(c[0]), c[2]);
    EXPECT_EQ(TitleOf(c[0]), c[3]);
    EXPECT_EQ(ClassifyEntry(c[1] == "folder", ExtensionOf(c[0])).value_or(-1),
              testing::Category(c[4]));
  }
}

TEST(Categories, EveryKnownExtensionAndWhetherItsFilesAreRead) {
  for (const auto& row : testing::Cases("extensions.tsv", 3)) {
    std::istringstream words(row[2]);
    for (std::string extension; words >> extension;) {
      const std::optional<FileCategory> category = ClassifyEntry(false, extension);
      EXPECT_EQ(category.value_or(-1), testing::Category(row[0])) << extension;
      EXPECT_EQ(IsContentSearchable(category.value_or(kFolders)) ? "read" : "not read", row[1])
          << extension;
    }
  }
  EXPECT_FALSE(IsContentSearchable(*ClassifyEntry(true, "txt")));
}

TEST(CaseFold, FoldsLettersAndLeavesTheRest) {
  for (const auto& c : testing::Cases("fold.tsv", 2)) EXPECT_EQ(FoldCase(c[0]), c[1]) << c[0];
  EXPECT_EQ(NormalizeQuery(" \t\n\r\v\fReport ÉTÉ\f\v\r\n\t "), "report été");
}

// The table built into the program, against the C library it is made from, for every character.
TEST(CaseFold, EveryCharacterFoldsAsTheCLibraryLowersIt) {
  const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  ASSERT_NE(utf8, static_cast<locale_t>(0));
  const auto utf8Of = [](char32_t cp) {
    const int len = cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    std::string s(1, static_cast<char>((0xF00 >> len) | (cp >> (6 * (len - 1)))));
    for (int k = len - 2; k >= 0; --k) s += static_cast<char>(0x80 | ((cp >> (6 * k)) & 0x3F));
    return s;
  };
  int wrong = 0;
  for (char32_t cp = 0x80; cp <= 0x10FFFF; ++cp) {
    if (cp == 0xD800) cp = 0xE000;
    const auto lower = static_cast<char32_t>(towlower_l(static_cast<wint_t>(cp), utf8));
    if (FoldCase(utf8Of(cp)) != utf8Of(lower < 0x80 ? cp : lower) && ++wrong <= 3)
      ADD_FAILURE() << "U+" << std::hex << static_cast<uint32_t>(cp);
  }
  EXPECT_EQ(wrong, 0);
  freelocale(utf8);
}

TEST(CaseFold, MatcherFindsTheQueryAsIfTheTextWereFolded) {
  std::string scratch;
  for (const auto& c : testing::Cases("matcher.tsv", 4)) {
    EXPECT_EQ(
        QueryMatcher(c[1], c[0] == "whole word").Contains(c[2], scratch) ? "found" : "not found",
        c[3])
        << c[0] << " '" << c[1] << "' in '" << c[2] << "'";
  }
}

// The query at every place of a text long enough for the widest blocks a scan takes, among near
// misses: its first and last letters (in the other case) as far apart as in the query.
TEST(CaseFold, AMatchIsFoundAtEveryPlaceOfALongText) {
  std::string scratch;
  const QueryMatcher matcher("щука");
  const std::string nearMiss = "Щxxxxа";  // 8 bytes, as "щука"
  std::string misses;
  for (int k = 0; k < 40; ++k) misses += nearMiss;
  for (size_t at = 0; at <= 200; ++at) {
    std::string text = misses.substr(0, at / 8 * 8) + std::string(at % 8, 'x');
    text += "ЩУКА" + misses;
    EXPECT_EQ(matcher.Find(text, scratch), at);
  }
  EXPECT_EQ(matcher.Find(misses, scratch), std::string::npos);
}

// Every case runs at the normal read size and at a tiny one, which puts a chunk edge everywhere.
struct ContentMatcher : ::testing::TestWithParam<size_t> {
  std::string MatchContent(const std::string& path, const QueryMatcher& query,
                           const std::atomic<bool>* stop = nullptr) {
    return findlark::MatchContent(path, query, stop, GetParam());
  }
  testing::TestTree tree;
};

TEST(ContentLines, FirstMatchingLineAsReadAtEveryChunkSize) {
  testing::TestTree tree;
  for (const auto& c : testing::Cases("content_lines.tsv", 4)) {
    tree.Write("f.txt", c[1]);
    const QueryMatcher query(c[2], c[0] == "whole word");
    for (size_t chunk = 1; chunk <= c[1].size() + 1; ++chunk) {
      EXPECT_EQ(MatchContent(tree.Path("f.txt"), query, nullptr, chunk), c[3])
          << c[1] << " at chunk " << chunk;
    }
    EXPECT_EQ(MatchContent(tree.Path("f.txt"), query), c[3]) << c[1];
  }
}

// A UTF-16 line that runs across the 256 KiB read and the 64 KiB conversion pieces.
TEST(ContentLines, AUtf16LineAcrossTheReadAndConversionPieces) {
  testing::TestTree tree;
  std::string text = "\xFF\xFE";
  for (int i = 0; i < 200000; ++i) text += "\xFC";  // ü
  for (const char c : std::string_view("\nxy Needle\n")) text += {c, '\0'};
  tree.Write("f.txt", text);
  EXPECT_EQ(MatchContent(tree.Path("f.txt"), QueryMatcher("needle")), "xy Needle");
}

TEST_P(ContentMatcher, CutsAVeryLongLineAtACharacterBoundary) {
  std::string content = "x";  // 3 MB of two-byte characters, no line feed, the match at the end
  while (content.size() < (3u << 20)) content += "é";
  tree.Write("f.txt", content + "TAIL");
  const std::string line = MatchContent(tree.Path("f.txt"), QueryMatcher("tail"));
  ASSERT_GT(line.size(), kMaxMatchLine - 4);
  ASSERT_LE(line.size(), kMaxMatchLine);
  EXPECT_EQ(line, content.substr(0, line.size()));
  EXPECT_NE(static_cast<unsigned char>(line.back()), 0xC3);
}

TEST_P(ContentMatcher, FifosAndDevicesReturnAtOnce) {
  tree.Mkfifo("pipe.txt");  // nobody writes: a blocking open would hang here
  EXPECT_EQ(MatchContent(tree.Path("pipe.txt"), QueryMatcher("x")), "");
  EXPECT_EQ(MatchContent("/dev/zero", QueryMatcher("x")), "");  // endless, no line feed
  EXPECT_EQ(MatchContent(tree.root(), QueryMatcher("x")), "");
}

TEST(ContentMatcherAt, FilesOnUnreadableDevicesAreRefusedOnceOpen) {
  // The folder's own device stands in for a pseudo file system. A plain name is opened without
  // a look-up first, so only the check on the open descriptor can refuse it.
  testing::TestTree tree;
  tree.Write("f.txt", "needle");
  tree.Symlink(tree.Path("f.txt"), "link");
  struct stat st;
  ASSERT_EQ(stat(tree.root().c_str(), &st), 0);
  const std::unordered_set<dev_t> none;
  const std::unordered_set<dev_t> here = {st.st_dev};
  const int dirFd = open(tree.root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(dirFd, 0);
  for (const auto& [name, follow] : {std::pair{"f.txt", false}, std::pair{"link", true}}) {
    for (const auto* devices : {&none, &here}) {
      const std::string line =
          MatchContentAt(dirFd, name, QueryMatcher("needle"), nullptr, follow, nullptr, devices);
      EXPECT_EQ(line, devices == &none ? "needle" : "") << name;
    }
  }
  close(dirFd);
}

// Files opened, read and closed many at a time: each descriptor is its own name's, a missing
// name gets -1, a read moves the file offset as read() does, and nothing stays open at the end.
TEST(FileBatch, OpensReadsAndClosesEachFileAsOnItsOwn) {
  testing::TestTree tree;
  const char* names[] = {"a", "b", "missing", "c"};
  for (const char* name : {"a1", "b2", "c3"}) tree.Write(std::string(1, name[0]), name);
  const int dirFd = open(tree.root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  FileBatch& batch = FileBatch::ThisThread();
  batch.Release();  // what MatchContentAt left to close
  const size_t before = testing::Now("fd");
  int fds[4];
  batch.OpenAll(dirFd, names, 4, kContentOpenFlags, fds);
  EXPECT_EQ(fds[2], -1);
  const int present[] = {fds[0], fds[1], fds[3]};
  char heads[3] = {};
  char* buffers[] = {&heads[0], &heads[1], &heads[2]};
  const size_t one[] = {1, 1, 1};
  ssize_t got[3];
  batch.ReadAll(present, buffers, one, 3, got);
  std::string read(heads, 3);
  for (const int fd : present) {
    char c = '-';
    EXPECT_EQ(::read(fd, &c, 1), 1);
    read += c;
    batch.Close(fd);
  }
  batch.Release();
  EXPECT_EQ(read, "abc123");
  EXPECT_EQ(testing::Now("fd"), before);
  close(dirFd);
}

TEST_P(ContentMatcher, StopsInsideAHugeFileWithoutLineFeeds) {
  const int fd = open(tree.Path("huge.txt").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_EQ(ftruncate(fd, off_t{1} << 40), 0);  // a terabyte of holes: minutes to read
  close(fd);
  std::atomic<bool> stop{false};
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stop = true;
  });
  EXPECT_EQ(MatchContent(tree.Path("huge.txt"), QueryMatcher("absent"), &stop), "");
  stopper.join();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  EXPECT_LT(usage.ru_maxrss, 512L * 1024);  // KiB: a whole-line buffer would pass this at once
}

INSTANTIATE_TEST_SUITE_P(Chunks, ContentMatcher, ::testing::Values(kReadChunk, 5));

}  // namespace
}  // namespace findlark
